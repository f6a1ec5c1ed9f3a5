#pragma once

// The converters of reductions along axes and of the normalisations built on per-channel or
// per-axis statistics. Every reduction is one graph reduction per reduced axis, in increasing
// order and keeping the axis with extent 1, with the element-wise steps its definition adds
// around them; without `keepdims` a Reshape then removes the reduced axes.

#include "conversion.hpp"

namespace orvik_compiler::onnx_import {

/// Reductions whose axes are an attribute (all axes when it is missing or empty) and that keep
/// the reduced axes unless `keepdims` is 0: `ReduceMean`, `ReduceMax`, `ReduceSum` (before opset
/// 13), `ReduceMin` (the negated maximum of the negated input, which is exact), `ReduceL1`,
/// `ReduceL2`, `ReduceSumSquare`, `ReduceLogSum`, `ReduceLogSumExp` (the maximum added back to the
/// log of the sum of the exponentials of the input less that maximum, so that large values do not
/// overflow) and `ReduceProd` (the slices of each reduced axis multiplied first to last, at most
/// `max_product_factors` of them per axis).
Result<void> convert_reduce_mean(Conversion& conversion, const Node& node);
Result<void> convert_reduce_max(Conversion& conversion, const Node& node);
Result<void> convert_reduce_sum_v1(Conversion& conversion, const Node& node);
Result<void> convert_reduce_min(Conversion& conversion, const Node& node);
Result<void> convert_reduce_l1(Conversion& conversion, const Node& node);
Result<void> convert_reduce_l2(Conversion& conversion, const Node& node);
Result<void> convert_reduce_sum_square(Conversion& conversion, const Node& node);
Result<void> convert_reduce_log_sum(Conversion& conversion, const Node& node);
Result<void> convert_reduce_log_sum_exp(Conversion& conversion, const Node& node);
Result<void> convert_reduce_prod(Conversion& conversion, const Node& node);
/// `ReduceSum` from opset 13: its axes an optional constant input, and with
/// `noop_with_empty_axes` and no axes the input itself.
Result<void> convert_reduce_sum_v13(Conversion& conversion, const Node& node);

/// The most slices of one axis `ReduceProd` multiplies, so that a long axis cannot make the graph
/// grow without bound.
inline constexpr std::uint64_t max_product_factors = 256;

/// `BatchNormalization` in inference form: (X - mean) / sqrt(var + epsilon) * scale + B, the
/// four per-channel operands (constants or tensors of shape [C]) reshaped to [C, 1, ...] to
/// broadcast along axis 1. Refused: training (`is_test` 0 at opset 6, `training_mode` 1 from
/// opset 14), `spatial` 0 before opset 9, reading any output but the first.
Result<void> convert_batch_normalization_v6(Conversion& conversion, const Node& node);
Result<void> convert_batch_normalization_v7(Conversion& conversion, const Node& node);
Result<void> convert_batch_normalization_v9(Conversion& conversion, const Node& node);
Result<void> convert_batch_normalization_v14(Conversion& conversion, const Node& node);
/// `InstanceNormalization`: a LayerNorm of each instance's channel over the axes from 2 on, then
/// the per-channel scale and B.
Result<void> convert_instance_normalization(Conversion& conversion, const Node& node);
/// `MeanVarianceNormalization` over `axes` ([0, 2, 3] by default): (X - E[X]) /
/// (sqrt(E[X^2] - E[X]^2) + 1e-9), the statistics by ReduceMean.
Result<void> convert_mean_variance_normalization(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
