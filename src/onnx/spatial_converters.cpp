// Converters of the operators that pad, repeat or rearrange a tensor's elements.

#include "spatial_converters.hpp"

#include "attributes.hpp"
#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include <orvik_compiler/debug_text.hpp>

#include <algorithm>
#include <utility>

namespace orvik_compiler::onnx_import {
namespace {

/// The most single-element slices one Pad builds for its reflections.
constexpr std::uint64_t max_reflected_slices = 1024;

/// A graph tensor as a value of the ONNX data type `data_type`.
Value typed_value(const Conversion& conversion, TensorId tensor, std::int32_t data_type) {
  Value value = tensor_value(conversion, tensor);
  value.data_type = data_type;
  return value;
}

/// Defines the node's output as `tensor` of `input`'s data type.
Result<void> define_like(Conversion& conversion, const Node& node, const Value& input,
                         const Result<TensorId>& tensor) {
  if (!tensor) {
    return tensor.error();
  }
  define(conversion, node, 0, typed_value(conversion, *tensor, input.data_type));
  return {};
}

enum class PadMode { Constant, Edge, Reflect };

/// A Pad's request: per axis of the input, how many elements to add before and after (removed
/// when negative).
struct Padding {
  std::vector<std::int64_t> before;
  std::vector<std::int64_t> after;
  PadMode mode = PadMode::Constant;
  float value = 0.0F;
};

Result<PadMode> pad_mode(const Node& node) {
  ORVIK_TRY(mode, string_attribute(node, "mode", "constant"));
  if (mode == "constant") {
    return PadMode::Constant;
  }
  if (mode == "edge") {
    return PadMode::Edge;
  }
  if (mode == "reflect") {
    return PadMode::Reflect;
  }
  return node_error(node, "mode \"" + mode +
                              "\" is not supported; only constant, edge and "
                              "reflect are");
}

/// `pads` ([begins..., ends...], one of each per axis) as a Padding of an input of `rank`.
Result<Padding> spread_pads(const Node& node, const std::vector<std::int64_t>& pads,
                            std::uint64_t rank) {
  if (pads.size() != 2 * rank) {
    return node_error(node, "pads " + ints_text(pads) + " do not have " + std::to_string(2 * rank) +
                                " entries");
  }
  const auto middle = pads.begin() + static_cast<std::ptrdiff_t>(rank);
  return Padding{{pads.begin(), middle}, {middle, pads.end()}};
}

/// `tensor` with its edge elements along `axis` repeated `before` and `after` times, the Concat
/// named `name`.
Result<TensorId> edge_padded(Conversion& conversion, const Node& node, TensorId tensor,
                             std::uint64_t axis, std::uint64_t before, std::uint64_t after,
                             const std::string& name) {
  Graph& graph = conversion.graph();
  const std::vector<std::uint64_t> shape = graph.tensors[tensor.index].shape;
  // The element at `at` repeated `count` times.
  const auto repeated = [&](std::uint64_t at, std::uint64_t count) -> Result<TensorId> {
    ORVIK_TRY(edge,
              built(conversion, node,
                    graph.slice(fresh_name(conversion, name + "/edge"), tensor, axis, at, at + 1)));
    std::vector<std::uint64_t> slab = shape;
    slab[axis] = count;
    return broadcast_to(conversion, node, tensor_value(conversion, edge), std::move(slab),
                        fresh_name(conversion, name + "/edge_repeated"));
  };
  std::vector<TensorId> parts;
  if (before != 0) {
    ORVIK_TRY(first, repeated(0, before));
    parts.push_back(first);
  }
  parts.push_back(tensor);
  if (after != 0) {
    ORVIK_TRY(last, repeated(shape[axis] - 1, after));
    parts.push_back(last);
  }
  return built(conversion, node, graph.concat(name, std::move(parts), axis));
}

/// `tensor` with `before` elements along `axis` mirrored about its first element and `after`
/// about its last, each a single-element Slice, the Concat named `name`.
Result<TensorId> reflect_padded(Conversion& conversion, const Node& node, TensorId tensor,
                                std::uint64_t axis, std::uint64_t before, std::uint64_t after,
                                const std::string& name) {
  Graph& graph = conversion.graph();
  const std::uint64_t extent = graph.tensors[tensor.index].shape[axis];
  const auto element = [&](std::uint64_t at) {
    return built(conversion, node,
                 graph.slice(fresh_name(conversion, name + "/mirrored"), tensor, axis, at, at + 1));
  };
  std::vector<TensorId> parts;
  for (std::uint64_t at = before; at >= 1; --at) {
    ORVIK_TRY(mirrored, element(at));
    parts.push_back(mirrored);
  }
  parts.push_back(tensor);
  for (std::uint64_t i = 1; i <= after; ++i) {
    ORVIK_TRY(mirrored, element(extent - 1 - i));
    parts.push_back(mirrored);
  }
  return built(conversion, node, graph.concat(name, std::move(parts), axis));
}

/// The input padded as `padding` says, one axis at a time, the last step named after the output.
Result<void> convert_padding(Conversion& conversion, const Node& node, const Value& input,
                             const Padding& padding) {
  const std::string output = output_name(node, 0);
  const std::uint64_t rank = input.shape.size();
  std::vector<std::uint64_t> changed;
  std::uint64_t reflected = 0;
  for (std::uint64_t axis = 0; axis < rank; ++axis) {
    const std::int64_t before = padding.before[axis];
    const std::int64_t after = padding.after[axis];
    const auto extent = static_cast<std::int64_t>(input.shape[axis]);
    const std::string where =
        " on axis " + std::to_string(axis) + " of extent " + std::to_string(extent);
    if (padding.mode != PadMode::Constant && (before < 0 || after < 0)) {
      return node_error(node, "negative pads" + where + " are only supported in constant mode");
    }
    if (before + after <= -extent) {
      return node_error(node, "pads " + std::to_string(before) + " and " + std::to_string(after) +
                                  where + " leave no element; the graph has no empty tensors");
    }
    if (padding.mode == PadMode::Reflect && (before >= extent || after >= extent)) {
      return node_error(node, "reflect pads " + std::to_string(before) + " and " +
                                  std::to_string(after) + where + " are not supported; at most " +
                                  std::to_string(extent - 1) + " are");
    }
    if (padding.mode == PadMode::Reflect) {
      reflected += static_cast<std::uint64_t>(before + after);
    }
    if (before != 0 || after != 0) {
      changed.push_back(axis);
    }
  }
  if (reflected > max_reflected_slices) {
    return node_error(node, "the reflections need " + std::to_string(reflected) +
                                " slices; at most " + std::to_string(max_reflected_slices) +
                                " are supported");
  }
  if (changed.empty()) {
    return defined(conversion, node, reshaped(conversion, node, input, input.shape, output));
  }
  TensorId result{};
  if (padding.mode == PadMode::Constant) {
    ORVIK_TRY(tensor, tensor_of(conversion, node, input));
    result = tensor;
  } else {
    ORVIK_TRY(tensor, any_tensor(conversion, node, input));
    result = tensor;
  }
  Graph& graph = conversion.graph();
  for (const std::uint64_t axis : changed) {
    const std::string name =
        axis == changed.back() ? output : fresh_name(conversion, output + "/padded");
    const std::int64_t before = padding.before[axis];
    const std::int64_t after = padding.after[axis];
    const auto added = [](std::int64_t pad) {
      return static_cast<std::uint64_t>(std::max<std::int64_t>(pad, 0));
    };
    if (before < 0 || after < 0) {
      const std::uint64_t extent = input.shape[axis];
      const bool only_removed = before <= 0 && after <= 0;
      ORVIK_TRY(
          cropped,
          built(conversion, node,
                graph.slice(only_removed ? name : fresh_name(conversion, output + "/cropped"),
                            result, axis, before < 0 ? static_cast<std::uint64_t>(-before) : 0,
                            after < 0 ? extent - static_cast<std::uint64_t>(-after) : extent)));
      result = cropped;
      if (only_removed) {
        continue;
      }
    }
    Result<TensorId> next =
        padding.mode == PadMode::Constant
            ? constant_padded(conversion, node, result, axis, added(before), added(after),
                              padding.value, name)
        : padding.mode == PadMode::Edge
            ? edge_padded(conversion, node, result, axis, added(before), added(after), name)
            : reflect_padded(conversion, node, result, axis, added(before), added(after), name);
    if (!next) {
      return next.error();
    }
    result = *next;
  }
  return define_like(conversion, node, input, result);
}

/// The `constant_value` input of a Pad from opset 11: a float constant of one element, 0 when
/// absent.
Result<float> pad_value_input(Conversion& conversion, const Node& node) {
  if (!has_input(node, 2)) {
    return 0.0F;
  }
  ORVIK_TRY(value, input_value(conversion, node, 2));
  if (value.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, value);
  }
  if (!value.constant) {
    return node_error(node, "constant_value \"" + value.name + "\" is not a constant");
  }
  const std::span<const float> values = floats_in(conversion.data[*value.constant].float_bytes);
  if (values.size() != 1) {
    return node_error(node, "constant_value \"" + value.name + "\" " + shape_text(value.shape) +
                                " is not one value");
  }
  return values[0];
}

/// The blocksize attribute of DepthToSpace and SpaceToDepth, which ONNX's checker makes sure is
/// given, and which must be positive.
Result<std::uint64_t> block_size(const Node& node) {
  ORVIK_TRY(size, int_attribute(node, "blocksize", 0));
  if (size < 1) {
    return node_error(node, "blocksize " + std::to_string(size) + " is below 1");
  }
  return static_cast<std::uint64_t>(size);
}

/// The [N, C, H, W] input of DepthToSpace and SpaceToDepth, of either type.
Result<Value> image_input(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  if (input.shape.size() != 4) {
    return node_error(node, "input \"" + input.name + "\" " + shape_text(input.shape) +
                                " is not [N, C, H, W]");
  }
  return input;
}

/// The input reshaped to `split`, transposed by `permutation`, and reshaped to `result` under the
/// output's name.
Result<void> rearranged(Conversion& conversion, const Node& node, const Value& input,
                        std::vector<std::uint64_t> split, std::vector<std::uint64_t> permutation,
                        std::vector<std::uint64_t> result) {
  const std::string output = output_name(node, 0);
  ORVIK_TRY(blocks, reshaped(conversion, node, input, std::move(split),
                             fresh_name(conversion, output + "/blocks")));
  ORVIK_TRY(blocks_tensor, any_tensor(conversion, node, blocks));
  ORVIK_TRY(moved, built(conversion, node,
                         conversion.graph().transpose(fresh_name(conversion, output + "/moved"),
                                                      blocks_tensor, std::move(permutation))));
  return defined(conversion, node,
                 reshaped(conversion, node, typed_value(conversion, moved, input.data_type),
                          std::move(result), output));
}

} // namespace

