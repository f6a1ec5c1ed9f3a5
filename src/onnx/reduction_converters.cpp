// The converters of reductions and of the normalisations built on statistics.

#include "reduction_converters.hpp"

#include "attributes.hpp"
#include "broadcasting.hpp"
#include "constants.hpp"
#include "layer_norm.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_compiler::onnx_import {
namespace {

using Axes = std::optional<std::vector<std::int64_t>>;
using ReduceBuilder = Result<TensorId> (Graph::*)(std::string, TensorId, std::uint64_t);

/// The reduction axes: `axes` made non-negative, each once; all axes when `axes` is missing or
/// empty.
Result<std::vector<bool>> reduced_axes(const Node& node, const Axes& axes, std::uint64_t rank) {
  if (!axes || axes->empty()) {
    return std::vector<bool>(rank, true);
  }
  std::vector<bool> reduced(rank, false);
  for (const std::int64_t axis : *axes) {
    ORVIK_TRY(index, normalised_axis(node, axis, rank, "axis"));
    if (reduced[index]) {
      return node_error(node, "axis " + std::to_string(axis) + " is given twice");
    }
    reduced[index] = true;
  }
  return reduced;
}

/// One reduction being converted: its input, the axes it reduces, the node's output name, and the
/// name of the operation giving the result with the reduced axes kept, the output's own when the
/// node keeps them (empty: a fresh name).
struct Reduction {
  TensorId input;
  std::vector<bool> reduced;
  std::string output;
  std::string result;
};

/// A fresh name for a step of the reduction, under the node's output.
std::string step_name(Conversion& conversion, const Reduction& reduction, std::string_view step) {
  return fresh_name(conversion, reduction.output + "/" + std::string(step));
}

/// The name of the step that gives the reduction's result.
std::string result_name(Conversion& conversion, const Reduction& reduction, std::string_view step) {
  return reduction.result.empty() ? step_name(conversion, reduction, step) : reduction.result;
}

/// `build` along each reduced axis of `input` in increasing order, each keeping its axis with
/// extent 1; the last step is named `name`, or like the others when it is empty.
Result<TensorId> reduce_along(Conversion& conversion, const Node& node, ReduceBuilder build,
                              TensorId input, const Reduction& reduction, const std::string& name) {
  std::size_t last = 0;
  for (std::size_t i = 0; i < reduction.reduced.size(); ++i) {
    if (reduction.reduced[i]) {
      last = i;
    }
  }
  TensorId result = input;
  for (std::size_t i = 0; i <= last; ++i) {
    if (!reduction.reduced[i]) {
      continue;
    }
    const std::string step = i == last && !name.empty()
                                 ? name
                                 : step_name(conversion, reduction, "axis" + std::to_string(i));
    ORVIK_TRY(reduced, built(conversion, node, (conversion.graph().*build)(step, result, i)));
    result = reduced;
  }
  return result;
}

/// Computes a reduction with its axes kept.
using ReductionBody = Result<TensorId> (*)(Conversion& conversion, const Node& node,
                                           const Reduction& reduction);

/// The reduction of the node's input along `axes` by `body`; without `keepdims` a Reshape then
/// removes the reduced axes.
Result<void> reduce(Conversion& conversion, const Node& node, ReductionBody body,
                    const Axes& axes) {
  ORVIK_TRY(keep_dims, int_attribute(node, "keepdims", 1));
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  const std::vector<std::uint64_t> shape = conversion.graph().tensors[input.index].shape;
  ORVIK_TRY(reduced, reduced_axes(node, axes, shape.size()));
  const std::string output = output_name(node, 0);
  ORVIK_TRY(result, body(conversion, node,
                         Reduction{input, reduced, output, keep_dims != 0 ? output : ""}));
  if (keep_dims != 0) {
    define_tensor(conversion, node, 0, result);
    return {};
  }
  std::vector<std::uint64_t> kept;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (!reduced[i]) {
      kept.push_back(shape[i]);
    }
  }
  return defined(
      conversion, node,
      reshaped(conversion, node, tensor_value(conversion, result), std::move(kept), output));
}

