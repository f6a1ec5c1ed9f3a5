// The steps the converters share.

#include "conversion.hpp"

#include "tensor_data.hpp"

#include <algorithm>

namespace orvik_compiler::onnx_import {
namespace {

/// "input "x" has data type INT64; ...", the refusal of a value that is not float32.
CompileError data_type_error(const Node& node, const Value& value) {
  return node_error(node, "input \"" + value.name + "\" has data type " +
                              data_type_name(value.data_type) +
                              "; only FLOAT (float32) is supported");
}

/// The shape both operands broadcast to by ONNX's (NumPy's) rules, aligned at the last axis.
std::optional<std::vector<std::uint64_t>> broadcast_shape(const std::vector<std::uint64_t>& a,
                                                          const std::vector<std::uint64_t>& b) {
  std::vector<std::uint64_t> shape(std::max(a.size(), b.size()));
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const std::uint64_t x = i < a.size() ? a[a.size() - 1 - i] : 1;
    const std::uint64_t y = i < b.size() ? b[b.size() - 1 - i] : 1;
    if (x != y && x != 1 && y != 1) {
      return std::nullopt;
    }
    shape[shape.size() - 1 - i] = x == 1 ? y : x;
  }
  return shape;
}

/// The values of `source` (of shape `from`) repeated along the axes where `from` has extent 1
/// or no axis, to fill `to`, a shape of `count` elements and at least one axis. Row by row: each
/// row of the last axis is a run of the source or one value repeated.
std::vector<float> broadcast_values(std::span<const float> source,
                                    const std::vector<std::uint64_t>& from,
                                    const std::vector<std::uint64_t>& to, std::uint64_t count) {
  std::vector<float> values;
  if (count == 0) {
    return values;
  }
  values.reserve(static_cast<std::size_t>(count));
  // Strides of the source seen through the target's axes: 0 where the source repeats.
  const std::size_t rank = to.size();
  std::vector<std::uint64_t> strides(rank, 0);
  std::uint64_t stride = 1;
  for (std::size_t i = 0; i < from.size(); ++i) {
    const std::size_t axis = from.size() - 1 - i;
    if (from[axis] != 1) {
      strides[rank - 1 - i] = stride;
    }
    stride *= from[axis];
  }
  const std::uint64_t row = to[rank - 1];
  std::vector<std::uint64_t> index(rank, 0);
  std::uint64_t offset = 0;
  for (std::uint64_t rows = count / row; rows > 0; --rows) {
    const auto first = source.begin() + static_cast<std::ptrdiff_t>(offset);
    if (strides[rank - 1] == 0) {
      values.insert(values.end(), static_cast<std::size_t>(row), *first);
    } else {
      values.insert(values.end(), first, first + static_cast<std::ptrdiff_t>(row));
    }
    // Step the index of the leading axes like an odometer, keeping the source offset in step.
    for (std::size_t axis = rank - 1; axis-- > 0;) {
      if (++index[axis] < to[axis]) {
        offset += strides[axis];
        break;
      }
      offset -= strides[axis] * (index[axis] - 1);
      index[axis] = 0;
    }
  }
  return values;
}

/// The constant `value` broadcast to `shape` as new data, within the expansion limit.
Result<Value> expanded(Conversion& conversion, const Node& node, const Value& value,
                       const std::vector<std::uint64_t>& shape) {
  const std::uint64_t count = *element_count(shape);
  const std::uint64_t bytes = count * sizeof(float);
  if (bytes > conversion.expansion_limit - conversion.expanded_bytes) {
    return node_error(node, "broadcasting constant \"" + value.name + "\" to " + shape_text(shape) +
                                " needs " + std::to_string(bytes) +
                                " bytes, beyond the expansion limit of " +
                                std::to_string(conversion.expansion_limit) + " bytes");
  }
  conversion.expanded_bytes += bytes;
  std::vector<float> values = broadcast_values(
      floats_in(conversion.data[*value.constant].float_bytes), value.shape, shape, count);
  return new_constant(conversion, value.name + "/broadcast", shape, std::move(values));
}

/// `input` normalised over its last `axes` axes, named `name`: one LayerNorm over the last axis,
/// or over the trailing axes as the rows of one matrix, with the shape restored afterwards.
Result<TensorId> normalized(Conversion& conversion, const Node& node, TensorId input,
                            std::uint64_t axes, float epsilon, const std::string& name) {
  Graph& graph = conversion.graph();
  if (axes == 1) {
    return built(conversion, node, graph.layer_norm(name, input, epsilon));
  }
  const std::vector<std::uint64_t> shape = graph.tensors[input.index].shape;
  const auto split = static_cast<std::ptrdiff_t>(shape.size() - axes);
  const std::uint64_t rows = *element_count({shape.begin(), shape.begin() + split});
  const std::uint64_t columns = *element_count({shape.begin() + split, shape.end()});
  const Result<TensorId> matrix =
      built(conversion, node,
            graph.reshape(fresh_name(conversion, name + "/rows"), input, {rows, columns}));
  if (!matrix) {
    return matrix;
  }
  const Result<TensorId> normalized_rows =
      built(conversion, node,
            graph.layer_norm(fresh_name(conversion, name + "/rows_normalized"), *matrix, epsilon));
  if (!normalized_rows) {
    return normalized_rows;
  }
  return built(conversion, node, graph.reshape(name, *normalized_rows, shape));
}

} // namespace

