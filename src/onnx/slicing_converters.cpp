// Converters of the operators that pick, join, repeat or retype elements.

#include "slicing_converters.hpp"

#include "attributes.hpp"
#include "broadcasting.hpp"
#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvik_compiler::onnx_import {
namespace {

/// A graph tensor as a value of the ONNX data type `data_type`.
Value typed_tensor_value(const Conversion& conversion, TensorId tensor, std::int32_t data_type) {
  Value value = tensor_value(conversion, tensor);
  value.data_type = data_type;
  return value;
}

/// The optional input i as constant integers, `fallback` when it is absent.
Result<std::vector<std::int64_t>> optional_integers(Conversion& conversion, const Node& node, int i,
                                                    std::string_view what,
                                                    std::vector<std::int64_t> fallback) {
  if (!has_input(node, i)) {
    return fallback;
  }
  return input_integers(conversion, node, i, what);
}

/// A bound of Slice made an index in [0, extent]: negative ones count from the end, the rest
/// clamped.
std::uint64_t clamped_bound(std::int64_t bound, std::uint64_t extent) {
  const auto signed_extent = static_cast<std::int64_t>(extent);
  if (bound < 0) {
    bound = std::max<std::int64_t>(bound + signed_extent, 0);
  }
  return static_cast<std::uint64_t>(std::min(bound, signed_extent));
}

/// The input sliced to [start, stop) along `axis`, or the input itself when that is all of it;
/// `value` keeps its data type.
Result<Value> sliced(Conversion& conversion, const Node& node, const Value& value,
                     std::uint64_t axis, std::uint64_t start, std::uint64_t stop,
                     std::uint64_t step, const std::string& name) {
  ORVIK_TRY(tensor, any_tensor(conversion, node, value));
  if (start == 0 && stop == value.shape[axis] && step == 1) {
    return typed_tensor_value(conversion, tensor, value.data_type);
  }
  ORVIK_TRY(result, built(conversion, node,
                          conversion.graph().slice(name, tensor, axis, start, stop, step)));
  return typed_tensor_value(conversion, result, value.data_type);
}

/// The part sizes of a Split of `extent` elements into `outputs` parts: `split` when given
/// (every part at least 1 and the sum the extent), otherwise equal parts.
Result<std::vector<std::uint64_t>>
split_parts(const Node& node, const std::optional<std::vector<std::int64_t>>& split,
            std::uint64_t extent, std::uint64_t outputs) {
  std::vector<std::uint64_t> parts;
  if (!split) {
    if (outputs == 0 || extent % outputs != 0) {
      return node_error(node, "an axis of extent " + std::to_string(extent) +
                                  " does not split into " + std::to_string(outputs) +
                                  " equal parts");
    }
    return std::vector<std::uint64_t>(outputs, extent / outputs);
  }
  if (split->size() != outputs) {
    return node_error(node, "split gives " + std::to_string(split->size()) + " parts for " +
                                std::to_string(outputs) + " outputs");
  }
  std::uint64_t total = 0;
  for (const std::int64_t part : *split) {
    if (part < 1) {
      return node_error(node, "a part of " + std::to_string(part) +
                                  " elements is not supported; the graph has no empty tensors");
    }
    parts.push_back(static_cast<std::uint64_t>(part));
    total += parts.back();
  }
  if (total != extent) {
    return node_error(node, "the parts add up to " + std::to_string(total) +
                                ", not to the axis's extent " + std::to_string(extent));
  }
  return parts;
}

/// `Split` of input 0 into `split` parts (equal parts when absent).
Result<void> split_into(Conversion& conversion, const Node& node,
                        const std::optional<std::vector<std::int64_t>>& split) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  ORVIK_TRY(requested, int_attribute(node, "axis", 0));
  ORVIK_TRY(axis, normalised_axis(node, requested, input.shape.size(), "axis"));
  const auto outputs = static_cast<std::uint64_t>(node.proto.output_size());
  ORVIK_TRY(parts, split_parts(node, split, input.shape[axis], outputs));
  std::uint64_t start = 0;
  for (std::uint64_t i = 0; i < outputs; ++i) {
    const int output = static_cast<int>(i);
    const std::string name = output_name(node, output);
    if (!name.empty()) {
      ORVIK_TRY(part, sliced(conversion, node, input, axis, start, start + parts[i], 1, name));
      define(conversion, node, output, std::move(part));
    }
    start += parts[i];
  }
  return {};
}

