#pragma once

// The converters of activations and of the other functions the graph has no single operation
// for, each composed of exact element-wise operations, reductions and broadcasts in the order
// of its definition, so that it computes what the definition's formula computes in float32.

#include "conversion.hpp"

namespace orvik_compiler::onnx_import {

/// `Softmax` and `LogSoftmax`. Before opset 13 the input is seen as a matrix of the axes before
/// `axis` (1 by default) by the rest, so a Reshape to rows goes before and a Reshape back after
/// (unless the axes after `axis` all have extent 1); from opset 13 along `axis`, the last by
/// default. `LogSoftmax` is (x - m) - log(sum(exp(x - m))) with m the maximum along the axis.
Result<void> convert_softmax_v1(Conversion& conversion, const Node& node);
Result<void> convert_softmax_v13(Conversion& conversion, const Node& node);
Result<void> convert_log_softmax_v1(Conversion& conversion, const Node& node);
Result<void> convert_log_softmax_v13(Conversion& conversion, const Node& node);

/// `PRelu`, `LeakyRelu`: x where x >= 0, slope * x below, as relu(x) - slope * relu(-x), which
/// is exact. From opset 7 the slope broadcasts to the input; at opset 6 a slope of shape [C] is
/// one per channel (axis 1).
Result<void> convert_prelu_v6(Conversion& conversion, const Node& node);
Result<void> convert_prelu_v7(Conversion& conversion, const Node& node);
Result<void> convert_leaky_relu(Conversion& conversion, const Node& node);

/// `Elu`, `Selu`, `Celu`: relu(x) (times gamma for Selu) plus (exp(min(x, 0)) - 1) times alpha
/// (and gamma), min(x, 0) divided by alpha first for Celu; min(x, 0) is -relu(-x).
Result<void> convert_elu(Conversion& conversion, const Node& node);
Result<void> convert_selu(Conversion& conversion, const Node& node);
Result<void> convert_celu(Conversion& conversion, const Node& node);

/// `HardSigmoid`: relu(min(alpha * x + beta, 1)); `HardSwish`: x times that with alpha 1/6 and
/// beta 0.5; `Softplus`: log(exp(x) + 1); `Softsign`: x / (1 + |x|).
Result<void> convert_hard_sigmoid(Conversion& conversion, const Node& node);
Result<void> convert_hard_swish(Conversion& conversion, const Node& node);
Result<void> convert_softplus(Conversion& conversion, const Node& node);
Result<void> convert_softsign(Conversion& conversion, const Node& node);

/// `Clip`: Maximum with the lower bound, then Minimum with the upper one, each only when given:
/// attributes before opset 11, optional inputs (broadcast like any operand) from it.
Result<void> convert_clip_v6(Conversion& conversion, const Node& node);
Result<void> convert_clip_v11(Conversion& conversion, const Node& node);

/// `Shrink` with `bias` equal to `lambd` (soft shrinkage): relu(x - lambd) - relu(-x - lambd),
/// which is exact. Other biases, and a negative `lambd`, are refused.
Result<void> convert_shrink(Conversion& conversion, const Node& node);

/// `Dropout` at inference: the input itself. A mask output that is read is a constant of ones
/// (FLOAT before opset 10, BOOL from it). From opset 12 a `training_mode` input must be a
/// constant false; the ratio is not read.
Result<void> convert_dropout_v7(Conversion& conversion, const Node& node);
Result<void> convert_dropout_v10(Conversion& conversion, const Node& node);
Result<void> convert_dropout_v12(Conversion& conversion, const Node& node);

} // namespace orvik_compiler::onnx_import
