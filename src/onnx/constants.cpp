// Values known at import.

#include "constants.hpp"

#include "tensor_data.hpp"

#include <algorithm>
#include <limits>

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
  return new_constant_of_bytes(conversion, base, std::move(shape), float_bytes(values));
}

Value new_constant_of_bytes(Conversion& conversion, const std::string& base,
                            std::vector<std::uint64_t> shape, std::string bytes) {
  conversion.data.push_back(ConstantData{std::move(bytes), {}, std::nullopt});
  return Value{fresh_name(conversion, base), onnx::TensorProto::FLOAT, std::move(shape),
               std::nullopt, conversion.data.size() - 1};
}

namespace {

/// Whether every value of an integer constant fits an I32 weight; the first that does not is
/// the error.
Result<void> fits_int32(const Value& value, const std::vector<std::int64_t>& integers) {
  const auto outside = std::find_if(integers.begin(), integers.end(), [](std::int64_t integer) {
    return integer < std::numeric_limits<std::int32_t>::min() ||
           integer > std::numeric_limits<std::int32_t>::max();
  });
  if (outside != integers.end()) {
    return CompileError::graph("constant \"" + value.name + "\": value " +
                               std::to_string(*outside) + " at index " +
                               std::to_string(outside - integers.begin()) + " does not fit int32");
  }
  return {};
}

} // namespace

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
  const bool integer = value.data_type != onnx::TensorProto::FLOAT;
  if (!data.weight) {
    if (integer) {
      if (Result<void> fits = fits_int32(value, data.integers); !fits) {
        return fits.error();
      }
    }
    data.weight = graph.weight(value.name, value.shape, integer ? DType::I32 : DType::F32);
    return *data.weight;
  }
  if (graph.tensors[data.weight->index].shape == value.shape) {
    return *data.weight;
  }
  return graph.reshape(value.name, *data.weight, value.shape);
}

} // namespace orvik_compiler::onnx_import
