// Converters of the pooling operators.

#include "pooling_converters.hpp"

#include "attributes.hpp"
#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "spatial_converters.hpp"
#include "tensor_data.hpp"

#include <orvik_compiler/debug_text.hpp>

#include <algorithm>
#include <limits>
#include <numeric>
#include <utility>

namespace orvik_compiler::onnx_import {
namespace {

enum class Pooling { Max, Average };

/// The most slices one pooling node builds: a larger kernel is refused rather than made a graph
/// too large to schedule.
constexpr std::uint64_t max_slices = 1024;
/// The largest stride, dilation or pad taken, so that the windows' arithmetic cannot overflow.
constexpr std::int64_t max_attribute_value = std::numeric_limits<std::int32_t>::max();

/// The windows along one spatial axis, in the coordinates of the padded axis, where the input
/// starts at `pad_begin`.
struct AxisWindows {
  std::uint64_t extent = 0;
  std::uint64_t kernel = 1;
  std::uint64_t stride = 1;
  std::uint64_t dilation = 1;
  std::uint64_t pad_begin = 0;
  std::uint64_t pad_end = 0;
  std::uint64_t outputs = 0;

  /// From a window's first tap to its last, inclusive.
  std::uint64_t span() const { return (kernel - 1) * dilation + 1; }

  /// How many taps of window `j` lie in [low, high).
  std::uint64_t taps_within(std::uint64_t j, std::uint64_t low, std::uint64_t high) const {
    const std::uint64_t start = j * stride;
    // The first tap at or after `bound`, or `kernel` when there is none.
    const auto first_from = [&](std::uint64_t bound) {
      return bound <= start ? 0 : std::min(kernel, (bound - start + dilation - 1) / dilation);
    };
    return first_from(high) - first_from(low);
  }