/// A reduction whose axes are the `axes` attribute.
template <ReductionBody body>
Result<void> reduce_by_attribute(Conversion& conversion, const Node& node) {
  ORVIK_TRY(axes, ints_attribute(node, "axes"));
  return reduce(conversion, node, body, axes);
}

/// A reduction whose axes are an optional constant input; with `noop_with_empty_axes` and no
/// axes, the input itself.
template <ReductionBody body>
Result<void> reduce_by_input(Conversion& conversion, const Node& node) {
  ORVIK_TRY(noop_with_empty_axes, int_attribute(node, "noop_with_empty_axes", 0));
  Axes axes;
  if (has_input(node, 1)) {
    ORVIK_TRY(given, input_integers(conversion, node, 1, "axes"));
    axes = std::move(given);
  }
  if (noop_with_empty_axes != 0 && (!axes || axes->empty())) {
    ORVIK_TRY(input, input_tensor(conversion, node, 0));
    const Value value = tensor_value(conversion, input);
    return defined(conversion, node,
                   reshaped(conversion, node, value, value.shape, output_name(node, 0)));
  }
  return reduce(conversion, node, body, axes);
}

template <ReduceBuilder build>
Result<TensorId> plain(Conversion& conversion, const Node& node, const Reduction& reduction) {
  return reduce_along(conversion, node, build, reduction.input, reduction, reduction.result);
}

/// min(x) = -max(-x), exactly.
Result<TensorId> minimum(Conversion& conversion, const Node& node, const Reduction& reduction) {
  Graph& graph = conversion.graph();
  ORVIK_TRY(negated,
            built(conversion, node,
                  graph.neg(step_name(conversion, reduction, "negated"), reduction.input)));
  ORVIK_TRY(maximum, reduce_along(conversion, node, &Graph::reduce_max, negated, reduction, ""));
  return built(conversion, node, graph.neg(result_name(conversion, reduction, "minimum"), maximum));
}

Result<TensorId> sum_of_magnitudes(Conversion& conversion, const Node& node,
                                   const Reduction& reduction) {
  ORVIK_TRY(magnitudes, built(conversion, node,
                              conversion.graph().abs(step_name(conversion, reduction, "abs"),
                                                     reduction.input)));
  return reduce_along(conversion, node, &Graph::reduce_sum, magnitudes, reduction,
                      reduction.result);
}

/// The sum of the squares, its last step named `name` (like the others when empty).
Result<TensorId> sum_of_squares(Conversion& conversion, const Node& node,
                                const Reduction& reduction, const std::string& name) {
  ORVIK_TRY(squares, built(conversion, node,
                           conversion.graph().mul(step_name(conversion, reduction, "squares"),
                                                  reduction.input, reduction.input)));
  return reduce_along(conversion, node, &Graph::reduce_sum, squares, reduction, name);
}

Result<TensorId> sum_square(Conversion& conversion, const Node& node, const Reduction& reduction) {
  return sum_of_squares(conversion, node, reduction, reduction.result);
}

Result<TensorId> euclidean_norm(Conversion& conversion, const Node& node,
                                const Reduction& reduction) {
  ORVIK_TRY(sum, sum_of_squares(conversion, node, reduction, ""));
  return built(conversion, node,
               conversion.graph().sqrt(result_name(conversion, reduction, "root"), sum));
}

Result<TensorId> log_sum(Conversion& conversion, const Node& node, const Reduction& reduction) {
  ORVIK_TRY(sum,
            reduce_along(conversion, node, &Graph::reduce_sum, reduction.input, reduction, ""));
  return built(conversion, node,
               conversion.graph().log(result_name(conversion, reduction, "log"), sum));
}

