// Nodes evaluated at import.

#include "constant_folding.hpp"

#include "attributes.hpp"
#include "broadcasting.hpp"
#include "operands.hpp"
#include "tensor_data.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace orvik_compiler::onnx_import {
namespace {

/// A constant as the folder computes with it: floats for FLOAT, integers for INT32, INT64 and
/// BOOL (0 or 1).
struct Folded {
  std::int32_t data_type = onnx::TensorProto::FLOAT;
  std::vector<std::uint64_t> shape;
  std::vector<float> floats;
  std::vector<std::int64_t> integers;

  bool is_float() const { return data_type == onnx::TensorProto::FLOAT; }
  std::size_t size() const { return is_float() ? floats.size() : integers.size(); }
};

using Inputs = std::vector<std::optional<Folded>>;

bool is_foldable_type(std::int32_t data_type) {
  return data_type == onnx::TensorProto::FLOAT || is_integer_type(data_type) ||
         data_type == onnx::TensorProto::BOOL;
}

/// An integer as the data type holds it: INT32 wraps as a cast to it does, BOOL is 0 or 1.
std::int64_t held(std::int32_t data_type, std::int64_t value) {
  if (data_type == onnx::TensorProto::INT32) {
    return static_cast<std::int32_t>(value);
  }
  if (data_type == onnx::TensorProto::BOOL) {
    return value != 0 ? 1 : 0;
  }
  return value;
}

/// An empty result of `shape`, its storage charged to the expansion limit before it is made.
Result<Folded> new_result(Conversion& conversion, const Node& node, std::int32_t data_type,
                          std::vector<std::uint64_t> shape) {
  const std::optional<std::uint64_t> count = element_count(shape);
  // A float result is copied once more, into the bytes a weight takes over.
  const std::uint64_t element_bytes =
      data_type == onnx::TensorProto::FLOAT ? 2 * sizeof(float) : sizeof(std::int64_t);
  const std::uint64_t available = conversion.expansion_limit - conversion.expanded_bytes;
  if (!count || *count > available / element_bytes) {
    return node_error(
        node, "folding the node to " + shape_text(shape) + " needs " +
                  (count ? std::to_string(*count * element_bytes) : std::string("more than 2^64")) +
                  " bytes, beyond the expansion limit of " +
                  std::to_string(conversion.expansion_limit) + " bytes");
  }
  conversion.expanded_bytes += *count * element_bytes;
  Folded result{data_type, std::move(shape), {}, {}};
  if (result.is_float()) {
    result.floats.resize(*count);
  } else {
    result.integers.resize(*count);
  }
  return result;
}

/// The values of a constant value.
Folded read_constant(const Conversion& conversion, const Value& value) {
  const ConstantData& data = conversion.data[*value.constant];
  Folded folded{value.data_type, value.shape, {}, {}};
  if (folded.is_float()) {
    const std::span<const float> floats = floats_in(data.float_bytes);
    folded.floats.assign(floats.begin(), floats.end());
  } else {
    folded.integers = data.integers;
  }
  return folded;
}

/// Defines the node's output i as a new constant.
void define_folded(Conversion& conversion, const Node& node, int i, Folded folded) {
  ConstantData data;
  if (folded.is_float()) {
    data.float_bytes = float_bytes(folded.floats);
  } else {
    data.integers = std::move(folded.integers);
  }
  conversion.data.push_back(std::move(data));
  define(conversion, node, i,
         Value{output_name(node, i), folded.data_type, std::move(folded.shape), std::nullopt,
               conversion.data.size() - 1});
}

/// The flat index into a tensor of shape `from` of every element of `to`, which `from`
/// broadcasts to (aligned at the last axis, extents of 1 repeated).
std::vector<std::uint64_t> broadcast_sources(const std::vector<std::uint64_t>& from,
                                             const std::vector<std::uint64_t>& to) {
  const std::size_t offset = to.size() - from.size();
  std::vector<std::uint64_t> strides(to.size(), 0);
  std::uint64_t stride = 1;
  for (std::size_t i = from.size(); i-- > 0;) {
    strides[offset + i] = from[i] == 1 ? 0 : stride;
    stride *= from[i];
  }
  const std::uint64_t count = *element_count(to);
  std::vector<std::uint64_t> sources(count);
  std::vector<std::uint64_t> index(to.size(), 0);
  std::uint64_t source = 0;
  for (std::uint64_t n = 0; n < count; ++n) {
    sources[n] = source;
    for (std::size_t axis = to.size(); axis-- > 0;) {
      source += strides[axis];
      if (++index[axis] < to[axis]) {
        break;
      }
      source -= strides[axis] * to[axis];
      index[axis] = 0;
    }
  }
  return sources;
}

/// The shape the inputs broadcast to together.
Result<std::vector<std::uint64_t>> common_shape(const Node& node,
                                                const std::vector<const Folded*>& operands) {
  std::vector<std::uint64_t> shape = operands.front()->shape;
  for (const Folded* operand : operands) {
    const std::optional<std::vector<std::uint64_t>> joint = broadcast_shape(shape, operand->shape);
    if (!joint) {
      return node_error(node, "shapes " + shape_text(shape) + " and " + shape_text(operand->shape) +
                                  " do not broadcast");
    }
    shape = *joint;
  }
  return shape;
}

Result<void> same_data_type(const Node& node, const Folded& a, const Folded& b) {
  if (a.data_type != b.data_type) {
    return node_error(node, "inputs of data types " + data_type_name(a.data_type) + " and " +
                                data_type_name(b.data_type) + " are mixed");
  }
  return {};
}

/// Input i as integers: a constant of INT32 or INT64; `what` names it in the error.
Result<const std::vector<std::int64_t>*> integers_of(const Node& node, const Inputs& inputs,
                                                     std::size_t i, std::string_view what) {
  if (i >= inputs.size() || !inputs[i]) {
    return node_error(node, "the " + std::string(what) + " input is missing");
  }
  if (!is_integer_type(inputs[i]->data_type)) {
    return node_error(node, "the " + std::string(what) + " input has data type " +
                                data_type_name(inputs[i]->data_type) + ", not INT32 or INT64");
  }
  return &inputs[i]->integers;
}

/// Input i as one integer (a scalar or a single element).
Result<std::int64_t> integer_of(const Node& node, const Inputs& inputs, std::size_t i,
                                std::string_view what) {
  ORVIK_TRY(values, integers_of(node, inputs, i, what));
  if (values->size() != 1) {
    return node_error(node, "the " + std::string(what) + " input has " +
                                std::to_string(values->size()) + " elements, not 1");
  }
  return values->front();
}

/// Integers as a shape, each one checked to be non-negative.
Result<std::vector<std::uint64_t>> as_shape(const Node& node,
                                            const std::vector<std::int64_t>& extents) {
  std::vector<std::uint64_t> shape;
  for (const std::int64_t extent : extents) {
    if (extent < 0) {
      return node_error(node, "shape entry " + std::to_string(extent) + " is negative");
    }
    shape.push_back(static_cast<std::uint64_t>(extent));
  }
  return shape;
}

/// Element `from` of `source` copied to element `to` of `target` (of the same data type).
void copy_element(const Folded& source, std::uint64_t from, Folded& target, std::uint64_t to) {
  if (source.is_float()) {
    target.floats[to] = source.floats[from];
  } else {
    target.integers[to] = source.integers[from];
  }
}

Result<Folded> fold_shape(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  const auto rank = static_cast<std::int64_t>(input.shape.size());
  const auto clamped = [&](std::int64_t bound) {
    return std::clamp<std::int64_t>(bound < 0 ? bound + rank : bound, 0, rank);
  };
  ORVIK_TRY(start, int_attribute(node, "start", 0));
  ORVIK_TRY(end, int_attribute(node, "end", rank));
  const std::int64_t first = clamped(start);
  const std::int64_t last = std::max(first, clamped(end));
  ORVIK_TRY(result, new_result(conversion, node, onnx::TensorProto::INT64,
                               {static_cast<std::uint64_t>(last - first)}));
  for (std::int64_t i = first; i < last; ++i) {
    result.integers[static_cast<std::size_t>(i - first)] =
        static_cast<std::int64_t>(input.shape[static_cast<std::size_t>(i)]);
  }
  return result;
}

Result<Folded> fold_gather(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& table = *inputs[0];
  ORVIK_TRY(indices, integers_of(node, inputs, 1, "indices"));
  ORVIK_TRY(requested, int_attribute(node, "axis", 0));
  ORVIK_TRY(axis, normalised_axis(node, requested, table.shape.size(), "axis"));
  std::vector<std::uint64_t> shape(table.shape.begin(),
                                   table.shape.begin() + static_cast<std::ptrdiff_t>(axis));
  shape.insert(shape.end(), inputs[1]->shape.begin(), inputs[1]->shape.end());
  shape.insert(shape.end(), table.shape.begin() + static_cast<std::ptrdiff_t>(axis) + 1,
               table.shape.end());
  ORVIK_TRY(result, new_result(conversion, node, table.data_type, std::move(shape)));
  const std::uint64_t extent = table.shape[axis];
  const auto signed_extent = static_cast<std::int64_t>(extent);
  const std::uint64_t inner = *element_count(
      std::vector(table.shape.begin() + static_cast<std::ptrdiff_t>(axis) + 1, table.shape.end()));
  const std::uint64_t outer = *element_count(
      std::vector(table.shape.begin(), table.shape.begin() + static_cast<std::ptrdiff_t>(axis)));
  std::uint64_t to = 0;
  for (std::uint64_t o = 0; o < outer; ++o) {
    for (const std::int64_t index : *indices) {
      if (index < -signed_extent || index >= signed_extent) {
        return node_error(node, "index " + std::to_string(index) + " is outside [" +
                                    std::to_string(-signed_extent) + ", " +
                                    std::to_string(signed_extent) + ")");
      }
      const auto row = static_cast<std::uint64_t>(index < 0 ? index + signed_extent : index);
      for (std::uint64_t i = 0; i < inner; ++i) {
        copy_element(table, (o * extent + row) * inner + i, result, to++);
      }
    }
  }
  return result;
}

Result<Folded> fold_concat(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& first = *inputs[0];
  if (attribute(node, "axis") == nullptr) {
    return node_error(node, "attribute \"axis\" is missing");
  }
  ORVIK_TRY(requested, int_attribute(node, "axis", 0));
  ORVIK_TRY(axis, normalised_axis(node, requested, first.shape.size(), "axis"));
  std::vector<std::uint64_t> shape = first.shape;
  shape[axis] = 0;
  for (const std::optional<Folded>& part : inputs) {
    if (Result<void> same = same_data_type(node, first, *part); !same) {
      return same.error();
    }
    std::vector<std::uint64_t> others = part->shape;
    if (others.size() == shape.size()) {
      others[axis] = 0;
    }
    std::vector<std::uint64_t> expected = first.shape;
    expected[axis] = 0;
    if (others != expected) {
      return node_error(node, "input of shape " + shape_text(part->shape) +
                                  " does not join one of shape " + shape_text(first.shape) +
                                  " along axis " + std::to_string(axis));
    }
    shape[axis] += part->shape[axis];
  }
  const std::uint64_t outer =
      *element_count(std::vector(shape.begin(), shape.begin() + static_cast<std::ptrdiff_t>(axis)));
  ORVIK_TRY(result, new_result(conversion, node, first.data_type, std::move(shape)));
  std::uint64_t to = 0;
  for (std::uint64_t o = 0; o < outer; ++o) {
    for (const std::optional<Folded>& part : inputs) {
      const std::uint64_t block = part->size() / std::max<std::uint64_t>(outer, 1);
      for (std::uint64_t i = 0; i < block; ++i) {
        copy_element(*part, o * block + i, result, to++);
      }
    }
  }
  return result;
}

/// The start of a Slice along an axis of `extent` and its number of elements, clamped as ONNX
/// clamps them for the sign of `step`.
std::pair<std::int64_t, std::uint64_t> slice_range(std::int64_t start, std::int64_t end,
                                                   std::int64_t step, std::uint64_t extent) {
  const auto signed_extent = static_cast<std::int64_t>(extent);
  start = start < 0 ? start + signed_extent : start;
  end = end < 0 ? end + signed_extent : end;
  if (step > 0) {
    start = std::clamp<std::int64_t>(start, 0, signed_extent);
    end = std::clamp<std::int64_t>(end, 0, signed_extent);
    const std::int64_t span = end - start;
    return {start, span <= 0 ? 0 : static_cast<std::uint64_t>((span + step - 1) / step)};
  }
  start = std::clamp<std::int64_t>(start, 0, signed_extent - 1);
  end = std::clamp<std::int64_t>(end, -1, signed_extent - 1);
  const std::int64_t span = start - end;
  return {start, span <= 0 ? 0 : static_cast<std::uint64_t>((span - step - 1) / -step)};
}

Result<Folded> fold_slice(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& input = *inputs[0];
  ORVIK_TRY(starts, integers_of(node, inputs, 1, "starts"));
  ORVIK_TRY(ends, integers_of(node, inputs, 2, "ends"));
  std::vector<std::int64_t> axes(starts->size());
  for (std::size_t i = 0; i < axes.size(); ++i) {
    axes[i] = static_cast<std::int64_t>(i);
  }
  std::vector<std::int64_t> steps(starts->size(), 1);
  if (inputs.size() > 3 && inputs[3]) {
    ORVIK_TRY(given, integers_of(node, inputs, 3, "axes"));
    axes = *given;
  }
  if (inputs.size() > 4 && inputs[4]) {
    ORVIK_TRY(given, integers_of(node, inputs, 4, "steps"));
    steps = *given;
  }
  if (ends->size() != starts->size() || axes.size() != starts->size() ||
      steps.size() != starts->size()) {
    return node_error(node, "starts, ends, axes and steps have " + std::to_string(starts->size()) +
                                ", " + std::to_string(ends->size()) + ", " +
                                std::to_string(axes.size()) + " and " +
                                std::to_string(steps.size()) + " entries");
  }
  const std::size_t rank = input.shape.size();
  std::vector<std::int64_t> first(rank, 0);
  std::vector<std::int64_t> stride(rank, 1);
  std::vector<std::uint64_t> shape = input.shape;
  std::vector<bool> seen(rank, false);
  for (std::size_t i = 0; i < starts->size(); ++i) {
    ORVIK_TRY(axis, normalised_axis(node, axes[i], rank, "axis"));
    if (seen[axis]) {
      return node_error(node, "axis " + std::to_string(axes[i]) + " is given twice");
    }
    seen[axis] = true;
    if (steps[i] == 0) {
      return node_error(node, "step 0 on axis " + std::to_string(axis) + " is not allowed");
    }
    const auto [start, count] = slice_range((*starts)[i], (*ends)[i], steps[i], shape[axis]);
    first[axis] = start;
    stride[axis] = steps[i];
    shape[axis] = count;
  }
  ORVIK_TRY(result, new_result(conversion, node, input.data_type, shape));
  std::vector<std::uint64_t> strides(rank, 1);
  for (std::size_t axis = rank; axis-- > 1;) {
    strides[axis - 1] = strides[axis] * input.shape[axis];
  }
  std::vector<std::uint64_t> index(rank, 0);
  for (std::uint64_t to = 0; to < result.size(); ++to) {
    std::int64_t from = 0;
    for (std::size_t axis = 0; axis < rank; ++axis) {
      from += (first[axis] + static_cast<std::int64_t>(index[axis]) * stride[axis]) *
              static_cast<std::int64_t>(strides[axis]);
    }
    copy_element(input, static_cast<std::uint64_t>(from), result, to);
    for (std::size_t axis = rank; axis-- > 0;) {
      if (++index[axis] < shape[axis]) {
        break;
      }
      index[axis] = 0;
    }
  }
  return result;
}

Result<Folded> fold_cast(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& input = *inputs[0];
  ORVIK_TRY(to_attribute, int_attribute(node, "to", onnx::TensorProto::UNDEFINED));
  const auto to = static_cast<std::int32_t>(to_attribute);
  if (!is_foldable_type(to)) {
    return node_error(node, "a cast to " + data_type_name(to) +
                                " is not supported; only FLOAT, INT32, INT64 and BOOL are");
  }
  ORVIK_TRY(result, new_result(conversion, node, to, input.shape));
  for (std::uint64_t i = 0; i < input.size(); ++i) {
    if (result.is_float()) {
      result.floats[i] = input.is_float() ? input.floats[i] : static_cast<float>(input.integers[i]);
    } else if (!input.is_float()) {
      result.integers[i] = held(to, input.integers[i]);
    } else if (to == onnx::TensorProto::BOOL) {
      result.integers[i] = input.floats[i] != 0.0F ? 1 : 0;
    } else {
      const float real = input.floats[i];
      if (!std::isfinite(real) || std::fabs(real) >= 9.2e18F) {
        return node_error(node, "the constant \"" + node.proto.input(0) + "\" holds " +
                                    std::to_string(real) + ", which no integer type holds");
      }
      result.integers[i] = held(to, static_cast<std::int64_t>(real));
    }
  }
  return result;
}

enum class Arithmetic { add, sub, mul, div };

Result<std::int64_t> integer_arithmetic(const Node& node, Arithmetic operation, std::int64_t a,
                                        std::int64_t b) {
  // Unsigned arithmetic wraps where signed overflow would be undefined.
  const auto ua = static_cast<std::uint64_t>(a);
  const auto ub = static_cast<std::uint64_t>(b);
  switch (operation) {
  case Arithmetic::add:
    return static_cast<std::int64_t>(ua + ub);
  case Arithmetic::sub:
    return static_cast<std::int64_t>(ua - ub);
  case Arithmetic::mul:
    return static_cast<std::int64_t>(ua * ub);
  case Arithmetic::div:
    break;
  }
  if (b == 0 || (a == std::numeric_limits<std::int64_t>::min() && b == -1)) {
    return node_error(node, "the integer division " + std::to_string(a) + " / " +
                                std::to_string(b) + " has no result");
  }
  return a / b;
}

float float_arithmetic(Arithmetic operation, float a, float b) {
  switch (operation) {
  case Arithmetic::add:
    return a + b;
  case Arithmetic::sub:
    return a - b;
  case Arithmetic::mul:
    return a * b;
  case Arithmetic::div:
    break;
  }
  return a / b;
}

template <Arithmetic operation>
Result<Folded> fold_arithmetic(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& a = *inputs[0];
  const Folded& b = *inputs[1];
  if (Result<void> same = same_data_type(node, a, b); !same) {
    return same.error();
  }
  if (a.data_type == onnx::TensorProto::BOOL) {
    return node_error(node, "arithmetic on BOOL is not supported");
  }
  ORVIK_TRY(shape, common_shape(node, {&a, &b}));
  const std::vector<std::uint64_t> from_a = broadcast_sources(a.shape, shape);
  const std::vector<std::uint64_t> from_b = broadcast_sources(b.shape, shape);
  ORVIK_TRY(result, new_result(conversion, node, a.data_type, shape));
  for (std::uint64_t i = 0; i < result.size(); ++i) {
    if (result.is_float()) {
      result.floats[i] = float_arithmetic(operation, a.floats[from_a[i]], b.floats[from_b[i]]);
    } else {
      ORVIK_TRY(value,
                integer_arithmetic(node, operation, a.integers[from_a[i]], b.integers[from_b[i]]));
      result.integers[i] = held(a.data_type, value);
    }
  }
  return result;
}

Result<Folded> fold_equal(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& a = *inputs[0];
  const Folded& b = *inputs[1];
  if (Result<void> same = same_data_type(node, a, b); !same) {
    return same.error();
  }
  ORVIK_TRY(shape, common_shape(node, {&a, &b}));
  const std::vector<std::uint64_t> from_a = broadcast_sources(a.shape, shape);
  const std::vector<std::uint64_t> from_b = broadcast_sources(b.shape, shape);
  ORVIK_TRY(result, new_result(conversion, node, onnx::TensorProto::BOOL, shape));
  for (std::uint64_t i = 0; i < result.size(); ++i) {
    const bool equal = a.is_float() ? a.floats[from_a[i]] == b.floats[from_b[i]]
                                    : a.integers[from_a[i]] == b.integers[from_b[i]];
    result.integers[i] = equal ? 1 : 0;
  }
  return result;
}

Result<Folded> fold_where(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& condition = *inputs[0];
  const Folded& x = *inputs[1];
  const Folded& y = *inputs[2];
  if (condition.data_type != onnx::TensorProto::BOOL) {
    return node_error(node, "the condition has data type " + data_type_name(condition.data_type) +
                                ", not BOOL");
  }
  if (Result<void> same = same_data_type(node, x, y); !same) {
    return same.error();
  }
  ORVIK_TRY(shape, common_shape(node, {&condition, &x, &y}));
  const std::vector<std::uint64_t> from_condition = broadcast_sources(condition.shape, shape);
  const std::vector<std::uint64_t> from_x = broadcast_sources(x.shape, shape);
  const std::vector<std::uint64_t> from_y = broadcast_sources(y.shape, shape);
  ORVIK_TRY(result, new_result(conversion, node, x.data_type, shape));
  for (std::uint64_t i = 0; i < result.size(); ++i) {
    if (condition.integers[from_condition[i]] != 0) {
      copy_element(x, from_x[i], result, i);
    } else {
      copy_element(y, from_y[i], result, i);
    }
  }
  return result;
}

Result<Folded> fold_range(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& start = *inputs[0];
  const Folded& limit = *inputs[1];
  const Folded& delta = *inputs[2];
  for (const Folded* scalar : {&start, &limit, &delta}) {
    if (Result<void> same = same_data_type(node, start, *scalar); !same) {
      return same.error();
    }
    if (scalar->size() != 1) {
      return node_error(node, "start, limit and delta must be single values; one has " +
                                  std::to_string(scalar->size()));
    }
  }
  if (start.is_float()) {
    const float first = start.floats[0];
    const float step = delta.floats[0];
    const double count = std::ceil((static_cast<double>(limit.floats[0]) - first) / step);
    if (step == 0.0F || !std::isfinite(count)) {
      return node_error(node, "the range from " + std::to_string(first) + " to " +
                                  std::to_string(limit.floats[0]) + " by " + std::to_string(step) +
                                  " has no finite length");
    }
    const double clamped = std::clamp(count, 0.0, 1.8e19);
    ORVIK_TRY(result,
              new_result(conversion, node, start.data_type, {static_cast<std::uint64_t>(clamped)}));
    for (std::uint64_t i = 0; i < result.size(); ++i) {
      result.floats[i] = first + static_cast<float>(i) * step;
    }
    return result;
  }
  if (start.data_type == onnx::TensorProto::BOOL) {
    return node_error(node, "a range of BOOL is not supported");
  }
  const std::int64_t first = start.integers[0];
  const std::int64_t last = limit.integers[0];
  const std::int64_t step = delta.integers[0];
  if (step == 0) {
    return node_error(node, "the range's delta is 0");
  }
  // The distance and step as unsigned magnitudes, which cannot overflow.
  std::uint64_t count = 0;
  if ((step > 0 && last > first) || (step < 0 && last < first)) {
    const std::uint64_t distance =
        step > 0 ? static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(first)
                 : static_cast<std::uint64_t>(first) - static_cast<std::uint64_t>(last);
    const std::uint64_t magnitude = step > 0 ? static_cast<std::uint64_t>(step)
                                             : std::uint64_t{0} - static_cast<std::uint64_t>(step);
    count = distance / magnitude + (distance % magnitude != 0 ? 1 : 0);
  }
  ORVIK_TRY(result, new_result(conversion, node, start.data_type, {count}));
  for (std::uint64_t i = 0; i < count; ++i) {
    result.integers[i] = static_cast<std::int64_t>(static_cast<std::uint64_t>(first) +
                                                   i * static_cast<std::uint64_t>(step));
  }
  return result;
}

/// The one value a `ConstantOfShape` fills with: its "value" attribute, float 0 without one.
Result<Folded> fill_value(const Node& node) {
  const onnx::AttributeProto* given = attribute(node, "value");
  if (given == nullptr) {
    return Folded{onnx::TensorProto::FLOAT, {}, {0.0F}, {}};
  }
  const onnx::TensorProto& tensor = given->t();
  const auto failed = [&](const CompileError& error) {
    return node_error(node, "value: " + error.message);
  };
  const std::int32_t data_type = tensor.data_type();
  Folded value{data_type, {}, {}, {}};
  if (data_type == onnx::TensorProto::FLOAT) {
    Result<std::vector<float>> floats = float_values(tensor, 1);
    if (!floats) {
      return failed(floats.error());
    }
    value.floats = std::move(*floats);
  } else if (data_type == onnx::TensorProto::INT64) {
    Result<std::vector<std::int64_t>> integers = int64_values(tensor, 1);
    if (!integers) {
      return failed(integers.error());
    }
    value.integers = std::move(*integers);
  } else if (data_type == onnx::TensorProto::INT32) {
    Result<std::vector<std::int32_t>> integers = int32_values(tensor, 1);
    if (!integers) {
      return failed(integers.error());
    }
    value.integers.assign(integers->begin(), integers->end());
  } else if (data_type == onnx::TensorProto::BOOL) {
    // One byte of raw data, or one entry of int32_data.
    if (tensor.raw_data().size() == 1) {
      value.integers = {tensor.raw_data()[0] != 0 ? 1 : 0};
    } else if (tensor.int32_data_size() == 1) {
      value.integers = {tensor.int32_data(0) != 0 ? 1 : 0};
    } else {
      return node_error(node, "value: a BOOL value needs exactly one element");
    }
  } else {
    return node_error(node, "a value of data type " + data_type_name(data_type) +
                                " is not supported; only FLOAT, INT32, INT64 and BOOL are");
  }
  return value;
}

Result<Folded> fold_constant_of_shape(Conversion& conversion, const Node& node,
                                      const Inputs& inputs) {
  ORVIK_TRY(extents, integers_of(node, inputs, 0, "shape"));
  ORVIK_TRY(shape, as_shape(node, *extents));
  ORVIK_TRY(value, fill_value(node));
  ORVIK_TRY(result, new_result(conversion, node, value.data_type, shape));
  std::fill(result.floats.begin(), result.floats.end(), value.is_float() ? value.floats[0] : 0.0F);
  std::fill(result.integers.begin(), result.integers.end(),
            value.is_float() ? 0 : value.integers[0]);
  return result;
}

Result<Folded> fold_expand(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& input = *inputs[0];
  ORVIK_TRY(extents, integers_of(node, inputs, 1, "shape"));
  ORVIK_TRY(requested, as_shape(node, *extents));
  const std::optional<std::vector<std::uint64_t>> shape = broadcast_shape(input.shape, requested);
  if (!shape) {
    return node_error(node, "shape " + shape_text(input.shape) + " does not broadcast with " +
                                shape_text(requested));
  }
  ORVIK_TRY(result, new_result(conversion, node, input.data_type, *shape));
  const std::vector<std::uint64_t> sources = broadcast_sources(input.shape, *shape);
  for (std::uint64_t i = 0; i < result.size(); ++i) {
    copy_element(input, sources[i], result, i);
  }
  return result;
}

Result<Folded> fold_trilu(Conversion& conversion, const Node& node, const Inputs& inputs) {
  const Folded& input = *inputs[0];
  std::int64_t k = 0;
  if (inputs.size() > 1 && inputs[1]) {
    ORVIK_TRY(given, integer_of(node, inputs, 1, "k"));
    k = given;
  }
  ORVIK_TRY(upper, int_attribute(node, "upper", 1));
  const std::size_t rank = input.shape.size();
  if (rank < 2) {
    return node_error(node, "the input of shape " + shape_text(input.shape) + " has rank below 2");
  }
  ORVIK_TRY(result, new_result(conversion, node, input.data_type, input.shape));
  const std::uint64_t rows = input.shape[rank - 2];
  const std::uint64_t columns = input.shape[rank - 1];
  for (std::uint64_t i = 0; i < result.size(); ++i) {
    const auto row = static_cast<std::int64_t>(i / columns % rows);
    const auto column = static_cast<std::int64_t>(i % columns);
    const bool kept = upper != 0 ? column - row >= k : column - row <= k;
    if (kept) {
      copy_element(input, i, result, i);
    }
  }
  return result;
}

using Folder = Result<Folded> (*)(Conversion& conversion, const Node& node, const Inputs& inputs);

struct FolderEntry {
  std::string_view op_type;
  /// The operator set from which the folder's reading of the node holds.
  std::int64_t since_version;
  Folder fold;
};

constexpr std::array folders{
    FolderEntry{"Add", 1, fold_arithmetic<Arithmetic::add>},
    FolderEntry{"Cast", 6, fold_cast},
    FolderEntry{"Concat", 4, fold_concat},
    FolderEntry{"ConstantOfShape", 9, fold_constant_of_shape},
    FolderEntry{"Div", 1, fold_arithmetic<Arithmetic::div>},
    FolderEntry{"Equal", 1, fold_equal},
    FolderEntry{"Expand", 8, fold_expand},
    FolderEntry{"Gather", 1, fold_gather},
    FolderEntry{"Mul", 1, fold_arithmetic<Arithmetic::mul>},
    FolderEntry{"Range", 11, fold_range},
    FolderEntry{"Slice", 10, fold_slice},
    FolderEntry{"Sub", 1, fold_arithmetic<Arithmetic::sub>},
    FolderEntry{"Trilu", 14, fold_trilu},
    FolderEntry{"Where", 9, fold_where},
};

} // namespace