  /// Whether pooling leaves the axis as it is.
  bool unchanged() const { return kernel == 1 && stride == 1 && pad_begin == 0 && pad_end == 0; }
};

/// The integer-list attribute `name`, `count` entries each in [minimum, max_attribute_value]:
/// `fallback` when absent, or an empty list, refused, when there is none.
Result<std::vector<std::uint64_t>>
attribute_list(const Node& node, std::string_view name, std::size_t count, std::int64_t minimum,
               const std::optional<std::vector<std::uint64_t>>& fallback) {
  ORVIK_TRY(found, ints_attribute(node, name));
  if (!found && fallback) {
    return *fallback;
  }
  const std::vector<std::int64_t> given = found.value_or(std::vector<std::int64_t>{});
  const std::string text = std::string(name) + " " + ints_text(given);
  if (given.size() != count) {
    return node_error(node, text + " do not have " + std::to_string(count) + " entries");
  }
  std::vector<std::uint64_t> values;
  for (const std::int64_t value : given) {
    if (value < minimum || value > max_attribute_value) {
      return node_error(node, text + " hold " + std::to_string(value) + "; entries must lie in [" +
                                  std::to_string(minimum) + ", " +
                                  std::to_string(max_attribute_value) + "]");
    }
    values.push_back(static_cast<std::uint64_t>(value));
  }
  return values;
}

/// The windows of every spatial axis of an input of `shape`, from the node's attributes.
Result<std::vector<AxisWindows>> pool_windows(const Node& node,
                                              const std::vector<std::uint64_t>& shape) {
  const std::size_t spatial = shape.size() - 2;
  const std::vector<std::uint64_t> ones(spatial, 1);
  // ONNX's checker makes sure that kernel_shape is given.
  ORVIK_TRY(kernel, attribute_list(node, "kernel_shape", spatial, 1, std::nullopt));
  ORVIK_TRY(strides, attribute_list(node, "strides", spatial, 1, ones));
  ORVIK_TRY(dilations, attribute_list(node, "dilations", spatial, 1, ones));
  ORVIK_TRY(pads, attribute_list(node, "pads", 2 * spatial, 0,
                                 std::vector<std::uint64_t>(2 * spatial, 0)));
  ORVIK_TRY(auto_pad, string_attribute(node, "auto_pad", "NOTSET"));
  const bool same = auto_pad == "SAME_UPPER" || auto_pad == "SAME_LOWER";
  if (!same && auto_pad != "NOTSET" && auto_pad != "VALID") {
    return node_error(node, "auto_pad \"" + auto_pad + "\" is not supported");
  }
  if (auto_pad != "NOTSET" &&
      std::any_of(pads.begin(), pads.end(), [](auto pad) { return pad != 0; })) {
    return node_error(node, "pads are given with auto_pad \"" + auto_pad + "\"");
  }
  ORVIK_TRY(ceil_mode, int_attribute(node, "ceil_mode", 0));

  std::vector<AxisWindows> windows;
  std::uint64_t slices = 0;
  for (std::size_t i = 0; i < spatial; ++i) {
    AxisWindows axis{shape[i + 2], kernel[i],         strides[i], dilations[i],
                     pads[i],      pads[i + spatial], 0};
    const std::string where = " along axis " + std::to_string(i + 2);
    if (same) {
      axis.outputs = (axis.extent + axis.stride - 1) / axis.stride;
      const std::uint64_t reach = (axis.outputs - 1) * axis.stride + axis.span();
      const std::uint64_t total = reach > axis.extent ? reach - axis.extent : 0;
      axis.pad_begin = auto_pad == "SAME_UPPER" ? total / 2 : total - total / 2;
      axis.pad_end = total - axis.pad_begin;
    } else {
      const std::uint64_t padded = axis.extent + axis.pad_begin + axis.pad_end;
      if (padded < axis.span()) {
        return node_error(node, "the window of " + std::to_string(axis.span()) + where +
                                    " is longer than the padded extent " + std::to_string(padded));
      }
      const std::uint64_t room = padded - axis.span();
      axis.outputs = room / axis.stride + 1;
      // ONNX's versions differ on whether a last window starting in the end padding exists; the
      // check below refuses it rather than choose.
      if (ceil_mode != 0 && room % axis.stride != 0) {
        ++axis.outputs;
      }
    }
    for (std::uint64_t j = 0; j < axis.outputs; ++j) {
      if (axis.taps_within(j, axis.pad_begin, axis.pad_begin + axis.extent) == 0) {
        return node_error(node, "the window of output " + std::to_string(j) + where +
                                    " holds only padding");
      }
    }
    if (!axis.unchanged()) {
      slices += axis.kernel;
    }
    windows.push_back(axis);
  }
  if (slices > max_slices) {
    std::vector<std::int64_t> requested;
    for (const std::uint64_t extent : kernel) {
      requested.push_back(static_cast<std::int64_t>(extent));
    }
    return node_error(node, "kernel_shape " + ints_text(requested) + " needs " +
                                std::to_string(slices) + " slices; at most " +
                                std::to_string(max_slices) + " are supported");
  }
  return windows;
}

/// The float input X of a pooling node, of rank 3 or more.
Result<TensorId> pooled_input(Conversion& conversion, const Node& node) {
  ORVIK_TRY(x, input_tensor(conversion, node, 0));
  const std::vector<std::uint64_t>& shape = conversion.graph().tensors[x.index].shape;
  if (shape.size() < 3) {
    return node_error(node, "X \"" + conversion.graph().tensors[x.index].name + "\" " +
                                shape_text(shape) + " has rank " + std::to_string(shape.size()) +
                                "; pooling needs [N, C, D1, ...]");
  }
  return x;
}

/// `padded` pooled along `axis`: each tap of the windows a strided Slice, combined by Maximum or
/// Add in tap order, the last operation named `name`.
Result<TensorId> pooled_along(Conversion& conversion, const Node& node, TensorId padded,
                              std::uint64_t axis, const AxisWindows& windows, Pooling pooling,
                              const std::string& name) {
  Graph& graph = conversion.graph();
  const std::string base = output_name(node, 0) + "/axis_" + std::to_string(axis);
  const std::uint64_t length = (windows.outputs - 1) * windows.stride + 1;
  std::optional<TensorId> combined;
  for (std::uint64_t tap = 0; tap < windows.kernel; ++tap) {
    const bool last = tap + 1 == windows.kernel;
    const std::uint64_t start = tap * windows.dilation;
    ORVIK_TRY(slice,
              built(conversion, node,
                    graph.slice(last && !combined ? name : fresh_name(conversion, base + "_tap"),
                                padded, axis, start, start + length, windows.stride)));
    if (!combined) {
      combined = slice;
      continue;
    }
    const std::string step = last ? name : fresh_name(conversion, base + "_pooled");
    ORVIK_TRY(next, built(conversion, node,
                          pooling == Pooling::Max ? graph.maximum(step, *combined, slice)
                                                  : graph.add(step, *combined, slice)));
    combined = next;
  }
  return *combined;
}

/// The divisor of every output of an average: the product over the axes of its window's taps
/// in the input, or, with `count_include_pad`, in the input and its explicit padding.
std::vector<float> tap_counts(const std::vector<AxisWindows>& windows, bool count_include_pad) {
  std::vector<float> counts{1.0F};
  for (const AxisWindows& axis : windows) {
    const std::uint64_t low = count_include_pad ? 0 : axis.pad_begin;
    const std::uint64_t high =
        axis.pad_begin + axis.extent + (count_include_pad ? axis.pad_end : 0);
    std::vector<float> next;
    next.reserve(counts.size() * axis.outputs);
    for (const float count : counts) {
      for (std::uint64_t j = 0; j < axis.outputs; ++j) {
        next.push_back(count * static_cast<float>(axis.taps_within(j, low, high)));
      }
    }
    counts = std::move(next);
  }
  return counts;
}

/// MaxPool or AveragePool: the attributes a version does not define are absent (ONNX's checker
/// refuses them), and their defaults give that version's meaning, so one converter serves all.
template <Pooling pooling>
Result<void> convert_pool(Conversion& conversion, const Node& node) {
  if (pooling == Pooling::Max) {
    const std::string indices = output_name(node, 1);
    if (!indices.empty() && conversion.readers[indices] > 0) {
      return node_error(node, "its Indices output \"" + indices +
                                  "\" is used; only the pooled output is supported");
    }
  }
  ORVIK_TRY(x, pooled_input(conversion, node));
  Graph& graph = conversion.graph();
  const std::vector<std::uint64_t> shape = graph.tensors[x.index].shape;
  ORVIK_TRY(windows, pool_windows(node, shape));
  ORVIK_TRY(count_include_pad, int_attribute(node, "count_include_pad", 0));
  const std::string output = output_name(node, 0);
  std::vector<std::size_t> pooled_axes;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (!windows[i].unchanged()) {
      pooled_axes.push_back(i);
    }
  }
  if (pooled_axes.empty()) {
    return defined(conversion, node,
                   reshaped(conversion, node, tensor_value(conversion, x), shape, output));
  }
  const std::vector<float> counts = tap_counts(windows, count_include_pad != 0);
  const bool divided = pooling == Pooling::Average &&
                       std::any_of(counts.begin(), counts.end(), [](float c) { return c != 1.0F; });
  const float fill = pooling == Pooling::Max ? -std::numeric_limits<float>::infinity() : 0.0F;
  TensorId result = x;
  for (const std::size_t i : pooled_axes) {
    const AxisWindows& axis = windows[i];
    const std::uint64_t reach = (axis.outputs - 1) * axis.stride + axis.span();
    const std::uint64_t after =
        reach > axis.pad_begin + axis.extent ? reach - axis.pad_begin - axis.extent : 0;
    ORVIK_TRY(padded, constant_padded(conversion, node, result, i + 2, axis.pad_begin, after, fill,
                                      fresh_name(conversion, output + "/padded")));
    const bool last = i == pooled_axes.back() && !divided;
    ORVIK_TRY(pooled, pooled_along(conversion, node, padded, i + 2, axis, pooling,
                                   last ? output : fresh_name(conversion, output + "/pooled")));
    result = pooled;
  }
  if (!divided) {
    return defined(conversion, node, result);
  }
  std::vector<std::uint64_t> count_shape{1, 1};
  for (const AxisWindows& axis : windows) {
    count_shape.push_back(axis.outputs);
  }
  const std::vector<std::uint64_t> output_shape = graph.tensors[result.index].shape;
  ORVIK_TRY(divisor, broadcast_to(conversion, node,
                                  new_constant(conversion, output + "/counts", count_shape, counts),
                                  output_shape, fresh_name(conversion, output + "/counts")));
  return defined(conversion, node, built(conversion, node, graph.div(output, result, divisor)));
}

/// A global pooling: the spatial axes flattened into one, reduced by `reduce`, and the result
/// given its spatial axes back with extent 1.
template <Result<TensorId> (Graph::*reduce)(std::string, TensorId, std::uint64_t)>
Result<void> convert_global_pool(Conversion& conversion, const Node& node) {
  ORVIK_TRY(x, pooled_input(conversion, node));
  Graph& graph = conversion.graph();
  const std::vector<std::uint64_t> shape = graph.tensors[x.index].shape;
  const std::string output = output_name(node, 0);
  const std::uint64_t spatial =
      std::accumulate(shape.begin() + 2, shape.end(), std::uint64_t{1}, std::multiplies<>());
  ORVIK_TRY(flat,
            reshaped(conversion, node, tensor_value(conversion, x), {shape[0], shape[1], spatial},
                     fresh_name(conversion, output + "/flat")));
  ORVIK_TRY(flat_tensor, tensor_of(conversion, node, flat));
  const bool reshaped_after = shape.size() > 3;
  ORVIK_TRY(
      reduced,
      built(conversion, node,
            (graph.*reduce)(reshaped_after ? fresh_name(conversion, output + "/reduced") : output,
                            flat_tensor, 2)));
  std::vector<std::uint64_t> pooled_shape(shape.size(), 1);
  pooled_shape[0] = shape[0];
  pooled_shape[1] = shape[1];
  return defined(conversion, node,
                 reshaped(conversion, node, tensor_value(conversion, reduced),
                          std::move(pooled_shape), output));
}

} // namespace

Result<void> convert_max_pool(Conversion& conversion, const Node& node) {
  return convert_pool<Pooling::Max>(conversion, node);
}

Result<void> convert_average_pool(Conversion& conversion, const Node& node) {
  return convert_pool<Pooling::Average>(conversion, node);
}

Result<void> convert_global_max_pool(Conversion& conversion, const Node& node) {
  return convert_global_pool<&Graph::reduce_max>(conversion, node);
}

Result<void> convert_global_average_pool(Conversion& conversion, const Node& node) {
  return convert_global_pool<&Graph::reduce_mean>(conversion, node);
}

} // namespace orvik_compiler::onnx_import
