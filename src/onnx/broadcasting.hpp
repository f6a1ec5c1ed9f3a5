#pragma once

// Element-wise operations of two operands, a constant of either broadcast (by ONNX's rules) to
// the other's shape at import.

#include "conversion.hpp"

#include <string>

namespace orvik_compiler::onnx_import {

enum class Elementwise { Add, Mul };

/// `left` + `right` or `left` * `right` as one Add or Mul named `name`. Operands of equal shape
/// are used as they are; a constant operand whose shape broadcasts (by ONNX's rules) to the
/// other's is first expanded to that shape as a weight of its own. A broadcast that would need
/// the values of a non-constant tensor is refused.
Result<TensorId> elementwise(Conversion& conversion, const Node& node, Elementwise kind, Value left,
                             Value right, const std::string& name);

} // namespace orvik_compiler::onnx_import