Result<TensorId> constant_padded(Conversion& conversion, const Node& node, TensorId tensor,
                                 std::uint64_t axis, std::uint64_t before, std::uint64_t after,
                                 float value, const std::string& name) {
  if (before == 0 && after == 0) {
    return tensor;
  }
  Graph& graph = conversion.graph();
  const std::vector<std::uint64_t> shape = graph.tensors[tensor.index].shape;
  const Value fill = new_constant(conversion, name + "/fill",
                                  std::vector<std::uint64_t>(shape.size(), 1), {value});
  // `count` copies of the value.
  const auto slab = [&](std::uint64_t count) {
    std::vector<std::uint64_t> slab_shape = shape;
    slab_shape[axis] = count;
    return broadcast_to(conversion, node, fill, std::move(slab_shape),
                        fresh_name(conversion, name + "/slab"));
  };
  std::vector<TensorId> parts;
  if (before != 0) {
    ORVIK_TRY(first, slab(before));
    parts.push_back(first);
  }
  parts.push_back(tensor);
  if (after != 0) {
    ORVIK_TRY(last, slab(after));
    parts.push_back(last);
  }
  return built(conversion, node, graph.concat(name, std::move(parts), axis));
}

Result<void> convert_pad_v2(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  ORVIK_TRY(mode, pad_mode(node));
  // ONNX's checker makes sure that pads are given.
  ORVIK_TRY(pads, ints_attribute(node, "pads"));
  ORVIK_TRY(padding,
            spread_pads(node, pads.value_or(std::vector<std::int64_t>{}), input.shape.size()));
  padding.mode = mode;
  ORVIK_TRY(value, float_attribute(node, "value", 0.0F));
  padding.value = value;
  return convert_padding(conversion, node, input, padding);
}