/// Constant indices made non-negative, each checked against the extent.
Result<std::vector<std::uint64_t>> normalised_indices(const Node& node,
                                                      const std::vector<std::int64_t>& indices,
                                                      std::uint64_t extent) {
  const auto signed_extent = static_cast<std::int64_t>(extent);
  std::vector<std::uint64_t> result;
  for (const std::int64_t index : indices) {
    if (index < -signed_extent || index >= signed_extent) {
      return node_error(node, "index " + std::to_string(index) + " is outside [" +
                                  std::to_string(-signed_extent) + ", " +
                                  std::to_string(signed_extent) + ")");
    }
    result.push_back(static_cast<std::uint64_t>(index < 0 ? index + signed_extent : index));
  }
  return result;
}

/// Gather of constant indices along `axis`: a Slice per run of consecutive indices, a Concat of
/// the runs when there are several, then the indices' shape in place of the axis.
Result<void> gather_constant_indices(Conversion& conversion, const Node& node, const Value& table,
                                     std::uint64_t axis, const Value& indices) {
  const std::string output = output_name(node, 0);
  ORVIK_TRY(picked, normalised_indices(node, conversion.data[*indices.constant].integers,
                                       table.shape[axis]));
  if (picked.empty()) {
    return node_error(node, "the indices are empty; the graph has no empty tensors");
  }
  std::vector<Value> runs;
  for (std::size_t first = 0; first < picked.size();) {
    std::size_t last = first + 1;
    while (last < picked.size() && picked[last] == picked[last - 1] + 1) {
      ++last;
    }
    ORVIK_TRY(run,
              sliced(conversion, node, table, axis, picked[first], picked[first] + (last - first),
                     1, fresh_name(conversion, output + "/rows")));
    runs.push_back(std::move(run));
    first = last;
  }
  Value joined = runs.front();
  if (runs.size() > 1) {
    std::vector<TensorId> parts;
    for (const Value& run : runs) {
      parts.push_back(*run.tensor);
    }
    ORVIK_TRY(concat, built(conversion, node,
                            conversion.graph().concat(fresh_name(conversion, output + "/joined"),
                                                      std::move(parts), axis)));
    joined = typed_tensor_value(conversion, concat, table.data_type);
  }
  std::vector<std::uint64_t> shape(table.shape.begin(),
                                   table.shape.begin() + static_cast<std::ptrdiff_t>(axis));
  shape.insert(shape.end(), indices.shape.begin(), indices.shape.end());
  shape.insert(shape.end(), table.shape.begin() + static_cast<std::ptrdiff_t>(axis) + 1,
               table.shape.end());
  ORVIK_TRY(result, reshaped(conversion, node, joined, std::move(shape), output));
  define(conversion, node, 0, std::move(result));
  return {};
}

