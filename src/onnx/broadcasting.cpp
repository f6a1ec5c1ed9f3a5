// Element-wise operations of operands that broadcast.

#include "broadcasting.hpp"

#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include <algorithm>
#include <array>

namespace orvik_compiler::onnx_import {
namespace {

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

/// `value`, a float tensor of the graph, under `shape`, which it broadcasts to: a Reshape when
/// that only adds axes of extent 1, a Broadcast otherwise.
Result<Value> broadcast_tensor(Conversion& conversion, const Node& node, const Value& value,
                               const std::vector<std::uint64_t>& shape) {
  const std::string name = fresh_name(conversion, value.name + "/broadcast");
  if (element_count(shape) == element_count(value.shape)) {
    return reshaped(conversion, node, value, shape, name);
  }
  ORVIK_TRY(tensor, tensor_of(conversion, node, value));
  ORVIK_TRY(result, built(conversion, node, conversion.graph().broadcast(name, tensor, shape)));
  return tensor_value(conversion, result);
}

/// The graph's builder of each `Elementwise` kind, in the enumeration's order.
using BinaryBuilder = Result<TensorId> (Graph::*)(std::string, TensorId, TensorId);
constexpr std::array<BinaryBuilder, 7> binary_builders{&Graph::add,    &Graph::sub, &Graph::mul,
                                                       &Graph::div,    &Graph::pow, &Graph::maximum,
                                                       &Graph::minimum};
static_assert(static_cast<std::size_t>(Elementwise::Minimum) + 1 == binary_builders.size(),
              "one builder per element-wise kind");

} // namespace

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

Result<TensorId> elementwise(Conversion& conversion, const Node& node, Elementwise kind, Value left,
                             Value right, const std::string& name) {
  for (const Value* operand : {&left, &right}) {
    if (operand->data_type != onnx::TensorProto::FLOAT) {
      return data_type_error(node, *operand);
    }
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
    ORVIK_TRY(full, operand->constant ? expanded(conversion, node, *operand, *shape)
                                      : broadcast_tensor(conversion, node, *operand, *shape));
    *operand = std::move(full);
  }
  ORVIK_TRY(a, tensor_of(conversion, node, left));
  ORVIK_TRY(b, tensor_of(conversion, node, right));
  const BinaryBuilder build = binary_builders[static_cast<std::size_t>(kind)];
  return built(conversion, node, (conversion.graph().*build)(name, a, b));
}

} // namespace orvik_compiler::onnx_import