/// log(sum(exp(x))) = m + log(sum(exp(x - m))) with m the maximum, which keeps every
/// exponential at most 1.
Result<TensorId> log_sum_exp(Conversion& conversion, const Node& node, const Reduction& reduction) {
  Graph& graph = conversion.graph();
  ORVIK_TRY(maximum,
            reduce_along(conversion, node, &Graph::reduce_max, reduction.input, reduction, ""));
  ORVIK_TRY(shifted, elementwise(conversion, node, Elementwise::Sub,
                                 tensor_value(conversion, reduction.input),
                                 tensor_value(conversion, maximum),
                                 step_name(conversion, reduction, "shifted")));
  ORVIK_TRY(exponentials,
            built(conversion, node, graph.exp(step_name(conversion, reduction, "exp"), shifted)));
  ORVIK_TRY(sum, reduce_along(conversion, node, &Graph::reduce_sum, exponentials, reduction, ""));
  ORVIK_TRY(log, built(conversion, node, graph.log(step_name(conversion, reduction, "log"), sum)));
  return built(conversion, node,
               graph.add(result_name(conversion, reduction, "shifted_back"), log, maximum));
}

/// The product of each reduced axis's slices, first to last; an axis of extent 1 is its own
/// product.
Result<TensorId> product(Conversion& conversion, const Node& node, const Reduction& reduction) {
  Graph& graph = conversion.graph();
  TensorId result = reduction.input;
  for (std::size_t axis = 0; axis < reduction.reduced.size(); ++axis) {
    const std::uint64_t extent = graph.tensors[result.index].shape[axis];
    if (!reduction.reduced[axis] || extent == 1) {
      continue;
    }
    if (extent > max_product_factors) {
      return node_error(node, "axis " + std::to_string(axis) + " has extent " +
                                  std::to_string(extent) + "; a product of at most " +
                                  std::to_string(max_product_factors) +
                                  " slices per axis is supported");
    }
    const bool last_axis =
        std::find(reduction.reduced.begin() + static_cast<std::ptrdiff_t>(axis) + 1,
                  reduction.reduced.end(), true) == reduction.reduced.end();
    ORVIK_TRY(first,
              built(conversion, node,
                    graph.slice(step_name(conversion, reduction, "slice"), result, axis, 0, 1)));
    TensorId partial = first;
    for (std::uint64_t i = 1; i < extent; ++i) {
      ORVIK_TRY(factor, built(conversion, node,
                              graph.slice(step_name(conversion, reduction, "slice"), result, axis,
                                          i, i + 1)));
      const std::string name = last_axis && i == extent - 1
                                   ? result_name(conversion, reduction, "product")
                                   : step_name(conversion, reduction, "product");
      ORVIK_TRY(next, built(conversion, node, graph.mul(name, partial, factor)));
      partial = next;
    }
    result = partial;
  }
  return result;
}

/// Refuses a node whose outputs after the first are read: only the normalised output is
/// computed.
Result<void> only_first_output_read(Conversion& conversion, const Node& node) {
  for (int i = 1; i < node.proto.output_size(); ++i) {
    const std::string name = output_name(node, i);
    if (!name.empty() && conversion.readers[name] > 0) {
      return node_error(node, "its output " + std::to_string(i) + " \"" + name +
                                  "\" is used; only the normalised output is supported");
    }
  }
  return {};
}

/// Input i, of shape [C] with C the extent of axis 1 of `shape`, reshaped to [C, 1, ...] of one
/// axis fewer than `shape`, so that it broadcasts along axis 1; `what` names it in errors.
Result<Value> per_channel(Conversion& conversion, const Node& node, int i, std::string_view what,
                          const std::vector<std::uint64_t>& shape) {
  ORVIK_TRY(value, input_value(conversion, node, i));
  if (value.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, value);
  }
  const std::vector<std::uint64_t> channels{shape[1]};
  if (value.shape != channels) {
    return node_error(node, std::string(what) + " \"" + value.name + "\" has shape " +
                                shape_text(value.shape) + ", not " + shape_text(channels) +
                                " (the input's channels)");
  }
  std::vector<std::uint64_t> broadcastable(shape.size() - 1, 1);
  broadcastable[0] = shape[1];
  return reshaped(conversion, node, value, std::move(broadcastable),
                  fresh_name(conversion, value.name + "/channels"));
}