/// Indices computed by the graph with the negative ones counted from the end of `extent` rows,
/// as ONNX counts them: i + extent * min(relu(-i), 1), in floats (exact below 2^24 rows).
Result<TensorId> wrapped_indices(Conversion& conversion, const Node& node, TensorId indices,
                                 std::uint64_t extent) {
  Graph& graph = conversion.graph();
  const std::vector<std::uint64_t> shape = graph.tensors[indices.index].shape;
  const std::string base = output_name(node, 0) + "/indices";
  const auto step = [&](const char* what) { return fresh_name(conversion, base + "_" + what); };
  const auto filled = [&](const char* what, float value) {
    return tensor_of(conversion, node,
                     new_constant(conversion, base + "_" + what, shape,
                                  std::vector<float>(*element_count(shape), value)));
  };
  ORVIK_TRY(one, filled("one", 1.0F));
  ORVIK_TRY(rows, filled("rows", static_cast<float>(extent)));
  ORVIK_TRY(real, built(conversion, node, graph.cast(step("float"), indices, DType::F32)));
  ORVIK_TRY(negated, built(conversion, node, graph.neg(step("negated"), real)));
  ORVIK_TRY(below, built(conversion, node, graph.relu(step("below_zero"), negated)));
  ORVIK_TRY(negative, built(conversion, node, graph.minimum(step("negative"), below, one)));
  ORVIK_TRY(shift, built(conversion, node, graph.mul(step("shift"), negative, rows)));
  ORVIK_TRY(sum, built(conversion, node, graph.add(step("wrapped"), real, shift)));
  return built(conversion, node, graph.cast(step("wrapped_i32"), sum, DType::I32));
}

/// The values of a constant converted to the ONNX data type `to` (FLOAT, INT32 or INT64), as a
/// new constant; float values are truncated toward zero as a Cast of a tensor does.
Result<Value> cast_constant(Conversion& conversion, const Node& node, const Value& value,
                            std::int32_t to) {
  if (value.data_type == to ||
      (is_integer_type(value.data_type) && is_integer_type(to) && value.data_type != to)) {
    Value same = value;
    same.data_type = to;
    return same;
  }
  ConstantData data;
  if (to == onnx::TensorProto::FLOAT) {
    std::vector<float> floats;
    for (const std::int64_t integer : conversion.data[*value.constant].integers) {
      floats.push_back(static_cast<float>(integer));
    }
    data.float_bytes = float_bytes(floats);
  } else {
    for (const float real : floats_in(conversion.data[*value.constant].float_bytes)) {
      if (!std::isfinite(real) || std::fabs(real) >= 9.2e18F) {
        return node_error(node, "the constant \"" + value.name + "\" holds " +
                                    std::to_string(real) + ", which no integer type holds");
      }
      data.integers.push_back(static_cast<std::int64_t>(real));
    }
  }
  conversion.data.push_back(std::move(data));
  return Value{output_name(node, 0), to, value.shape, std::nullopt, conversion.data.size() - 1};
}

} // namespace

Result<void> convert_slice(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  ORVIK_TRY(starts, input_integers(conversion, node, 1, "starts"));
  ORVIK_TRY(ends, input_integers(conversion, node, 2, "ends"));
  std::vector<std::int64_t> every_axis(starts.size());
  for (std::size_t i = 0; i < every_axis.size(); ++i) {
    every_axis[i] = static_cast<std::int64_t>(i);
  }
  ORVIK_TRY(axes, optional_integers(conversion, node, 3, "axes", every_axis));
  ORVIK_TRY(steps, optional_integers(conversion, node, 4, "steps",
                                     std::vector<std::int64_t>(starts.size(), 1)));
  if (ends.size() != starts.size() || axes.size() != starts.size() ||
      steps.size() != starts.size()) {
    return node_error(node, "starts, ends, axes and steps have " + std::to_string(starts.size()) +
                                ", " + std::to_string(ends.size()) + ", " +
                                std::to_string(axes.size()) + " and " +
                                std::to_string(steps.size()) + " entries");
  }
  const std::string output = output_name(node, 0);
  const std::uint64_t rank = input.shape.size();
  std::vector<bool> seen(rank, false);
  std::vector<std::size_t> changing;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    ORVIK_TRY(axis, normalised_axis(node, axes[i], rank, "axis"));
    if (seen[axis]) {
      return node_error(node, "axis " + std::to_string(axes[i]) + " is given twice");
    }
    seen[axis] = true;
    if (steps[i] < 1) {
      return node_error(node, "step " + std::to_string(steps[i]) + " on axis " +
                                  std::to_string(axis) +
                                  " is not supported; only steps of 1 "
                                  "or more are");
    }
    const std::uint64_t start = clamped_bound(starts[i], input.shape[axis]);
    const std::uint64_t stop = clamped_bound(ends[i], input.shape[axis]);
    if (start >= stop) {
      return node_error(node, "the slice [" + std::to_string(starts[i]) + ", " +
                                  std::to_string(ends[i]) + ") of axis " + std::to_string(axis) +
                                  " of extent " + std::to_string(input.shape[axis]) +
                                  " is empty; the graph has no empty tensors");
    }
    changing.push_back(i);
  }
  Value result = input;
  for (std::size_t n = 0; n < changing.size(); ++n) {
    const std::size_t i = changing[n];
    const std::uint64_t axis = *normalised_axis(node, axes[i], rank, "axis");
    const std::uint64_t start = clamped_bound(starts[i], input.shape[axis]);
    const std::uint64_t stop = clamped_bound(ends[i], input.shape[axis]);
    const std::string name = n + 1 == changing.size()
                                 ? output
                                 : fresh_name(conversion, output + "/axis_" + std::to_string(axis));
    ORVIK_TRY(next, sliced(conversion, node, result, axis, start, stop,
                           static_cast<std::uint64_t>(steps[i]), name));
    result = std::move(next);
  }
  ORVIK_TRY(named, reshaped(conversion, node, result, result.shape, output));
  define(conversion, node, 0, std::move(named));
  return {};
}

