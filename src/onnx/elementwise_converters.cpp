// The converters of element-wise operators and reductions.

#include "elementwise_converters.hpp"

#include "attributes.hpp"
#include "broadcasting.hpp"
#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include <optional>
#include <string>
#include <vector>

namespace orvik_compiler::onnx_import {
namespace {

using UnaryBuilder = Result<TensorId> (Graph::*)(std::string, TensorId);

/// A function of one float tensor, built by `build`.
template <UnaryBuilder build>
Result<void> unary(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  return defined(conversion, node,
                 built(conversion, node, (conversion.graph().*build)(output_name(node, 0), input)));
}

/// An operation of the node's two operands, broadcast to a common shape.
Result<void> binary(Conversion& conversion, const Node& node, Elementwise kind) {
  ORVIK_TRY(left, input_value(conversion, node, 0));
  ORVIK_TRY(right, input_value(conversion, node, 1));
  return defined(conversion, node,
                 elementwise(conversion, node, kind, left, right, output_name(node, 0)));
}

/// An operation of all the node's operands, folded from the left: ((a op b) op c) ...; a single
/// operand is the result itself.
Result<void> folded(Conversion& conversion, const Node& node, Elementwise kind) {
  ORVIK_TRY(first, input_value(conversion, node, 0));
  if (first.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, first);
  }
  const std::string output = output_name(node, 0);
  const int count = node.proto.input_size();
  if (count == 1) {
    ORVIK_TRY(same, reshaped(conversion, node, first, first.shape, output));
    define(conversion, node, 0, std::move(same));
    return {};
  }
  Value result = std::move(first);
  for (int i = 1; i < count; ++i) {
    ORVIK_TRY(operand, input_value(conversion, node, i));
    const std::string name = i == count - 1 ? output : fresh_name(conversion, output + "/partial");
    ORVIK_TRY(partial, elementwise(conversion, node, kind, result, operand, name));
    result = tensor_value(conversion, partial);
  }
  define(conversion, node, 0, std::move(result));
  return {};
}

/// Integers up to 2^24 in magnitude are exactly floats.
constexpr std::int64_t exact_float_integers = std::int64_t{1} << 24;

/// The reduction axes: `axes` made non-negative, each once; all axes when `axes` is missing or
/// empty.
Result<std::vector<bool>> reduced_axes(const Node& node,
                                       const std::optional<std::vector<std::int64_t>>& axes,
                                       std::uint64_t rank) {
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

using ReduceBuilder = Result<TensorId> (Graph::*)(std::string, TensorId, std::uint64_t);

/// A reduction along `axes` (all when missing or empty), one operation per axis in increasing
/// order, each keeping its axis with extent 1; without `keepdims`, a Reshape then removes them.
Result<void> reduce(Conversion& conversion, const Node& node, ReduceBuilder build,
                    const std::optional<std::vector<std::int64_t>>& axes) {
  ORVIK_TRY(keep_dims, int_attribute(node, "keepdims", 1));
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  Graph& graph = conversion.graph();
  const std::vector<std::uint64_t> shape = graph.tensors[input.index].shape;
  ORVIK_TRY(reduced, reduced_axes(node, axes, shape.size()));
  std::size_t last = 0;
  std::vector<std::uint64_t> kept;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (reduced[i]) {
      last = i;
    } else {
      kept.push_back(shape[i]);
    }
  }
  const std::string output = output_name(node, 0);
  TensorId result = input;
  for (std::size_t i = 0; i <= last; ++i) {
    if (!reduced[i]) {
      continue;
    }
    const std::string name = keep_dims != 0 && i == last
                                 ? output
                                 : fresh_name(conversion, output + "/axis" + std::to_string(i));
    ORVIK_TRY(step, built(conversion, node, (graph.*build)(name, result, i)));
    result = step;
  }
  if (keep_dims != 0) {
    define_tensor(conversion, node, 0, result);
    return {};
  }
  ORVIK_TRY(removed,
            reshaped(conversion, node, tensor_value(conversion, result), std::move(kept), output));
  define(conversion, node, 0, std::move(removed));
  return {};
}

} // namespace

Result<void> convert_erf(Conversion& conversion, const Node& node) {
  return unary<&Graph::erf>(conversion, node);
}

Result<void> convert_tanh(Conversion& conversion, const Node& node) {
  return unary<&Graph::tanh>(conversion, node);
}