Result<void> convert_pad_v11(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  ORVIK_TRY(mode, pad_mode(node));
  ORVIK_TRY(pads, input_integers(conversion, node, 1, "pads"));
  ORVIK_TRY(padding, spread_pads(node, pads, input.shape.size()));
  padding.mode = mode;
  ORVIK_TRY(value, pad_value_input(conversion, node));
  padding.value = value;
  return convert_padding(conversion, node, input, padding);
}

Result<void> convert_tile(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  ORVIK_TRY(repeats, input_integers(conversion, node, 1, "repeats"));
  const std::uint64_t rank = input.shape.size();
  if (repeats.size() != rank) {
    return node_error(node, "repeats " + ints_text(repeats) + " do not have " +
                                std::to_string(rank) + " entries, one per axis");
  }
  const std::string output = output_name(node, 0);
  std::vector<std::uint64_t> split;
  std::vector<std::uint64_t> repeated;
  std::vector<std::uint64_t> tiled;
  for (std::uint64_t axis = 0; axis < rank; ++axis) {
    if (repeats[axis] < 1) {
      return node_error(node, "repeats " + ints_text(repeats) + " hold " +
                                  std::to_string(repeats[axis]) +
                                  "; the graph has no empty tensors");
    }
    const auto times = static_cast<std::uint64_t>(repeats[axis]);
    if (times > 1) {
      split.push_back(1);
      repeated.push_back(times);
    }
    split.push_back(input.shape[axis]);
    repeated.push_back(input.shape[axis]);
    tiled.push_back(times * input.shape[axis]);
  }
  if (split.size() == rank) {
    return defined(conversion, node, reshaped(conversion, node, input, input.shape, output));
  }
  if (!element_count(repeated)) {
    return node_error(node,
                      "the result of repeats " + ints_text(repeats) + " has too many elements");
  }
  ORVIK_TRY(gapped, reshaped(conversion, node, input, std::move(split),
                             fresh_name(conversion, output + "/gapped")));
  ORVIK_TRY(copies, broadcast_to(conversion, node, gapped, std::move(repeated),
                                 fresh_name(conversion, output + "/copies")));
  return defined(conversion, node,
                 reshaped(conversion, node, typed_value(conversion, copies, input.data_type),
                          std::move(tiled), output));
}

