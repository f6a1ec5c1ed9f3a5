// The converters of activations composed of exact operations.

#include "activation_converters.hpp"

#include "attributes.hpp"
#include "broadcasting.hpp"
#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include "../kernels/kernels.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_compiler::onnx_import {
namespace {

using UnaryBuilder = Result<TensorId> (Graph::*)(std::string, TensorId);

/// The steps of one node's composition: each named after the node's output ("y/positive"), the
/// last under the output's own name.
struct Steps {
  Conversion& conversion;
  const Node& node;
  std::string output;

  std::string fresh(std::string_view step) const {
    return fresh_name(conversion, output + "/" + std::string(step));
  }
  template <UnaryBuilder build>
  Result<TensorId> unary(TensorId input, const std::string& name) const {
    return built(conversion, node, (conversion.graph().*build)(name, input));
  }
  /// The element-wise operation of two operands, broadcast as `elementwise` does.
  Result<TensorId> binary(Elementwise kind, const Value& left, const Value& right,
                          const std::string& name) const {
    return elementwise(conversion, node, kind, left, right, name);
  }
  Value tensor(TensorId id) const { return tensor_value(conversion, id); }
  /// A float constant of rank 0, which broadcasts to any operand.
  Value scalar(std::string_view what, float value) const {
    return new_constant(conversion, output + "/" + std::string(what), {},
                        std::vector<float>{value});
  }
};

Steps steps_of(Conversion& conversion, const Node& node) {
  return Steps{conversion, node, output_name(node, 0)};
}

/// Computes a function along `axis` of `input`, its result named `name`.
using AlongAxis = Result<TensorId> (*)(Conversion& conversion, const Node& node, TensorId input,
                                       std::uint64_t axis, const std::string& name);

Result<TensorId> softmax(Conversion& conversion, const Node& node, TensorId input,
                         std::uint64_t axis, const std::string& name) {
  return built(conversion, node, conversion.graph().softmax(name, input, axis));
}

/// (x - m) - log(sum(exp(x - m))) with m the maximum along the axis, so that no exponential
/// exceeds 1 and the largest element's term is exactly 0 before the log.
Result<TensorId> log_softmax(Conversion& conversion, const Node& node, TensorId input,
                             std::uint64_t axis, const std::string& name) {
  Graph& graph = conversion.graph();
  const Steps steps{conversion, node, name};
  ORVIK_TRY(maximum, built(conversion, node, graph.reduce_max(steps.fresh("max"), input, axis)));
  ORVIK_TRY(shifted, steps.binary(Elementwise::Sub, steps.tensor(input), steps.tensor(maximum),
                                  steps.fresh("shifted")));
  ORVIK_TRY(exponentials, steps.unary<&Graph::exp>(shifted, steps.fresh("exp")));
  ORVIK_TRY(sum, built(conversion, node, graph.reduce_sum(steps.fresh("sum"), exponentials, axis)));
  ORVIK_TRY(log, steps.unary<&Graph::log>(sum, steps.fresh("log")));
  return steps.binary(Elementwise::Sub, steps.tensor(shifted), steps.tensor(log), name);
}

/// A function along one axis, and the step name of its result on rows.
struct AxisFunction {
  AlongAxis compute;
  std::string_view rows_step;
};

constexpr AxisFunction softmax_function{softmax, "rows_softmax"};
constexpr AxisFunction log_softmax_function{log_softmax, "rows_log_softmax"};

/// The node's `axis` for `input`, `fallback` when absent, made non-negative.
Result<std::uint64_t> axis_of(Conversion& conversion, const Node& node, TensorId input,
                              std::int64_t fallback) {
  ORVIK_TRY(requested, int_attribute(node, "axis", fallback));
  return normalised_axis(node, requested, conversion.graph().tensors[input.index].shape.size(),
                         "axis");
}

/// The function on the input seen as a matrix of the axes before `axis` (1 by default) by the
/// rest: along axis 1 of a Reshape to rows, then a Reshape back; no Reshape when the axes after
/// `axis` all have extent 1, as the function then runs along `axis` alone.
Result<void> along_rows(Conversion& conversion, const Node& node, const AxisFunction& function) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  ORVIK_TRY(axis, axis_of(conversion, node, input, 1));
  Graph& graph = conversion.graph();
  const std::vector<std::uint64_t> shape = graph.tensors[input.index].shape;
  const auto at_axis = shape.begin() + static_cast<std::ptrdiff_t>(axis);
  const std::string output = output_name(node, 0);
  if (*element_count({at_axis + 1, shape.end()}) == 1) {
    return defined(conversion, node, function.compute(conversion, node, input, axis, output));
  }
  const std::vector<std::uint64_t> matrix{*element_count({shape.begin(), at_axis}),
                                          *element_count({at_axis, shape.end()})};
  ORVIK_TRY(rows, built(conversion, node,
                        graph.reshape(fresh_name(conversion, output + "/rows"), input, matrix)));
  ORVIK_TRY(result, function.compute(
                        conversion, node, rows, 1,
                        fresh_name(conversion, output + "/" + std::string(function.rows_step))));
  return defined(conversion, node, built(conversion, node, graph.reshape(output, result, shape)));
}

