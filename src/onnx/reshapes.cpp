// A value under another shape.

#include "reshapes.hpp"

#include "constants.hpp"
#include "operands.hpp"
#include "tensor_data.hpp"

#include <algorithm>

namespace orvik_compiler::onnx_import {

Result<TensorId> any_tensor(Conversion& conversion, const Node& node, const Value& value) {
  if (value.tensor) {
    return *value.tensor;
  }
  if (value.constant && is_integer_type(value.data_type)) {
    const Result<TensorId> weight = constant_tensor(conversion, value);
    if (!weight) {
      return node_error(node, weight.error().message);
    }
    return weight;
  }
  return tensor_of(conversion, node, value);
}

Result<Value> reshaped(Conversion& conversion, const Node& node, const Value& value,
                       std::vector<std::uint64_t> shape, const std::string& name) {
  const std::optional<std::uint64_t> count = element_count(shape);
  if (!count || *count != *element_count(value.shape)) {
    return node_error(node, "cannot reshape \"" + value.name + "\" " + shape_text(value.shape) +
                                " to " + shape_text(shape));
  }
  if (value.constant) {
    return Value{name, value.data_type, std::move(shape), std::nullopt, value.constant};
  }
  ORVIK_TRY(tensor, any_tensor(conversion, node, value));
  if (shape == value.shape) {
    return Value{name, value.data_type, std::move(shape), tensor, std::nullopt};
  }
  if (shape.empty()) {
    return node_error(node, "the result is a scalar; the graph has no rank-0 tensors");
  }
  if (*count == 0) {
    return node_error(node, "the result's shape " + shape_text(shape) +
                                " is empty; the graph has no empty tensors");
  }
  ORVIK_TRY(result, built(conversion, node, conversion.graph().reshape(name, tensor, shape)));
  Value reshaped_value = tensor_value(conversion, result);
  reshaped_value.data_type = value.data_type;
  return reshaped_value;
}

Result<TensorId> broadcast_to(Conversion& conversion, const Node& node, const Value& value,
                              std::vector<std::uint64_t> shape, const std::string& name) {
  ORVIK_TRY(tensor, any_tensor(conversion, node, value));
  if (conversion.graph().tensors[tensor.index].shape == shape) {
    return tensor;
  }
  return built(conversion, node, conversion.graph().broadcast(name, tensor, std::move(shape)));
}

} // namespace orvik_compiler::onnx_import
