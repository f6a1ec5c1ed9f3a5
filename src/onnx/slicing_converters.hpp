#pragma once

// Converters of the operators that pick, join, repeat or retype elements: Slice, Split, Concat,
// Gather, Where, Expand and Cast.

#include "conversion.hpp"

namespace orvik_compiler::onnx_import {

/// `Slice` with constant starts, ends, axes and steps (inputs): one Slice per axis that
/// changes, bounds clamped as ONNX clamps them. Refused: a step below 1, an empty result.
Result<void> convert_slice(Conversion& conversion, const Node& node);

/// `Split` into the parts the `split` attribute gives (before opset 13), or equal parts.
Result<void> convert_split_v11(Conversion& conversion, const Node& node);
/// `Split` into the parts the `split` input gives (from opset 13), or equal parts.
Result<void> convert_split_v13(Conversion& conversion, const Node& node);

/// `Concat` of tensors of one element type, constants becoming weights, along a possibly
/// negative axis.
Result<void> convert_concat(Conversion& conversion, const Node& node);

/// `Gather`: a table by integer indices. Indices from the graph (integer inputs, casts) become
/// one Gather; constant indices on a tensor become Slices of it, joined and reshaped.
Result<void> convert_gather(Conversion& conversion, const Node& node);

/// `Where` of a constant condition between float operands: the one operand broadcast when the
/// condition is all one way, otherwise a Gather of each element from both operands (broadcast
/// to the result's shape, flattened and joined) by constant I32 indices. Refused: a condition
/// computed by the graph.
Result<void> convert_where(Conversion& conversion, const Node& node);

/// `Expand` of a tensor to a constant shape, broadcast both ways as ONNX says.
Result<void> convert_expand(Conversion& conversion, const Node& node);

/// `Cast` between FLOAT and INT32/INT64: a Cast of a tensor, new values of a constant.
Result<void> convert_cast(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