/// The function along `axis`, the last by default.
Result<void> along_axis(Conversion& conversion, const Node& node, const AxisFunction& function) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  ORVIK_TRY(axis, axis_of(conversion, node, input, -1));
  return defined(conversion, node,
                 function.compute(conversion, node, input, axis, output_name(node, 0)));
}

/// relu(x) - slope * relu(-x): x where x >= 0 and slope * x below, exactly, since negation is
/// exact. The slope must broadcast to the input's shape.
Result<void> leaky(Conversion& conversion, const Node& node, TensorId input, const Value& slope) {
  const Steps steps = steps_of(conversion, node);
  const std::vector<std::uint64_t> shape = conversion.graph().tensors[input.index].shape;
  if (broadcast_shape(shape, slope.shape) != shape) {
    return node_error(node, "slope \"" + slope.name + "\" " + shape_text(slope.shape) +
                                " does not broadcast to the input's shape " + shape_text(shape));
  }
  ORVIK_TRY(positive, steps.unary<&Graph::relu>(input, steps.fresh("positive")));
  ORVIK_TRY(negated, steps.unary<&Graph::neg>(input, steps.fresh("negated")));
  ORVIK_TRY(magnitude, steps.unary<&Graph::relu>(negated, steps.fresh("negative_magnitude")));
  ORVIK_TRY(scaled,
            steps.binary(Elementwise::Mul, steps.tensor(magnitude), slope, steps.fresh("scaled")));
  return defined(
      conversion, node,
      steps.binary(Elementwise::Sub, steps.tensor(positive), steps.tensor(scaled), steps.output));
}

/// The parameters of the exponential linear units: gamma * relu(x) + (exp(min(x, 0) / divisor)
/// - 1) * alpha * gamma.
struct ExponentialUnit {
  float alpha = 1.0F;
  float gamma = 1.0F;
  std::optional<float> divisor;
};

Result<void> exponential_unit(Conversion& conversion, const Node& node,
                              const ExponentialUnit& unit) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  const Steps steps = steps_of(conversion, node);
  const bool scaled_by_gamma = unit.gamma != 1.0F;
  ORVIK_TRY(positive, steps.unary<&Graph::relu>(input, steps.fresh("positive")));
  ORVIK_TRY(negated, steps.unary<&Graph::neg>(input, steps.fresh("negated")));
  ORVIK_TRY(magnitude, steps.unary<&Graph::relu>(negated, steps.fresh("negative_magnitude")));
  ORVIK_TRY(negative, steps.unary<&Graph::neg>(magnitude, steps.fresh("negative")));
  if (unit.divisor) {
    ORVIK_TRY(divided,
              steps.binary(Elementwise::Div, steps.tensor(negative),
                           steps.scalar("divisor", *unit.divisor), steps.fresh("divided")));
    negative = divided;
  }
  ORVIK_TRY(exponentials, steps.unary<&Graph::exp>(negative, steps.fresh("exp")));
  ORVIK_TRY(less_one, steps.binary(Elementwise::Sub, steps.tensor(exponentials),
                                   steps.scalar("one", 1.0F), steps.fresh("exp_less_one")));
  ORVIK_TRY(negative_part,
            steps.binary(Elementwise::Mul, steps.tensor(less_one),
                         steps.scalar("alpha", unit.alpha), steps.fresh("negative_part")));
  if (scaled_by_gamma) {
    ORVIK_TRY(scaled_negative,
              steps.binary(Elementwise::Mul, steps.tensor(negative_part),
                           steps.scalar("gamma", unit.gamma), steps.fresh("negative_scaled")));
    negative_part = scaled_negative;
    ORVIK_TRY(scaled_positive,
              steps.binary(Elementwise::Mul, steps.tensor(positive),
                           steps.scalar("gamma", unit.gamma), steps.fresh("positive_scaled")));
    positive = scaled_positive;
  }
  return defined(conversion, node,
                 steps.binary(Elementwise::Add, steps.tensor(positive), steps.tensor(negative_part),
                              steps.output));
}