/// The input as a float tensor of rank `minimum_rank` or more; `layout` names its axes in the
/// error.
Result<TensorId> input_of_rank(Conversion& conversion, const Node& node, std::size_t minimum_rank,
                               std::string_view layout) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  const std::vector<std::uint64_t>& shape = conversion.graph().tensors[input.index].shape;
  if (shape.size() < minimum_rank) {
    return node_error(node, "input \"" + conversion.graph().tensors[input.index].name +
                                "\" has rank " + std::to_string(shape.size()) + "; " +
                                std::string(layout) + " is needed");
  }
  return input;
}

/// (X - mean) / sqrt(var + epsilon) * scale + B along axis 1.
Result<void> batch_normalization(Conversion& conversion, const Node& node) {
  if (const Result<void> unread = only_first_output_read(conversion, node); !unread) {
    return unread;
  }
  ORVIK_TRY(epsilon, float_attribute(node, "epsilon", 1e-5F));
  ORVIK_TRY(input, input_of_rank(conversion, node, 2, "[N, C, ...] of rank 2 or more"));
  const std::vector<std::uint64_t> shape = conversion.graph().tensors[input.index].shape;
  ORVIK_TRY(scale, per_channel(conversion, node, 1, "scale", shape));
  ORVIK_TRY(bias, per_channel(conversion, node, 2, "B", shape));
  ORVIK_TRY(mean, per_channel(conversion, node, 3, "mean", shape));
  ORVIK_TRY(variance, per_channel(conversion, node, 4, "var", shape));
  const std::string output = output_name(node, 0);
  const auto step = [&](std::string_view what) {
    return fresh_name(conversion, output + "/" + std::string(what));
  };
  ORVIK_TRY(centered, elementwise(conversion, node, Elementwise::Sub,
                                  tensor_value(conversion, input), mean, step("centered")));
  ORVIK_TRY(shifted_variance, elementwise(conversion, node, Elementwise::Add, variance,
                                          new_constant(conversion, output + "/epsilon", {},
                                                       std::vector<float>{epsilon}),
                                          step("variance")));
  ORVIK_TRY(deviation,
            built(conversion, node, conversion.graph().sqrt(step("deviation"), shifted_variance)));
  ORVIK_TRY(normalized,
            elementwise(conversion, node, Elementwise::Div, tensor_value(conversion, centered),
                        tensor_value(conversion, deviation), step("normalized")));
  ORVIK_TRY(scaled, elementwise(conversion, node, Elementwise::Mul,
                                tensor_value(conversion, normalized), scale, step("scaled")));
  return defined(conversion, node,
                 elementwise(conversion, node, Elementwise::Add, tensor_value(conversion, scaled),
                             bias, output));
}

/// Refuses a value of the integer attribute `name` other than `supported`; `what` says what
/// the supported value means.
Result<void> require_attribute(const Node& node, std::string_view name, std::int64_t fallback,
                               std::int64_t supported, std::string_view what) {
  ORVIK_TRY(value, int_attribute(node, name, fallback));
  if (value != supported) {
    return node_error(node, std::string(name) + " " + std::to_string(value) +
                                " is not supported; only " + std::to_string(supported) + " (" +
                                std::string(what) + ") is");
  }
  return {};
}

} // namespace

Result<void> convert_reduce_mean(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<plain<&Graph::reduce_mean>>(conversion, node);
}

Result<void> convert_reduce_max(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<plain<&Graph::reduce_max>>(conversion, node);
}

Result<void> convert_reduce_sum_v1(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<plain<&Graph::reduce_sum>>(conversion, node);
}

Result<void> convert_reduce_sum_v13(Conversion& conversion, const Node& node) {
  return reduce_by_input<plain<&Graph::reduce_sum>>(conversion, node);
}

Result<void> convert_reduce_min(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<minimum>(conversion, node);
}

Result<void> convert_reduce_l1(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<sum_of_magnitudes>(conversion, node);
}

Result<void> convert_reduce_l2(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<euclidean_norm>(conversion, node);
}

Result<void> convert_reduce_sum_square(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<sum_square>(conversion, node);
}

Result<void> convert_reduce_log_sum(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<log_sum>(conversion, node);
}

Result<void> convert_reduce_log_sum_exp(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<log_sum_exp>(conversion, node);
}

