#pragma once

// Converters of the convolutions: Conv whose stride equals its kernel, the patch embedding of
// vision transformers, as a reshape of the patches into rows and one matrix product.

#include "conversion.hpp"

namespace orvik_compiler::onnx_import {

/// `Conv` of an [N, C, H, W] input by a constant [M, C, kh, kw] weight and an optional [M] bias,
/// with strides equal to the kernel, no padding, dilations 1 and one group, H and W multiples of
/// kh and kw: each patch becomes a row of C*kh*kw values in (c, i, j) order, multiplied by the
/// weight transposed at import to [C*kh*kw, M]. Every other form is refused, naming the
/// attribute or input and its value.
Result<void> convert_conv(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