/// relu(min(alpha * x + beta, 1)), the result named `name`.
Result<TensorId> hard_sigmoid(const Steps& steps, TensorId input, float alpha, float beta,
                              const std::string& name) {
  ORVIK_TRY(product, steps.binary(Elementwise::Mul, steps.tensor(input),
                                  steps.scalar("alpha", alpha), steps.fresh("scaled")));
  ORVIK_TRY(sum, steps.binary(Elementwise::Add, steps.tensor(product), steps.scalar("beta", beta),
                              steps.fresh("shifted")));
  ORVIK_TRY(capped, steps.binary(Elementwise::Minimum, steps.tensor(sum), steps.scalar("one", 1.0F),
                                 steps.fresh("capped")));
  return steps.unary<&Graph::relu>(capped, name);
}

/// Maximum with `lower`, then Minimum with `upper`, each where given; the input itself without
/// either.
Result<void> clip(Conversion& conversion, const Node& node, const std::optional<Value>& lower,
                  const std::optional<Value>& upper) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  if (input.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, input);
  }
  const Steps steps = steps_of(conversion, node);
  Value result = input;
  if (lower) {
    ORVIK_TRY(raised, steps.binary(Elementwise::Maximum, result, *lower,
                                   upper ? steps.fresh("raised") : steps.output));
    result = steps.tensor(raised);
  }
  if (upper) {
    ORVIK_TRY(lowered, steps.binary(Elementwise::Minimum, result, *upper, steps.output));
    result = steps.tensor(lowered);
  }
  return defined(conversion, node, reshaped(conversion, node, result, result.shape, steps.output));
}

/// The input, as `Dropout` at inference gives it, and its mask of `mask_type` where read.
Result<void> dropout(Conversion& conversion, const Node& node, std::int32_t mask_type) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  if (input.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, input);
  }
  const std::string mask = output_name(node, 1);
  if (!mask.empty() && conversion.readers[mask] > 0) {
    // Nothing is dropped: every element of the mask is 1 (true).
    const std::uint64_t count = *element_count(input.shape);
    const std::uint64_t element_bytes =
        mask_type == onnx::TensorProto::FLOAT ? sizeof(float) : sizeof(std::int64_t);
    const std::uint64_t bytes = count > std::numeric_limits<std::uint64_t>::max() / element_bytes
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : count * element_bytes;
    if (Result<void> reserved = reserve_expansion(
            conversion, node, "its mask \"" + mask + "\" " + shape_text(input.shape), bytes);
        !reserved) {
      return reserved.error();
    }
    ConstantData ones;
    if (mask_type == onnx::TensorProto::FLOAT) {
      ones.float_bytes.assign(count * sizeof(float), '\0');
      const std::span<float> values = writable_floats_in(ones.float_bytes);
      std::fill(values.begin(), values.end(), 1.0F);
    } else {
      ones.integers.assign(count, 1);
    }
    conversion.data.push_back(std::move(ones));
    define(conversion, node, 1,
           Value{mask, mask_type, input.shape, std::nullopt, conversion.data.size() - 1});
  }
  return defined(conversion, node,
                 reshaped(conversion, node, input, input.shape, output_name(node, 0)));
}

} // namespace

