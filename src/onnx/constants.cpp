// Values known at import.

#include "constants.hpp"

#include "tensor_data.hpp"

#include <algorithm>

namespace orvik_compiler::onnx_import {

Result<Value> decoded_constant(Conversion& conversion, onnx::TensorProto& tensor,
                               const std::string& name) {
  ORVIK_TRY(shape, tensor_shape(tensor));
  const std::uint64_t count = *element_count(shape);
  ConstantData data;
  if (tensor.data_type() == onnx::TensorProto::FLOAT) {
    ORVIK_TRY(bytes, take_float_bytes(tensor, count));
    data.float_bytes = std::move(bytes);
  } else if (tensor.data_type() == onnx::TensorProto::INT64) {
    ORVIK_TRY(values, int64_values(tensor, count));
    data.integers = std::move(values);
  } else {
    return Value{name, tensor.data_type(), std::move(shape), std::nullopt, std::nullopt};
  }
  conversion.data.push_back(std::move(data));
  return Value{name, tensor.data_type(), std::move(shape), std::nullopt,
               conversion.data.size() - 1};
}

Value new_constant(Conversion& conversion, const std::string& base,
                   std::vector<std::uint64_t> shape, std::vector<float> values) {
  conversion.data.push_back(ConstantData{float_bytes(values), {}, std::nullopt});
  return Value{fresh_name(conversion, base), onnx::TensorProto::FLOAT, std::move(shape),
               std::nullopt, conversion.data.size() - 1};
}

Result<TensorId> constant_tensor(Conversion& conversion, const Value& value) {
  if (value.shape.empty()) {
    return CompileError::graph("constant \"" + value.name +
                               "\" is a scalar; the graph has no rank-0 tensors");
  }
  if (std::find(value.shape.begin(), value.shape.end(), 0U) != value.shape.end()) {
    return CompileError::graph("constant \"" + value.name + "\" of shape " +
                               shape_text(value.shape) +
                               " is empty; the graph has no empty tensors");
  }
  Graph& graph = conversion.graph();
  ConstantData& data = conversion.data[*value.constant];
  if (!data.weight) {
    data.weight = graph.weight(value.name, value.shape);
    return *data.weight;
  }
  if (graph.tensors[data.weight->index].shape == value.shape) {
    return *data.weight;
  }
  return graph.reshape(value.name, *data.weight, value.shape);
}

} // namespace orvik_compiler::onnx_import