Result<void> convert_reduce_prod(Conversion& conversion, const Node& node) {
  return reduce_by_attribute<product>(conversion, node);
}

Result<void> convert_batch_normalization_v6(Conversion& conversion, const Node& node) {
  if (const Result<void> inference = require_attribute(node, "is_test", 0, 1, "inference");
      !inference) {
    return inference;
  }
  if (const Result<void> spatial =
          require_attribute(node, "spatial", 1, 1, "statistics per channel");
      !spatial) {
    return spatial;
  }
  return batch_normalization(conversion, node);
}

Result<void> convert_batch_normalization_v7(Conversion& conversion, const Node& node) {
  if (const Result<void> spatial =
          require_attribute(node, "spatial", 1, 1, "statistics per channel");
      !spatial) {
    return spatial;
  }
  return batch_normalization(conversion, node);
}

Result<void> convert_batch_normalization_v9(Conversion& conversion, const Node& node) {
  return batch_normalization(conversion, node);
}

Result<void> convert_batch_normalization_v14(Conversion& conversion, const Node& node) {
  if (const Result<void> inference = require_attribute(node, "training_mode", 0, 0, "inference");
      !inference) {
    return inference;
  }
  return batch_normalization(conversion, node);
}

Result<void> convert_instance_normalization(Conversion& conversion, const Node& node) {
  ORVIK_TRY(epsilon, float_attribute(node, "epsilon", 1e-5F));
  ORVIK_TRY(input, input_of_rank(conversion, node, 3, "[N, C, D, ...] of rank 3 or more"));
  const std::vector<std::uint64_t> shape = conversion.graph().tensors[input.index].shape;
  ORVIK_TRY(scale, per_channel(conversion, node, 1, "scale", shape));
  ORVIK_TRY(bias, per_channel(conversion, node, 2, "B", shape));
  const std::string output = output_name(node, 0);
  const LayerNormParts parts{fresh_name(conversion, output + "/normalized"), scale,
                             fresh_name(conversion, output + "/scaled"), bias, output};
  return defined(conversion, node,
                 layer_norm(conversion, node, input, shape.size() - 2, epsilon, parts));
}

Result<void> convert_mean_variance_normalization(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  ORVIK_TRY(given, ints_attribute(node, "axes"));
  const std::vector<std::int64_t> axes = given.value_or(std::vector<std::int64_t>{0, 2, 3});
  ORVIK_TRY(reduced,
            reduced_axes(node, axes, conversion.graph().tensors[input.index].shape.size()));
  const Reduction reduction{input, reduced, output_name(node, 0), ""};
  const auto step = [&](std::string_view what) { return step_name(conversion, reduction, what); };
  Graph& graph = conversion.graph();
  ORVIK_TRY(mean, reduce_along(conversion, node, &Graph::reduce_mean, input, reduction, ""));
  ORVIK_TRY(squares, built(conversion, node, graph.mul(step("squares"), input, input)));
  ORVIK_TRY(mean_of_squares,
            reduce_along(conversion, node, &Graph::reduce_mean, squares, reduction, ""));
  ORVIK_TRY(squared_mean, built(conversion, node, graph.mul(step("squared_mean"), mean, mean)));
  ORVIK_TRY(variance,
            built(conversion, node, graph.sub(step("variance"), mean_of_squares, squared_mean)));
  ORVIK_TRY(deviation, built(conversion, node, graph.sqrt(step("deviation"), variance)));
  ORVIK_TRY(denominator,
            elementwise(conversion, node, Elementwise::Add, tensor_value(conversion, deviation),
                        new_constant(conversion, reduction.output + "/epsilon", {},
                                     std::vector<float>{1e-9F}),
                        step("denominator")));
  ORVIK_TRY(centered,
            elementwise(conversion, node, Elementwise::Sub, tensor_value(conversion, input),
                        tensor_value(conversion, mean), step("centered")));
  return defined(conversion, node,
                 elementwise(conversion, node, Elementwise::Div, tensor_value(conversion, centered),
                             tensor_value(conversion, denominator), reduction.output));
}

} // namespace orvik_compiler::onnx_import