Result<void> convert_softmax_v1(Conversion& conversion, const Node& node) {
  return along_rows(conversion, node, softmax_function);
}

Result<void> convert_softmax_v13(Conversion& conversion, const Node& node) {
  return along_axis(conversion, node, softmax_function);
}

Result<void> convert_log_softmax_v1(Conversion& conversion, const Node& node) {
  return along_rows(conversion, node, log_softmax_function);
}

Result<void> convert_log_softmax_v13(Conversion& conversion, const Node& node) {
  return along_axis(conversion, node, log_softmax_function);
}

Result<void> convert_prelu_v6(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  ORVIK_TRY(slope, input_value(conversion, node, 1));
  const std::vector<std::uint64_t> shape = conversion.graph().tensors[input.index].shape;
  if (shape.size() > 2 && slope.shape == std::vector<std::uint64_t>{shape[1]}) {
    std::vector<std::uint64_t> per_channel(shape.size() - 1, 1);
    per_channel[0] = shape[1];
    ORVIK_TRY(channels, reshaped(conversion, node, slope, std::move(per_channel),
                                 fresh_name(conversion, slope.name + "/channels")));
    slope = std::move(channels);
  }
  return leaky(conversion, node, input, slope);
}

Result<void> convert_prelu_v7(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  ORVIK_TRY(slope, input_value(conversion, node, 1));
  return leaky(conversion, node, input, slope);
}

Result<void> convert_leaky_relu(Conversion& conversion, const Node& node) {
  ORVIK_TRY(alpha, float_attribute(node, "alpha", 0.01F));
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  return leaky(conversion, node, input, steps_of(conversion, node).scalar("alpha", alpha));
}

Result<void> convert_elu(Conversion& conversion, const Node& node) {
  ORVIK_TRY(alpha, float_attribute(node, "alpha", 1.0F));
  return exponential_unit(conversion, node, ExponentialUnit{alpha, 1.0F, std::nullopt});
}

Result<void> convert_selu(Conversion& conversion, const Node& node) {
  ORVIK_TRY(alpha, float_attribute(node, "alpha", 1.67326319217681884765625F));
  ORVIK_TRY(gamma, float_attribute(node, "gamma", 1.05070102214813232421875F));
  return exponential_unit(conversion, node, ExponentialUnit{alpha, gamma, std::nullopt});
}

Result<void> convert_celu(Conversion& conversion, const Node& node) {
  ORVIK_TRY(alpha, float_attribute(node, "alpha", 1.0F));
  return exponential_unit(conversion, node, ExponentialUnit{alpha, 1.0F, alpha});
}

Result<void> convert_hard_sigmoid(Conversion& conversion, const Node& node) {
  ORVIK_TRY(alpha, float_attribute(node, "alpha", 0.2F));
  ORVIK_TRY(beta, float_attribute(node, "beta", 0.5F));
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  const Steps steps = steps_of(conversion, node);
  return defined(conversion, node, hard_sigmoid(steps, input, alpha, beta, steps.output));
}

Result<void> convert_hard_swish(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  const Steps steps = steps_of(conversion, node);
  ORVIK_TRY(gate, hard_sigmoid(steps, input, 1.0F / 6.0F, 0.5F, steps.fresh("gate")));
  return defined(conversion, node,
                 built(conversion, node, conversion.graph().mul(steps.output, input, gate)));
}

Result<void> convert_softplus(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  const Steps steps = steps_of(conversion, node);
  ORVIK_TRY(exponentials, steps.unary<&Graph::exp>(input, steps.fresh("exp")));
  ORVIK_TRY(plus_one, steps.binary(Elementwise::Add, steps.tensor(exponentials),
                                   steps.scalar("one", 1.0F), steps.fresh("exp_plus_one")));
  return defined(conversion, node, steps.unary<&Graph::log>(plus_one, steps.output));
}

