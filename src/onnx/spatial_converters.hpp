#pragma once

// Converters of the operators that pad, repeat or rearrange a tensor's elements: Pad, Tile,
// DepthToSpace and SpaceToDepth, all data movement (slices, joins, broadcasts, reshapes and
// transposes); and the constant padding that pooling shares.

#include "conversion.hpp"

#include <cstdint>
#include <string>

namespace orvik_compiler::onnx_import {

/// `tensor` (float) extended along `axis` by `before` and `after` elements of `value`: a Concat
/// named `name` of Broadcasts of a one-element constant and the tensor, or the tensor itself
/// when both are 0.
Result<TensorId> constant_padded(Conversion& conversion, const Node& node, TensorId tensor,
                                 std::uint64_t axis, std::uint64_t before, std::uint64_t after,
                                 float value, const std::string& name);

/// `Pad` with `pads` and `value` attributes (opset 2), or `pads` and `constant_value` constant
/// inputs (opset 11): mode "constant" by Broadcasts of the value joined on, "edge" by Broadcasts
/// of the first and last slices, "reflect" by single-element slices in reverse order; negative
/// pads remove elements by a Slice in constant mode. Refused: other modes, negative pads in edge
/// or reflect mode, reflections of more than the extent less one, constant mode on integers,
/// more than 1024 reflected slices.
Result<void> convert_pad_v2(Conversion& conversion, const Node& node);
Result<void> convert_pad_v11(Conversion& conversion, const Node& node);

/// `Tile` by constant `repeats` (opset 6): a Reshape inserting an axis of extent 1 before each
/// repeated one, a Broadcast of it to the repeats, and a Reshape joining each pair. Either type.
/// Refused: repeats that are not constants, of another count than the rank, or below 1.
Result<void> convert_tile(Conversion& conversion, const Node& node);

/// `DepthToSpace` of [N, C, H, W] by `blocksize` b in `mode` DCR (the only one before opset 11,
/// the default after) or CRD: a Reshape to 6 axes, a Transpose and a Reshape to
/// [N, C/b², H·b, W·b]. Refused: C not a multiple of b², other ranks and modes.
Result<void> convert_depth_to_space(Conversion& conversion, const Node& node);

/// `SpaceToDepth` of [N, C, H, W] by `blocksize` b: a Reshape to [N, C, H/b, b, W/b, b], a
/// Transpose and a Reshape to [N, C·b², H/b, W/b]. Refused: H or W not multiples of b.
Result<void> convert_space_to_depth(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
