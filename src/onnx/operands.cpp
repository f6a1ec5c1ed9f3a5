// A node's operands.

#include "operands.hpp"

#include "constants.hpp"
#include "tensor_data.hpp"

namespace orvik_compiler::onnx_import {

std::string output_name(const Node& node, int i) {
  return i < node.proto.output_size() ? node.proto.output(i) : std::string();
}

bool has_input(const Node& node, int i) {
  return i < node.proto.input_size() && !node.proto.input(i).empty();
}

Result<Value> named_value(Conversion& conversion, const Node& node, const std::string& name) {
  const auto found = conversion.values.find(name);
  if (found == conversion.values.end()) {
    return node_error(node, "input \"" + name + "\" is not defined before it");
  }
  return found->second;
}

Result<Value> input_value(Conversion& conversion, const Node& node, int i) {
  if (!has_input(node, i)) {
    return node_error(node, "input " + std::to_string(i) + " is missing");
  }
  return named_value(conversion, node, node.proto.input(i));
}

Result<TensorId> input_tensor(Conversion& conversion, const Node& node, int i) {
  ORVIK_TRY(value, input_value(conversion, node, i));
  return tensor_of(conversion, node, value);
}

Result<std::vector<std::int64_t>> input_integers(Conversion& conversion, const Node& node, int i,
                                                 std::string_view what) {
  ORVIK_TRY(value, input_value(conversion, node, i));
  if (!value.constant) {
    return node_error(node, std::string(what) + " input \"" + value.name +
                                "\" is not a constant; only constant " + std::string(what) +
                                " is supported");
  }
  if (value.data_type != onnx::TensorProto::INT64) {
    return node_error(node, std::string(what) + " input \"" + value.name + "\" has data type " +
                                data_type_name(value.data_type) + ", not INT64");
  }
  return conversion.data[*value.constant].integers;
}

Result<TensorId> tensor_of(Conversion& conversion, const Node& node, const Value& value) {
  // Integer tensors (I32 inputs, casts) are read only by the converters that take them.
  if (value.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, value);
  }
  if (value.tensor) {
    return *value.tensor;
  }
  const auto stored = conversion.values.find(value.name);
  if (stored != conversion.values.end() && stored->second.tensor) {
    return *stored->second.tensor;
  }
  const Result<TensorId> tensor = constant_tensor(conversion, value);
  if (!tensor) {
    return node_error(node, tensor.error().message);
  }
  if (stored != conversion.values.end()) {
    stored->second.tensor = *tensor;
  }
  return tensor;
}

Value tensor_value(const Conversion& conversion, TensorId tensor) {
  const Tensor& record = conversion.model.graph.tensors[tensor.index];
  return Value{record.name, onnx::TensorProto::FLOAT, record.shape, tensor, std::nullopt};
}

CompileError data_type_error(const Node& node, const Value& value) {
  return node_error(node, "input \"" + value.name + "\" has data type " +
                              data_type_name(value.data_type) +
                              "; only FLOAT (float32) is supported");
}

void define(Conversion& conversion, const Node& node, int i, Value value) {
  value.name = output_name(node, i);
  conversion.values.insert_or_assign(value.name, std::move(value));
}

void define_tensor(Conversion& conversion, const Node& node, int i, TensorId tensor) {
  define(conversion, node, i, tensor_value(conversion, tensor));
}

Result<void> defined(Conversion& conversion, const Node& node, const Result<TensorId>& tensor) {
  if (!tensor) {
    return tensor.error();
  }
  define_tensor(conversion, node, 0, *tensor);
  return {};
}

Result<void> defined(Conversion& conversion, const Node& node, const Result<Value>& value) {
  if (!value) {
    return value.error();
  }
  define(conversion, node, 0, *value);
  return {};
}

} // namespace orvik_compiler::onnx_import