Result<void> convert_split_v11(Conversion& conversion, const Node& node) {
  ORVIK_TRY(split, ints_attribute(node, "split"));
  return split_into(conversion, node, split);
}

Result<void> convert_split_v13(Conversion& conversion, const Node& node) {
  std::optional<std::vector<std::int64_t>> split;
  if (has_input(node, 1)) {
    ORVIK_TRY(given, input_integers(conversion, node, 1, "split"));
    split = std::move(given);
  }
  return split_into(conversion, node, split);
}

Result<void> convert_concat(Conversion& conversion, const Node& node) {
  ORVIK_TRY(first, input_value(conversion, node, 0));
  ORVIK_TRY(requested, int_attribute(node, "axis", 0));
  if (attribute(node, "axis") == nullptr) {
    return node_error(node, "attribute \"axis\" is missing");
  }
  ORVIK_TRY(axis, normalised_axis(node, requested, first.shape.size(), "axis"));
  std::vector<TensorId> parts;
  for (int i = 0; i < node.proto.input_size(); ++i) {
    ORVIK_TRY(part, input_value(conversion, node, i));
    if (is_integer_type(part.data_type) != is_integer_type(first.data_type)) {
      return node_error(node, "input \"" + part.name + "\" has data type " +
                                  data_type_name(part.data_type) + ", but \"" + first.name +
                                  "\" has " + data_type_name(first.data_type));
    }
    ORVIK_TRY(tensor, any_tensor(conversion, node, part));
    parts.push_back(tensor);
  }
  const std::string output = output_name(node, 0);
  if (parts.size() == 1) {
    ORVIK_TRY(same,
              reshaped(conversion, node, typed_tensor_value(conversion, parts[0], first.data_type),
                       first.shape, output));
    define(conversion, node, 0, std::move(same));
    return {};
  }
  ORVIK_TRY(joined, built(conversion, node, conversion.graph().concat(output, parts, axis)));
  define(conversion, node, 0, typed_tensor_value(conversion, joined, first.data_type));
  return {};
}

