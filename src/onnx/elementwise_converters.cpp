// The converters of element-wise operators.

#include "elementwise_converters.hpp"

#include "broadcasting.hpp"
#include "constants.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

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

/// An operation of all the node's operands, folded from the left: ((a op b) op c) ..., its last
/// step named `name`; a single operand is the result itself.
Result<Value> fold_operands(Conversion& conversion, const Node& node, Elementwise kind,
                            const std::string& name) {
  ORVIK_TRY(first, input_value(conversion, node, 0));
  if (first.data_type != onnx::TensorProto::FLOAT) {
    return data_type_error(node, first);
  }
  const int count = node.proto.input_size();
  if (count == 1) {
    return reshaped(conversion, node, first, first.shape, name);
  }
  Value result = std::move(first);
  for (int i = 1; i < count; ++i) {
    ORVIK_TRY(operand, input_value(conversion, node, i));
    const std::string step = i == count - 1 ? name : fresh_name(conversion, name + "/partial");
    ORVIK_TRY(partial, elementwise(conversion, node, kind, result, operand, step));
    result = tensor_value(conversion, partial);
  }
  return result;
}

Result<void> folded(Conversion& conversion, const Node& node, Elementwise kind) {
  return defined(conversion, node, fold_operands(conversion, node, kind, output_name(node, 0)));
}

/// Integers up to 2^24 in magnitude are exactly floats.
constexpr std::int64_t exact_float_integers = std::int64_t{1} << 24;

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

Result<void> convert_sum(Conversion& conversion, const Node& node) {
  return folded(conversion, node, Elementwise::Add);
}

Result<void> convert_mean(Conversion& conversion, const Node& node) {
  const int count = node.proto.input_size();
  if (count == 1) {
    return folded(conversion, node, Elementwise::Add);
  }
  const std::string output = output_name(node, 0);
  ORVIK_TRY(sum, fold_operands(conversion, node, Elementwise::Add,
                               fresh_name(conversion, output + "/sum")));
  return defined(conversion, node,
                 elementwise(conversion, node, Elementwise::Div, sum,
                             new_constant(conversion, output + "/count", {},
                                          std::vector<float>{static_cast<float>(count)}),
                             output));
}

} // namespace orvik_compiler::onnx_import