Result<void> convert_depth_to_space(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, image_input(conversion, node));
  ORVIK_TRY(block, block_size(node));
  ORVIK_TRY(mode, string_attribute(node, "mode", "DCR"));
  if (mode != "DCR" && mode != "CRD") {
    return node_error(node, "mode \"" + mode + "\" is not supported; only DCR and CRD are");
  }
  const std::uint64_t n = input.shape[0], c = input.shape[1], h = input.shape[2],
                      w = input.shape[3];
  if (c / block < block || c % (block * block) != 0) {
    return node_error(node, "the channels " + std::to_string(c) + " are not a multiple of " +
                                std::to_string(block * block) + ", blocksize " +
                                std::to_string(block) + " squared");
  }
  const std::uint64_t depth = c / (block * block);
  // DCR: the channel's block position outermost; CRD: its channel outermost.
  if (mode == "CRD") {
    return rearranged(conversion, node, input, {n, depth, block, block, h, w}, {0, 1, 4, 2, 5, 3},
                      {n, depth, h * block, w * block});
  }
  return rearranged(conversion, node, input, {n, block, block, depth, h, w}, {0, 3, 4, 1, 5, 2},
                    {n, depth, h * block, w * block});
}

Result<void> convert_space_to_depth(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, image_input(conversion, node));
  ORVIK_TRY(block, block_size(node));
  const std::uint64_t n = input.shape[0], c = input.shape[1], h = input.shape[2],
                      w = input.shape[3];
  if (h % block != 0 || w % block != 0) {
    return node_error(node, "input \"" + input.name + "\" " + shape_text(input.shape) +
                                ": H and W are not multiples of blocksize " +
                                std::to_string(block));
  }
  return rearranged(conversion, node, input, {n, c, h / block, block, w / block, block},
                    {0, 3, 5, 1, 2, 4}, {n, c * block * block, h / block, w / block});
}

} // namespace orvik_compiler::onnx_import