Result<bool> fold_constant_node(Conversion& conversion, const Node& node) {
  if (!is_default_domain(node.proto.domain())) {
    return false;
  }
  const std::string& op_type = node.proto.op_type();
  if (op_type == "Shape") {
    ORVIK_TRY(shape, fold_shape(conversion, node));
    define_folded(conversion, node, 0, std::move(shape));
    return true;
  }
  const auto entry = std::find_if(folders.begin(), folders.end(), [&](const FolderEntry& f) {
    return f.op_type == op_type && f.since_version <= conversion.opset;
  });
  if (entry == folders.end() || node.proto.input_size() == 0) {
    return false;
  }
  Inputs inputs;
  for (int i = 0; i < node.proto.input_size(); ++i) {
    if (!has_input(node, i)) {
      inputs.emplace_back();
      continue;
    }
    const auto found = conversion.values.find(node.proto.input(i));
    if (found == conversion.values.end() || !found->second.constant ||
        !is_foldable_type(found->second.data_type)) {
      return false;
    }
    // The folder computes on a copy of each input, which counts against the limit as well.
    const Value& input = found->second;
    const std::uint64_t copy_bytes =
        *element_count(input.shape) *
        (input.data_type == onnx::TensorProto::FLOAT ? sizeof(float) : sizeof(std::int64_t));
    if (Result<void> reserved = reserve_expansion(
            conversion, node, "reading constant \"" + input.name + "\" to fold the node",
            copy_bytes);
        !reserved) {
      return reserved.error();
    }
    inputs.push_back(read_constant(conversion, input));
  }
  if (!inputs[0]) {
    return false;
  }
  ORVIK_TRY(result, entry->fold(conversion, node, inputs));
  define_folded(conversion, node, 0, std::move(result));
  return true;
}

} // namespace orvik_compiler::onnx_import