Result<void> convert_exp(Conversion& conversion, const Node& node) {
  return unary<&Graph::exp>(conversion, node);
}

Result<void> convert_log(Conversion& conversion, const Node& node) {
  return unary<&Graph::log>(conversion, node);
}

Result<void> convert_sqrt(Conversion& conversion, const Node& node) {
  return unary<&Graph::sqrt>(conversion, node);
}

Result<void> convert_reciprocal(Conversion& conversion, const Node& node) {
  return unary<&Graph::reciprocal>(conversion, node);
}

Result<void> convert_neg(Conversion& conversion, const Node& node) {
  return unary<&Graph::neg>(conversion, node);
}

Result<void> convert_abs(Conversion& conversion, const Node& node) {
  return unary<&Graph::abs>(conversion, node);
}

Result<void> convert_relu(Conversion& conversion, const Node& node) {
  return unary<&Graph::relu>(conversion, node);
}

Result<void> convert_sigmoid(Conversion& conversion, const Node& node) {
  return unary<&Graph::sigmoid>(conversion, node);
}

Result<void> convert_add(Conversion& conversion, const Node& node) {
  return binary(conversion, node, Elementwise::Add);
}

Result<void> convert_sub(Conversion& conversion, const Node& node) {
  return binary(conversion, node, Elementwise::Sub);
}

Result<void> convert_mul(Conversion& conversion, const Node& node) {
  return binary(conversion, node, Elementwise::Mul);
}

Result<void> convert_div(Conversion& conversion, const Node& node) {
  return binary(conversion, node, Elementwise::Div);
}

Result<void> convert_pow(Conversion& conversion, const Node& node) {
  ORVIK_TRY(base, input_value(conversion, node, 0));
  ORVIK_TRY(exponent, input_value(conversion, node, 1));
  if (exponent.constant && exponent.data_type == onnx::TensorProto::INT64) {
    const std::vector<std::int64_t>& integers = conversion.data[*exponent.constant].integers;
    std::vector<float> values;
    values.reserve(integers.size());
    for (const std::int64_t integer : integers) {
      if (integer > exact_float_integers || integer < -exact_float_integers) {
        return node_error(node, "exponent " + std::to_string(integer) + " of \"" + exponent.name +
                                    "\" is no exact float32");
      }
      values.push_back(static_cast<float>(integer));
    }
    exponent =
        new_constant(conversion, exponent.name + "/float", exponent.shape, std::move(values));
  }
  return defined(
      conversion, node,
      elementwise(conversion, node, Elementwise::Pow, base, exponent, output_name(node, 0)));
}

Result<void> convert_max(Conversion& conversion, const Node& node) {
  return folded(conversion, node, Elementwise::Maximum);
}

Result<void> convert_min(Conversion& conversion, const Node& node) {
  return folded(conversion, node, Elementwise::Minimum);
}

Result<void> convert_reduce_mean(Conversion& conversion, const Node& node) {
  ORVIK_TRY(axes, ints_attribute(node, "axes"));
  return reduce(conversion, node, &Graph::reduce_mean, axes);
}

Result<void> convert_reduce_max(Conversion& conversion, const Node& node) {
  ORVIK_TRY(axes, ints_attribute(node, "axes"));
  return reduce(conversion, node, &Graph::reduce_max, axes);
}

Result<void> convert_reduce_sum_v1(Conversion& conversion, const Node& node) {
  ORVIK_TRY(axes, ints_attribute(node, "axes"));
  return reduce(conversion, node, &Graph::reduce_sum, axes);
}

Result<void> convert_reduce_sum_v13(Conversion& conversion, const Node& node) {
  ORVIK_TRY(noop_with_empty_axes, int_attribute(node, "noop_with_empty_axes", 0));
  std::optional<std::vector<std::int64_t>> axes;
  if (has_input(node, 1)) {
    ORVIK_TRY(given, input_integers(conversion, node, 1, "axes"));
    axes = std::move(given);
  }
  if (noop_with_empty_axes != 0 && (!axes || axes->empty())) {
    ORVIK_TRY(input, input_tensor(conversion, node, 0));
    const Value value = tensor_value(conversion, input);
    ORVIK_TRY(same, reshaped(conversion, node, value, value.shape, output_name(node, 0)));
    define(conversion, node, 0, std::move(same));
    return {};
  }
  return reduce(conversion, node, &Graph::reduce_sum, axes);
}

} // namespace orvik_compiler::onnx_import
