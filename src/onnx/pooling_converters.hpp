#pragma once

// Converters of the pooling operators. MaxPool and AveragePool pool one spatial axis at a time
// (a window's maximum or sum is the maximum or sum along each axis in turn): the axis is padded
// by a Concat with Broadcasts of -inf or 0, each tap of the window is a strided Slice, and the
// taps are combined by Maximum or Add; an average is then divided by the count of each window's
// taps. GlobalMaxPool and GlobalAveragePool are one reduction over the spatial axes.

#include "conversion.hpp"

namespace orvik_compiler::onnx_import {

/// `MaxPool` and `AveragePool` of an [N, C, D1, ...] float input by `kernel_shape`, `strides`,
/// `dilations`, `pads` or `auto_pad` (NOTSET, VALID, SAME_UPPER, SAME_LOWER), `ceil_mode` and
/// `count_include_pad`, each as the versions that define it say. Refused: MaxPool's `Indices`
/// output when read, a window longer than its padded axis or holding only padding (pads as
/// long as a window, or a `ceil_mode` window starting in the end padding), kernels needing more
/// than 1024 slices in all.
Result<void> convert_max_pool(Conversion& conversion, const Node& node);
Result<void> convert_average_pool(Conversion& conversion, const Node& node);

/// `GlobalMaxPool` and `GlobalAveragePool` of an [N, C, D1, ...] float input: a ReduceMax or
/// ReduceMean over the spatial axes flattened into one, the result [N, C, 1, ...].
Result<void> convert_global_max_pool(Conversion& conversion, const Node& node);
Result<void> convert_global_average_pool(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