Result<void> convert_gather(Conversion& conversion, const Node& node) {
  ORVIK_TRY(table, input_value(conversion, node, 0));
  ORVIK_TRY(indices, input_value(conversion, node, 1));
  ORVIK_TRY(requested, int_attribute(node, "axis", 0));
  ORVIK_TRY(axis, normalised_axis(node, requested, table.shape.size(), "axis"));
  if (!is_integer_type(indices.data_type)) {
    return node_error(node, "indices \"" + indices.name + "\" have data type " +
                                data_type_name(indices.data_type) + ", not INT32 or INT64");
  }
  if (indices.constant) {
    return gather_constant_indices(conversion, node, table, axis, indices);
  }
  if (!indices.tensor) {
    return node_error(node, "indices \"" + indices.name + "\" have data type " +
                                data_type_name(indices.data_type) +
                                ", which is not supported here");
  }
  if (axis != 0) {
    return node_error(node, "axis " + std::to_string(requested) +
                                " with indices computed by the graph is not supported; only "
                                "axis 0 is");
  }
  ORVIK_TRY(rows, any_tensor(conversion, node, table));
  ORVIK_TRY(wrapped, wrapped_indices(conversion, node, *indices.tensor, table.shape[0]));
  ORVIK_TRY(gathered, built(conversion, node,
                            conversion.graph().gather(output_name(node, 0), rows, wrapped)));
  define(conversion, node, 0, typed_tensor_value(conversion, gathered, table.data_type));
  return {};
}

Result<void> convert_where(Conversion& conversion, const Node& node) {
  ORVIK_TRY(condition, input_value(conversion, node, 0));
  ORVIK_TRY(chosen, input_value(conversion, node, 1));
  ORVIK_TRY(other, input_value(conversion, node, 2));
  if (condition.data_type != onnx::TensorProto::BOOL) {
    return node_error(node, "condition \"" + condition.name + "\" has data type " +
                                data_type_name(condition.data_type) + ", not BOOL");
  }
  if (!condition.constant) {
    return node_error(node, "condition \"" + condition.name +
                                "\" is not a constant; only a constant condition is supported");
  }
  std::optional<std::vector<std::uint64_t>> shape = broadcast_shape(condition.shape, chosen.shape);
  if (shape) {
    shape = broadcast_shape(*shape, other.shape);
  }
  if (!shape) {
    return node_error(node, "shapes " + shape_text(condition.shape) + ", " +
                                shape_text(chosen.shape) + " and " + shape_text(other.shape) +
                                " do not broadcast");
  }
  const std::string output = output_name(node, 0);
  if (shape->empty() || *element_count(*shape) == 0) {
    return node_error(node, "the result's shape " + shape_text(*shape) +
                                " is empty or a scalar; the graph has neither");
  }
  const std::uint64_t count = *element_count(*shape);
  if (count > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()) / 2) {
    return node_error(node, "the result's " + std::to_string(count) +
                                " elements are too many to choose between by 32-bit indices");
  }
  // Each element of the result is the one at its own position in `chosen` or in `other`: a
  // Gather from both flattened and joined, by an index per element (i, or count + i).
  // Per element: the condition broadcast, the index and its 32-bit bytes in the weight.
  if (Result<void> reserved = reserve_expansion(
          conversion, node, "choosing between the operands of shape " + shape_text(*shape),
          count * (sizeof(float) + sizeof(std::int64_t) + sizeof(std::int32_t)));
      !reserved) {
    return reserved.error();
  }
  const std::vector<std::int64_t>& flags = conversion.data[*condition.constant].integers;
  std::vector<float> flag_values(flags.begin(), flags.end());
  std::vector<float> picks(count);
  broadcast_values(flag_values, condition.shape, *shape, picks);
  const bool all_chosen = std::all_of(picks.begin(), picks.end(), [](float f) { return f != 0; });
  const bool none_chosen = std::all_of(picks.begin(), picks.end(), [](float f) { return f == 0; });
  if (all_chosen || none_chosen) {
    ORVIK_TRY(full, broadcast_value(conversion, node, all_chosen ? chosen : other, *shape));
    ORVIK_TRY(result, reshaped(conversion, node, full, *shape, output));
    define(conversion, node, 0, std::move(result));
    return {};
  }
  std::vector<TensorId> halves;
  for (const Value* branch : {&chosen, &other}) {
    ORVIK_TRY(full, broadcast_value(conversion, node, *branch, *shape));
    ORVIK_TRY(flat,
              reshaped(conversion, node, full, {count}, fresh_name(conversion, output + "/flat")));
    ORVIK_TRY(tensor, any_tensor(conversion, node, flat));
    halves.push_back(tensor);
  }
  ORVIK_TRY(table, built(conversion, node,
                         conversion.graph().concat(fresh_name(conversion, output + "/choices"),
                                                   std::move(halves), 0)));
  ConstantData indices;
  indices.integers.resize(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    indices.integers[i] = static_cast<std::int64_t>(picks[i] != 0 ? i : count + i);
  }
  conversion.data.push_back(std::move(indices));
  const Value index_value{fresh_name(conversion, output + "/picks"), onnx::TensorProto::INT32,
                          *shape, std::nullopt, conversion.data.size() - 1};
  ORVIK_TRY(index_tensor, any_tensor(conversion, node, index_value));
  return defined(conversion, node,
                 built(conversion, node, conversion.graph().gather(output, table, index_tensor)));
}