Result<void> convert_softsign(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  const Steps steps = steps_of(conversion, node);
  ORVIK_TRY(magnitude, steps.unary<&Graph::abs>(input, steps.fresh("abs")));
  ORVIK_TRY(denominator, steps.binary(Elementwise::Add, steps.scalar("one", 1.0F),
                                      steps.tensor(magnitude), steps.fresh("denominator")));
  return defined(conversion, node,
                 built(conversion, node, conversion.graph().div(steps.output, input, denominator)));
}

Result<void> convert_clip_v6(Conversion& conversion, const Node& node) {
  const Steps steps = steps_of(conversion, node);
  std::optional<Value> bounds[2];
  const char* const names[] = {"min", "max"};
  for (int i = 0; i < 2; ++i) {
    if (attribute(node, names[i]) != nullptr) {
      ORVIK_TRY(bound, float_attribute(node, names[i], 0.0F));
      bounds[i] = steps.scalar(names[i], bound);
    }
  }
  return clip(conversion, node, bounds[0], bounds[1]);
}

Result<void> convert_clip_v11(Conversion& conversion, const Node& node) {
  std::optional<Value> bounds[2];
  for (int i = 0; i < 2; ++i) {
    if (has_input(node, i + 1)) {
      ORVIK_TRY(bound, input_value(conversion, node, i + 1));
      bounds[i] = std::move(bound);
    }
  }
  return clip(conversion, node, bounds[0], bounds[1]);
}

Result<void> convert_shrink(Conversion& conversion, const Node& node) {
  ORVIK_TRY(lambd, float_attribute(node, "lambd", 0.5F));
  ORVIK_TRY(bias, float_attribute(node, "bias", 0.0F));
  if (bias != lambd) {
    return node_error(node, "bias " + kernels::float_text(bias) + " differs from lambd " +
                                kernels::float_text(lambd) +
                                "; only soft shrinkage (bias equal to lambd) is supported");
  }
  if (lambd < 0.0F) {
    return node_error(node, "lambd " + kernels::float_text(lambd) +
                                " is negative; only soft shrinkage by a non-negative lambd is "
                                "supported");
  }
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  const Steps steps = steps_of(conversion, node);
  const Value threshold = steps.scalar("lambd", lambd);
  ORVIK_TRY(above,
            steps.binary(Elementwise::Sub, steps.tensor(input), threshold, steps.fresh("above")));
  ORVIK_TRY(upper, steps.unary<&Graph::relu>(above, steps.fresh("upper")));
  ORVIK_TRY(negated, steps.unary<&Graph::neg>(input, steps.fresh("negated")));
  ORVIK_TRY(below,
            steps.binary(Elementwise::Sub, steps.tensor(negated), threshold, steps.fresh("below")));
  ORVIK_TRY(lower, steps.unary<&Graph::relu>(below, steps.fresh("lower")));
  return defined(conversion, node,
                 built(conversion, node, conversion.graph().sub(steps.output, upper, lower)));
}

Result<void> convert_dropout_v7(Conversion& conversion, const Node& node) {
  return dropout(conversion, node, onnx::TensorProto::FLOAT);
}

Result<void> convert_dropout_v10(Conversion& conversion, const Node& node) {
  return dropout(conversion, node, onnx::TensorProto::BOOL);
}

Result<void> convert_dropout_v12(Conversion& conversion, const Node& node) {
  if (has_input(node, 2)) {
    ORVIK_TRY(training_mode, input_value(conversion, node, 2));
    if (!training_mode.constant || training_mode.data_type != onnx::TensorProto::BOOL) {
      return node_error(node, "training_mode \"" + training_mode.name +
                                  "\" is not a constant BOOL; only inference (false) is "
                                  "supported");
    }
    const std::vector<std::int64_t>& values = conversion.data[*training_mode.constant].integers;
    if (values.size() != 1 || values[0] != 0) {
      return node_error(node, "training_mode \"" + training_mode.name +
                                  "\" is true; only inference (false) is supported");
    }
  }
  return dropout(conversion, node, onnx::TensorProto::BOOL);
}

} // namespace orvik_compiler::onnx_import
