#pragma once

// The converters of element-wise operators: functions of one tensor, operations of two or more
// whose shapes broadcast.

#include "conversion.hpp"

namespace orvik_compiler::onnx_import {

/// Functions of one float tensor: `Erf`, `Tanh`, `Exp`, `Log`, `Sqrt`, `Reciprocal`, `Neg`,
/// `Abs`, `Relu`, `Sigmoid`, each the graph's operation of that name.
Result<void> convert_erf(Conversion& conversion, const Node& node);
Result<void> convert_tanh(Conversion& conversion, const Node& node);
Result<void> convert_exp(Conversion& conversion, const Node& node);
Result<void> convert_log(Conversion& conversion, const Node& node);
Result<void> convert_sqrt(Conversion& conversion, const Node& node);
Result<void> convert_reciprocal(Conversion& conversion, const Node& node);
Result<void> convert_neg(Conversion& conversion, const Node& node);
Result<void> convert_abs(Conversion& conversion, const Node& node);
Result<void> convert_relu(Conversion& conversion, const Node& node);
Result<void> convert_sigmoid(Conversion& conversion, const Node& node);

/// `Add`, `Sub`, `Mul`, `Div` of two float operands whose shapes broadcast.
Result<void> convert_add(Conversion& conversion, const Node& node);
Result<void> convert_sub(Conversion& conversion, const Node& node);
Result<void> convert_mul(Conversion& conversion, const Node& node);
Result<void> convert_div(Conversion& conversion, const Node& node);
/// `Pow` of a float base; the exponent float, or an int64 constant taken as floats.
Result<void> convert_pow(Conversion& conversion, const Node& node);
/// `Max` and `Min` of one or more float operands, folded pairwise from the left.
Result<void> convert_max(Conversion& conversion, const Node& node);
Result<void> convert_min(Conversion& conversion, const Node& node);

/// `Sum` of one or more float operands, folded pairwise from the left like `Max`; `Mean` that
/// sum divided by the number of operands.
Result<void> convert_sum(Conversion& conversion, const Node& node);
Result<void> convert_mean(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