Result<void> convert_expand(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  ORVIK_TRY(requested, input_integers(conversion, node, 1, "shape"));
  std::vector<std::uint64_t> shape;
  for (const std::int64_t extent : requested) {
    if (extent < 0) {
      return node_error(node, "shape entry " + std::to_string(extent) + " is negative");
    }
    shape.push_back(static_cast<std::uint64_t>(extent));
  }
  const std::optional<std::vector<std::uint64_t>> target = broadcast_shape(input.shape, shape);
  if (!target) {
    return node_error(node, "shape " + shape_text(input.shape) + " does not broadcast with " +
                                shape_text(shape));
  }
  const std::string output = output_name(node, 0);
  ORVIK_TRY(tensor, any_tensor(conversion, node, input));
  if (*target == input.shape) {
    ORVIK_TRY(same,
              reshaped(conversion, node, typed_tensor_value(conversion, tensor, input.data_type),
                       input.shape, output));
    define(conversion, node, 0, std::move(same));
    return {};
  }
  ORVIK_TRY(expanded,
            built(conversion, node, conversion.graph().broadcast(output, tensor, *target)));
  define(conversion, node, 0, typed_tensor_value(conversion, expanded, input.data_type));
  return {};
}

Result<void> convert_cast(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  ORVIK_TRY(to_attribute, int_attribute(node, "to", onnx::TensorProto::UNDEFINED));
  const auto to = static_cast<std::int32_t>(to_attribute);
  if (to != onnx::TensorProto::FLOAT && !is_integer_type(to)) {
    return node_error(node, "a cast to " + data_type_name(to) +
                                " is not supported; only FLOAT, INT32 and INT64 are");
  }
  if (input.data_type != onnx::TensorProto::FLOAT && !is_integer_type(input.data_type)) {
    return node_error(node, "a cast from " + data_type_name(input.data_type) +
                                " is not supported; only FLOAT, INT32 and INT64 are");
  }
  const std::string output = output_name(node, 0);
  if (input.constant) {
    ORVIK_TRY(cast, cast_constant(conversion, node, input, to));
    define(conversion, node, 0, std::move(cast));
    return {};
  }
  ORVIK_TRY(tensor, any_tensor(conversion, node, input));
  if (is_integer_type(to) == is_integer_type(input.data_type)) {
    ORVIK_TRY(same, reshaped(conversion, node, typed_tensor_value(conversion, tensor, to),
                             input.shape, output));
    define(conversion, node, 0, std::move(same));
    return {};
  }
  ORVIK_TRY(cast, built(conversion, node,
                        conversion.graph().cast(output, tensor,
                                                is_integer_type(to) ? DType::I32 : DType::F32)));
  define(conversion, node, 0, typed_tensor_value(conversion, cast, to));
  return {};
}

} // namespace orvik_compiler::onnx_import