CompileError node_error(const Node& node, std::string_view what) {
  return CompileError::graph("node " + std::to_string(node.position) + " \"" + node.proto.name() +
                             "\" (" + std::string(node.op_label) + "): " + std::string(what));
}

std::string fresh_name(Conversion& conversion, const std::string& base) {
  if (conversion.names.insert(base).second) {
    return base;
  }
  std::uint64_t& next = conversion.next_suffix.try_emplace(base, 2).first->second;
  for (;; ++next) {
    std::string name = base + "_" + std::to_string(next);
    if (conversion.names.insert(name).second) {
      ++next;
      return name;
    }
  }
}

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

Value tensor_value(const Conversion& conversion, TensorId tensor) {
  const Tensor& record = conversion.model.graph.tensors[tensor.index];
  return Value{record.name, onnx::TensorProto::FLOAT, record.shape, tensor, std::nullopt};
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

Result<TensorId> tensor_of(Conversion& conversion, const Node& node, const Value& value) {
  if (value.tensor) {
    return *value.tensor;
  }
  const auto stored = conversion.values.find(value.name);
  if (stored != conversion.values.end() && stored->second.tensor) {
    return *stored->second.tensor;
  }
  if (value.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, value);
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

Result<TensorId> input_tensor(Conversion& conversion, const Node& node, int i) {
  Result<Value> value = input_value(conversion, node, i);
  if (!value) {
    return value.error();
  }
  return tensor_of(conversion, node, *value);
}

Result<std::vector<std::int64_t>> input_integers(Conversion& conversion, const Node& node, int i,
                                                 std::string_view what) {
  Result<Value> value = input_value(conversion, node, i);
  if (!value) {
    return value.error();
  }
  if (!value->constant) {
    return node_error(node, std::string(what) + " input \"" + value->name +
                                "\" is not a constant; only constant " + std::string(what) +
                                " is supported");
  }
  if (value->data_type != onnx::TensorProto::INT64) {
    return node_error(node, std::string(what) + " input \"" + value->name + "\" has data type " +
                                data_type_name(value->data_type) + ", not INT64");
  }
  return conversion.data[*value->constant].integers;
}

void define(Conversion& conversion, const Node& node, int i, Value value) {
  value.name = output_name(node, i);
  conversion.values.insert_or_assign(value.name, std::move(value));
}

void define_tensor(Conversion& conversion, const Node& node, int i, TensorId tensor) {
  define(conversion, node, i, tensor_value(conversion, tensor));
}

const onnx::AttributeProto* attribute(const Node& node, std::string_view name) {
  for (const onnx::AttributeProto& candidate : node.proto.attribute()) {
    if (candidate.name() == name) {
      return &candidate;
    }
  }
  return nullptr;
}

namespace {

/// Whether the attribute holds the type; attributes of old models may leave `type` unset.
bool attribute_is(const onnx::AttributeProto& found, onnx::AttributeProto::AttributeType type,
                  bool field_set) {
  return found.type() == type || (found.type() == onnx::AttributeProto::UNDEFINED && field_set);
}

CompileError attribute_type_error(const Node& node, std::string_view name, std::string_view type) {
  return node_error(node, "attribute \"" + std::string(name) + "\" is not " + std::string(type));
}

} // namespace

Result<std::int64_t> int_attribute(const Node& node, std::string_view name, std::int64_t fallback) {
  const onnx::AttributeProto* found = attribute(node, name);
  if (found == nullptr) {
    return fallback;
  }
  if (!attribute_is(*found, onnx::AttributeProto::INT, found->has_i())) {
    return attribute_type_error(node, name, "an integer");
  }
  return found->i();
}

Result<float> float_attribute(const Node& node, std::string_view name, float fallback) {
  const onnx::AttributeProto* found = attribute(node, name);
  if (found == nullptr) {
    return fallback;
  }
  if (!attribute_is(*found, onnx::AttributeProto::FLOAT, found->has_f())) {
    return attribute_type_error(node, name, "a float");
  }
  return found->f();
}

Result<std::optional<std::vector<std::int64_t>>> ints_attribute(const Node& node,
                                                                std::string_view name) {
  const onnx::AttributeProto* found = attribute(node, name);
  if (found == nullptr) {
    return std::optional<std::vector<std::int64_t>>{};
  }
  if (!attribute_is(*found, onnx::AttributeProto::INTS, found->ints_size() > 0)) {
    return attribute_type_error(node, name, "a list of integers");
  }
  return std::optional<std::vector<std::int64_t>>(
      std::vector<std::int64_t>(found->ints().begin(), found->ints().end()));
}

Result<std::uint64_t> normalised_axis(const Node& node, std::int64_t axis, std::uint64_t rank,
                                      std::string_view what) {
  const auto signed_rank = static_cast<std::int64_t>(rank);
  if (axis < -signed_rank || axis >= signed_rank) {
    return node_error(node, std::string(what) + " " + std::to_string(axis) +
                                " is out of range for rank " + std::to_string(rank));
  }
  return static_cast<std::uint64_t>(axis < 0 ? axis + signed_rank : axis);
}

Result<TensorId> built(Conversion& conversion, const Node& node, Result<TensorId> result) {
  if (!result) {
    return node_error(node, result.error().message);
  }
  const std::vector<std::uint64_t>& shape = conversion.graph().tensors[result->index].shape;
  if (!element_count(shape)) {
    return node_error(node, "the result's shape " + shape_text(shape) + " has too many elements");
  }
  return result;
}

Result<Value> decoded_constant(Conversion& conversion, onnx::TensorProto& tensor,
                               const std::string& name) {
  Result<std::vector<std::uint64_t>> shape = tensor_shape(tensor);
  if (!shape) {
    return shape.error();
  }
  const std::uint64_t count = *element_count(*shape);
  ConstantData data;
  if (tensor.data_type() == onnx::TensorProto::FLOAT) {
    Result<std::string> bytes = take_float_bytes(tensor, count);
    if (!bytes) {
      return bytes.error();
    }
    data.float_bytes = std::move(*bytes);
  } else if (tensor.data_type() == onnx::TensorProto::INT64) {
    Result<std::vector<std::int64_t>> values = int64_values(tensor, count);
    if (!values) {
      return values.error();
    }
    data.integers = std::move(*values);
  } else {
    return Value{name, tensor.data_type(), std::move(*shape), std::nullopt, std::nullopt};
  }
  conversion.data.push_back(std::move(data));
  return Value{name, tensor.data_type(), std::move(*shape), std::nullopt,
               conversion.data.size() - 1};
}

Value new_constant(Conversion& conversion, const std::string& base,
                   std::vector<std::uint64_t> shape, std::vector<float> values) {
  conversion.data.push_back(ConstantData{float_bytes(values), {}, std::nullopt});
  return Value{fresh_name(conversion, base), onnx::TensorProto::FLOAT, std::move(shape),
               std::nullopt, conversion.data.size() - 1};
}

Result<TensorId> elementwise(Conversion& conversion, const Node& node, Elementwise kind, Value left,
                             Value right, const std::string& name) {
  for (const Value* operand : {&left, &right}) {
    if (operand->data_type != onnx::TensorProto::FLOAT) {
      return data_type_error(node, *operand);
    }
  }
  if (left.shape != right.shape && !left.constant && !right.constant) {
    return node_error(node, "broadcast between the non-constant tensors \"" + left.name + "\" " +
                                shape_text(left.shape) + " and \"" + right.name + "\" " +
                                shape_text(right.shape) + " is not supported");
  }
  const std::optional<std::vector<std::uint64_t>> shape = broadcast_shape(left.shape, right.shape);
  if (!shape) {
    return node_error(node, "shapes " + shape_text(left.shape) + " and " + shape_text(right.shape) +
                                " do not broadcast");
  }
  for (Value* operand : {&left, &right}) {
    if (operand->shape == *shape) {
      continue;
    }
    if (!operand->constant) {
      return node_error(node, "broadcast of the non-constant tensor \"" + operand->name + "\" " +
                                  shape_text(operand->shape) + " to " + shape_text(*shape) +
                                  " is not supported");
    }
    Result<Value> full = expanded(conversion, node, *operand, *shape);
    if (!full) {
      return full.error();
    }
    *operand = std::move(*full);
  }
  const Result<TensorId> a = tensor_of(conversion, node, left);
  if (!a) {
    return a;
  }
  const Result<TensorId> b = tensor_of(conversion, node, right);
  if (!b) {
    return b;
  }
  Graph& graph = conversion.graph();
  return built(conversion, node,
               kind == Elementwise::Add ? graph.add(name, *a, *b) : graph.mul(name, *a, *b));
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
  const Result<TensorId> tensor = tensor_of(conversion, node, value);
  if (!tensor) {
    return tensor.error();
  }
  if (shape == value.shape) {
    return Value{name, value.data_type, std::move(shape), *tensor, std::nullopt};
  }
  if (shape.empty()) {
    return node_error(node, "the result is a scalar; the graph has no rank-0 tensors");
  }
  if (*count == 0) {
    return node_error(node, "the result's shape " + shape_text(shape) +
                                " is empty; the graph has no empty tensors");
  }
  const Result<TensorId> result =
      built(conversion, node, conversion.graph().reshape(name, *tensor, shape));
  if (!result) {
    return result.error();
  }
  return tensor_value(conversion, *result);
}

Result<TensorId> layer_norm(Conversion& conversion, const Node& node, TensorId input,
                            std::uint64_t axes, float epsilon, const LayerNormParts& parts) {
  Result<TensorId> result = normalized(conversion, node, input, axes, epsilon, parts.normalized);
  if (result && parts.scale) {
    result = elementwise(conversion, node, Elementwise::Mul, tensor_value(conversion, *result),
                         *parts.scale, parts.scaled);
  }
  if (result && parts.bias) {
    result = elementwise(conversion, node, Elementwise::Add, tensor_value(conversion, *result),
                         *parts.bias, parts.biased);
  }
  return result;
}

} // namespace orvik_compiler::onnx_import
