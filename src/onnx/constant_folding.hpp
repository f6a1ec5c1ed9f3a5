#pragma once

// Nodes evaluated at import: once `--dim` has fixed the symbolic dimensions every shape is
// known, so the shape arithmetic exporters write (Shape, Gather, Concat, Range, Where, masks
// made by Trilu, ...) reduces to constants and leaves no operation in the graph.

#include "conversion.hpp"

namespace orvik_compiler::onnx_import {

/// Evaluates the node at import when its operator is one the folder knows and its inputs are
/// all constants of FLOAT, INT32, INT64 or BOOL (for `Shape`, any value: its shape is known),
/// defining its outputs as constants. Whether it did; an error when the node is malformed or
/// its results would pass the expansion limit. Float arithmetic rounds each step to float32 as
/// the graph's kernels do; integer arithmetic wraps, and integer `Div` truncates toward zero.
Result<bool> fold_constant_node(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
