// Element-wise operations of operands that broadcast.

#include "broadcasting.hpp"

#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include <algorithm>
#include <array>
#include <bit>

namespace orvik_compiler::onnx_import {

void broadcast_values(std::span<const float> source, const std::vector<std::uint64_t>& from,
                      const std::vector<std::uint64_t>& to, std::span<float> target) {
  if (target.empty()) {
    return;
  }
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
  const auto row = static_cast<std::ptrdiff_t>(to[rank - 1]);
  std::vector<std::uint64_t> index(rank, 0);
  std::uint64_t offset = 0;
  for (auto out = target.begin(); out != target.end(); out += row) {
    const auto first = source.begin() + static_cast<std::ptrdiff_t>(offset);
    if (strides[rank - 1] == 0) {
      std::fill(out, out + row, *first);
    } else {
      std::copy(first, first + row, out);
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
}

Result<void> reserve_expansion(Conversion& conversion, const Node& node, const std::string& what,
                               std::uint64_t bytes) {
  if (bytes > conversion.expansion_limit - conversion.expanded_bytes) {
    return node_error(node, what + " needs " + std::to_string(bytes) +
                                " bytes, beyond the expansion limit of " +
                                std::to_string(conversion.expansion_limit) + " bytes");
  }
  conversion.expanded_bytes += bytes;
  return {};
}

namespace {

/// The constant `value` broadcast to `shape` as new data, within the expansion limit. A
/// one-element constant filled to a shape it was filled to before is that earlier constant:
/// exporters write the same scale or offset once per layer, and each would otherwise be a weight
/// of its own as large as an activation.
Result<Value> expanded(Conversion& conversion, const Node& node, const Value& value,
                       const std::vector<std::uint64_t>& shape) {
  const std::span<const float> source = floats_in(conversion.data[*value.constant].float_bytes);
  std::optional<FilledKey> key;
  if (source.size() == 1) {
    key = FilledKey{std::bit_cast<std::uint32_t>(source[0]), shape};
    if (const auto found = conversion.filled_constants.find(*key);
        found != conversion.filled_constants.end()) {
      return found->second;
    }
  }
  const std::uint64_t count = *element_count(shape);
  if (Result<void> reserved = reserve_expansion(
          conversion, node, "broadcasting constant \"" + value.name + "\" to " + shape_text(shape),
          count * sizeof(float));
      !reserved) {
    return reserved.error();
  }
  // Written straight into the bytes the weight takes over: an expanded bias is as large as an
  // activation, and a second copy of it would double what the import allocates.
  std::string bytes(count * sizeof(float), '\0');
  broadcast_values(source, value.shape, shape, writable_floats_in(bytes));
  Value filled =
      new_constant_of_bytes(conversion, value.name + "/broadcast", shape, std::move(bytes));
  if (key) {
    conversion.filled_constants.emplace(std::move(*key), filled);
  }
  return filled;
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

Result<Value> broadcast_value(Conversion& conversion, const Node& node, const Value& value,
                              const std::vector<std::uint64_t>& shape) {
  if (value.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, value);
  }
  if (value.shape == shape) {
    return value;
  }
  return value.constant ? expanded(conversion, node, value, shape)
                        : broadcast_tensor(conversion, node, value, shape);
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
    ORVIK_TRY(full, broadcast_value(conversion, node, *operand, *shape));
    *operand = std::move(full);
  }
  ORVIK_TRY(a, tensor_of(conversion, node, left));
  ORVIK_TRY(b, tensor_of(conversion, node, right));
  const BinaryBuilder build = binary_builders[static_cast<std::size_t>(kind)];
  return built(conversion, node, (conversion.graph().*build)(name, a, b));
}

} // namespace orvik_compiler::onnx_import
