#pragma once

// Converters of the products: MatMul of operands of any rank.

#include "conversion.hpp"

namespace orvik_compiler::onnx_import {

/// `MatMul` by NumPy's rule: rank-2 operands give one MatMul; a rank-2 right operand is shared
/// by every batch of the left one without a copy; other batch axes broadcast first; a rank-1
/// operand is a row (left) or a column (right) whose axis the result drops.
Result<void> convert_matmul(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
