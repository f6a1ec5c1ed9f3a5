// The converter table: one function per supported ONNX operator and since-version.

#include "converters.hpp"

#include "activation_converters.hpp"
#include "attributes.hpp"
#include "broadcasting.hpp"
#include "constant_folding.hpp"
#include "constants.hpp"
#include "convolution_converters.hpp"
#include "elementwise_converters.hpp"
#include "layer_norm.hpp"
#include "operands.hpp"
#include "pooling_converters.hpp"
#include "product_converters.hpp"
#include "reduction_converters.hpp"
#include "reshapes.hpp"
#include "slicing_converters.hpp"
#include "spatial_converters.hpp"
#include "tensor_data.hpp"

#include <algorithm>
#include <array>
#include <numeric>
#include <utility>

namespace orvik_compiler::onnx_import {
namespace {

/// The input of an operation that only changes the shape: a float tensor, or a constant of any
/// data type (a reshape of a constant is a constant).
Result<Value> shaped_input(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_value(conversion, node, 0));
  if (!input.constant && !input.tensor) {
    return tensor_of(conversion, node, input).error();
  }
  return input;
}

std::uint64_t product(std::vector<std::uint64_t>::const_iterator first,
                      std::vector<std::uint64_t>::const_iterator last) {
  return std::accumulate(first, last, std::uint64_t{1}, std::multiplies<>());
}

/// `Gemm`: alpha op(A) op(B) + beta C as Transposes, a MatMul, a Mul by alpha and an Add of C
/// (scaled by beta at import when C is a constant, by a Mul otherwise).
Result<void> convert_gemm(Conversion& conversion, const Node& node) {
  ORVIK_TRY(alpha, float_attribute(node, "alpha", 1.0F));
  ORVIK_TRY(beta, float_attribute(node, "beta", 1.0F));
  ORVIK_TRY(transpose_a, int_attribute(node, "transA", 0));
  ORVIK_TRY(transpose_b, int_attribute(node, "transB", 0));
  ORVIK_TRY(a, input_tensor(conversion, node, 0));
  ORVIK_TRY(b, input_tensor(conversion, node, 1));
  Graph& graph = conversion.graph();
  const std::string output = output_name(node, 0);
  const bool has_c = has_input(node, 2);
  const bool scaled = alpha != 1.0F;
  // Each step is named after the node's output when it is the last one.
  const auto step_name = [&](bool last, std::string_view step) {
    return last ? output : fresh_name(conversion, output + "/" + std::string(step));
  };
  if (transpose_a != 0) {
    ORVIK_TRY(transposed, built(conversion, node,
                                graph.transpose(step_name(false, "a_transposed"), a, {1, 0})));
    a = transposed;
  }
  if (transpose_b != 0) {
    ORVIK_TRY(transposed, built(conversion, node,
                                graph.transpose(step_name(false, "b_transposed"), b, {1, 0})));
    b = transposed;
  }
  ORVIK_TRY(product,
            built(conversion, node, graph.matmul(step_name(!scaled && !has_c, "product"), a, b)));
  TensorId result = product;
  if (scaled) {
    ORVIK_TRY(times_alpha,
              elementwise(conversion, node, Elementwise::Mul, tensor_value(conversion, result),
                          new_constant(conversion, output + "/alpha", {}, {alpha}),
                          step_name(!has_c, "scaled")));
    result = times_alpha;
  }
  if (has_c) {
    ORVIK_TRY(c, input_value(conversion, node, 2));
    const std::vector<std::uint64_t>& shape = graph.tensors[result.index].shape;
    if (!c.constant && c.data_type == onnx::TensorProto::FLOAT && c.shape != shape) {
      return node_error(node, "C \"" + c.name + "\" " + shape_text(c.shape) +
                                  " is not a constant, so it cannot broadcast to the result's "
                                  "shape " +
                                  shape_text(shape));
    }
    if (beta != 1.0F && c.constant && c.data_type == onnx::TensorProto::FLOAT) {
      const std::span<const float> c_values = floats_in(conversion.data[*c.constant].float_bytes);
      std::vector<float> values(c_values.begin(), c_values.end());
      for (float& value : values) {
        value *= beta;
      }
      c = new_constant(conversion, c.name + "/times_beta", c.shape, std::move(values));
    } else if (beta != 1.0F) {
      ORVIK_TRY(times_beta, elementwise(conversion, node, Elementwise::Mul, c,
                                        new_constant(conversion, output + "/beta", {}, {beta}),
                                        fresh_name(conversion, output + "/c_scaled")));
      c = tensor_value(conversion, times_beta);
    }
    ORVIK_TRY(sum, elementwise(conversion, node, Elementwise::Add, tensor_value(conversion, result),
                               c, output));
    result = sum;
  }
  define_tensor(conversion, node, 0, result);
  return {};
}

/// `Transpose`, by default reversing the axes.
Result<void> convert_transpose(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  ORVIK_TRY(perm, ints_attribute(node, "perm"));
  const std::size_t rank = conversion.graph().tensors[input.index].shape.size();
  std::vector<std::uint64_t> permutation(rank);
  for (std::size_t i = 0; i < rank; ++i) {
    permutation[i] = rank - 1 - i;
  }
  if (perm) {
    permutation.assign(perm->size(), 0);
    for (std::size_t i = 0; i < perm->size(); ++i) {
      if ((*perm)[i] < 0) {
        return node_error(node, "perm holds the negative axis " + std::to_string((*perm)[i]));
      }
      permutation[i] = static_cast<std::uint64_t>((*perm)[i]);
    }
  }
  return defined(conversion, node,
                 built(conversion, node,
                       conversion.graph().transpose(output_name(node, 0), input, permutation)));
}

/// The shape input of `Reshape` from opset 5: int64 values known at import.
Result<std::vector<std::int64_t>> shape_input(Conversion& conversion, const Node& node) {
  return input_integers(conversion, node, 1, "shape");
}

/// The shape attribute of `Reshape` before opset 5, which it must have.
Result<std::vector<std::int64_t>> shape_attribute(Conversion&, const Node& node) {
  ORVIK_TRY(shape, ints_attribute(node, "shape"));
  if (!shape) {
    return node_error(node, "attribute \"shape\" is missing");
  }
  return *shape;
}

using ShapeReader = Result<std::vector<std::int64_t>> (*)(Conversion& conversion, const Node& node);

/// `Reshape` to a constant shape, read by `requested_shape`: 0 copies the input's extent (unless
/// `allowzero`), -1 is inferred.
template <ShapeReader requested_shape>
Result<void> convert_reshape(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, shaped_input(conversion, node));
  ORVIK_TRY(requested, requested_shape(conversion, node));
  ORVIK_TRY(allow_zero, int_attribute(node, "allowzero", 0));
  std::vector<std::uint64_t> shape;
  std::optional<std::size_t> inferred;
  for (std::size_t i = 0; i < requested.size(); ++i) {
    const std::int64_t extent = requested[i];
    if (extent == 0 && allow_zero == 0) {
      if (i >= input.shape.size()) {
        return node_error(node, "shape entry " + std::to_string(i) +
                                    " is 0, but the input has only " +
                                    std::to_string(input.shape.size()) + " dimensions");
      }
      shape.push_back(input.shape[i]);
    } else if (extent == -1 && !inferred) {
      inferred = i;
      shape.push_back(1);
    } else if (extent < 0) {
      return node_error(node, "shape entry " + std::to_string(i) + " is " + std::to_string(extent));
    } else {
      shape.push_back(static_cast<std::uint64_t>(extent));
    }
  }
  if (inferred) {
    const std::optional<std::uint64_t> known = element_count(shape);
    const std::uint64_t total = *element_count(input.shape);
    if (!known || *known == 0 || total % *known != 0) {
      return node_error(node, "cannot infer the -1 of shape entry " + std::to_string(*inferred) +
                                  " for " + std::to_string(total) + " elements");
    }
    shape[*inferred] = total / *known;
  }
  return defined(conversion, node,
                 reshaped(conversion, node, input, std::move(shape), output_name(node, 0)));
}

/// `Flatten` to [product of the axes before `axis`, product of the rest].
Result<void> convert_flatten(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, shaped_input(conversion, node));
  ORVIK_TRY(axis, int_attribute(node, "axis", 1));
  const auto rank = static_cast<std::int64_t>(input.shape.size());
  // Flatten's axis may also equal the rank.
  if (axis < -rank || axis > rank) {
    return node_error(node, "axis " + std::to_string(axis) + " is out of range for rank " +
                                std::to_string(rank));
  }
  const auto middle = input.shape.begin() + (axis < 0 ? axis + rank : axis);
  std::vector<std::uint64_t> shape{product(input.shape.begin(), middle),
                                   product(middle, input.shape.end())};
  return defined(conversion, node,
                 reshaped(conversion, node, input, std::move(shape), output_name(node, 0)));
}

using Axes = std::optional<std::vector<std::int64_t>>;
using AxesReader = Result<Axes> (*)(Conversion& conversion, const Node& node);

/// The axes of `Squeeze` and `Unsqueeze` before opset 13: an attribute.
Result<Axes> axes_attribute(Conversion&, const Node& node) {
  return ints_attribute(node, "axes");
}

/// The axes of `Squeeze` and `Unsqueeze` from opset 13: an optional input, constant when given.
Result<Axes> axes_input(Conversion& conversion, const Node& node) {
  if (!has_input(node, 1)) {
    return Axes{};
  }
  ORVIK_TRY(axes, input_integers(conversion, node, 1, "axes"));
  return Axes(axes);
}

/// `Squeeze` of the axes `axes_of` reads, which must have extent 1, or of every axis of
/// extent 1.
template <AxesReader axes_of>
Result<void> convert_squeeze(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, shaped_input(conversion, node));
  ORVIK_TRY(axes, axes_of(conversion, node));
  const std::uint64_t rank = input.shape.size();
  std::vector<bool> removed(rank, !axes);
  if (axes) {
    for (const std::int64_t axis : *axes) {
      ORVIK_TRY(index, normalised_axis(node, axis, rank, "axis"));
      removed[index] = true;
    }
  }
  std::vector<std::uint64_t> shape;
  for (std::size_t i = 0; i < rank; ++i) {
    if (removed[i] && input.shape[i] != 1 && axes) {
      return node_error(node, "cannot squeeze axis " + std::to_string(i) + " of extent " +
                                  std::to_string(input.shape[i]));
    }
    if (!removed[i] || input.shape[i] != 1) {
      shape.push_back(input.shape[i]);
    }
  }
  return defined(conversion, node,
                 reshaped(conversion, node, input, std::move(shape), output_name(node, 0)));
}

/// `Unsqueeze`: inserts axes of extent 1 at the positions of the result that `axes_of` reads,
/// which it must find.
template <AxesReader axes_of>
Result<void> convert_unsqueeze(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, shaped_input(conversion, node));
  ORVIK_TRY(axes, axes_of(conversion, node));
  if (!axes) {
    return node_error(node, "the axes are missing");
  }
  const std::uint64_t rank = input.shape.size() + axes->size();
  std::vector<bool> inserted(rank, false);
  for (const std::int64_t axis : *axes) {
    ORVIK_TRY(index, normalised_axis(node, axis, rank, "axis"));
    if (inserted[index]) {
      return node_error(node, "axis " + std::to_string(axis) + " is given twice");
    }
    inserted[index] = true;
  }
  std::vector<std::uint64_t> shape;
  std::size_t next = 0;
  for (std::size_t i = 0; i < rank; ++i) {
    shape.push_back(inserted[i] ? 1 : input.shape[next++]);
  }
  return defined(conversion, node,
                 reshaped(conversion, node, input, std::move(shape), output_name(node, 0)));
}

/// `Identity`: the input itself, with no operation.
Result<void> convert_identity(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, shaped_input(conversion, node));
  return defined(conversion, node,
                 reshaped(conversion, node, input, input.shape, output_name(node, 0)));
}

/// `LayerNormalization` over the axes from `axis` on, with its `Scale` and optional `B`; its
/// `Mean` and `InvStdDev` outputs must not be read.
Result<void> convert_layer_normalization(Conversion& conversion, const Node& node) {
  ORVIK_TRY(input, input_tensor(conversion, node, 0));
  ORVIK_TRY(requested, int_attribute(node, "axis", -1));
  ORVIK_TRY(epsilon, float_attribute(node, "epsilon", 1e-5F));
  ORVIK_TRY(stash_type, int_attribute(node, "stash_type", 1));
  if (stash_type != onnx::TensorProto::FLOAT) {
    return node_error(node, "stash_type " + std::to_string(stash_type) +
                                " is not supported; only 1 (float32) is");
  }
  const char* const statistics[] = {"Mean", "InvStdDev"};
  for (int i = 1; i <= 2; ++i) {
    const std::string name = output_name(node, i);
    if (!name.empty() && conversion.readers[name] > 0) {
      return node_error(node, std::string("its ") + statistics[i - 1] + " output \"" + name +
                                  "\" is used; only the normalised output is supported");
    }
  }
  const std::uint64_t rank = conversion.graph().tensors[input.index].shape.size();
  ORVIK_TRY(axis, normalised_axis(node, requested, rank, "axis"));
  ORVIK_TRY(scale, input_value(conversion, node, 1));
  const std::string output = output_name(node, 0);
  LayerNormParts parts{fresh_name(conversion, output + "/normalized"), scale, output, std::nullopt,
                       output};
  if (has_input(node, 2)) {
    ORVIK_TRY(bias, input_value(conversion, node, 2));
    parts.bias = bias;
    parts.scaled = fresh_name(conversion, output + "/scaled");
  }
  return defined(conversion, node,
                 layer_norm(conversion, node, input, rank - axis, epsilon, parts));
}

/// `Constant`: a value known at import; it becomes a weight where an operation reads it.
Result<void> convert_constant(Conversion& conversion, const Node& node) {
  if (node.proto.attribute_size() != 1) {
    return node_error(node, "a constant needs exactly one attribute");
  }
  const onnx::AttributeProto& value = node.proto.attribute(0);
  const std::string& kind = value.name();
  onnx::TensorProto scalar_or_list;
  if (kind == "value") {
    // A copy, whose values the constant then takes over.
    scalar_or_list = value.t();
  } else if (kind == "value_float" || kind == "value_floats") {
    scalar_or_list.set_data_type(onnx::TensorProto::FLOAT);
    if (kind == "value_float") {
      scalar_or_list.add_float_data(value.f());
    } else {
      scalar_or_list.add_dims(value.floats_size());
      *scalar_or_list.mutable_float_data() = value.floats();
    }
  } else if (kind == "value_int" || kind == "value_ints") {
    scalar_or_list.set_data_type(onnx::TensorProto::INT64);
    if (kind == "value_int") {
      scalar_or_list.add_int64_data(value.i());
    } else {
      scalar_or_list.add_dims(value.ints_size());
      *scalar_or_list.mutable_int64_data() = value.ints();
    }
  } else if (kind == "value_string" || kind == "value_strings") {
    scalar_or_list.set_data_type(onnx::TensorProto::STRING);
  } else {
    return node_error(node, "a constant given as \"" + kind + "\" is not supported");
  }
  Result<Value> decoded = decoded_constant(conversion, scalar_or_list, output_name(node, 0));
  if (!decoded) {
    return node_error(node, "value: " + decoded.error().message);
  }
  define(conversion, node, 0, std::move(*decoded));
  return {};
}

struct ConverterEntry {
  std::string_view op_type;
  /// The operator set version from which `convert` holds, until the operator's next entry.
  std::int64_t since_version;
  Converter convert;
};

/// The supported operators in alphabetical order, each one's since-versions in increasing order.
/// A converter for a new version of an operator is one more entry.
constexpr std::array converters{
    ConverterEntry{"Abs", 6, convert_abs},
    ConverterEntry{"Add", 1, convert_add},
    ConverterEntry{"AveragePool", 1, convert_average_pool},
    ConverterEntry{"BatchNormalization", 6, convert_batch_normalization_v6},
    ConverterEntry{"BatchNormalization", 7, convert_batch_normalization_v7},
    ConverterEntry{"BatchNormalization", 9, convert_batch_normalization_v9},
    ConverterEntry{"BatchNormalization", 14, convert_batch_normalization_v14},
    ConverterEntry{"Cast", 6, convert_cast},
    ConverterEntry{"Celu", 12, convert_celu},
    ConverterEntry{"Clip", 6, convert_clip_v6},
    ConverterEntry{"Clip", 11, convert_clip_v11},
    ConverterEntry{"Concat", 4, convert_concat},
    ConverterEntry{"Constant", 1, convert_constant},
    ConverterEntry{"Conv", 1, convert_conv},
    ConverterEntry{"DepthToSpace", 1, convert_depth_to_space},
    ConverterEntry{"Div", 1, convert_div},
    ConverterEntry{"Dropout", 7, convert_dropout_v7},
    ConverterEntry{"Dropout", 10, convert_dropout_v10},
    ConverterEntry{"Dropout", 12, convert_dropout_v12},
    ConverterEntry{"Elu", 6, convert_elu},
    ConverterEntry{"Erf", 9, convert_erf},
    ConverterEntry{"Exp", 6, convert_exp},
    ConverterEntry{"Expand", 8, convert_expand},
    ConverterEntry{"Flatten", 1, convert_flatten},
    ConverterEntry{"Gather", 1, convert_gather},
    ConverterEntry{"Gemm", 1, convert_gemm},
    ConverterEntry{"GlobalAveragePool", 1, convert_global_average_pool},
    ConverterEntry{"GlobalMaxPool", 1, convert_global_max_pool},
    ConverterEntry{"HardSigmoid", 6, convert_hard_sigmoid},
    ConverterEntry{"HardSwish", 14, convert_hard_swish},
    ConverterEntry{"Identity", 1, convert_identity},
    ConverterEntry{"InstanceNormalization", 6, convert_instance_normalization},
    ConverterEntry{"LayerNormalization", 17, convert_layer_normalization},
    ConverterEntry{"LeakyRelu", 6, convert_leaky_relu},
    ConverterEntry{"Log", 6, convert_log},
    ConverterEntry{"LogSoftmax", 1, convert_log_softmax_v1},
    ConverterEntry{"LogSoftmax", 13, convert_log_softmax_v13},
    ConverterEntry{"MatMul", 1, convert_matmul},
    ConverterEntry{"Max", 6, convert_max},
    ConverterEntry{"MaxPool", 1, convert_max_pool},
    ConverterEntry{"Mean", 6, convert_mean},
    ConverterEntry{"MeanVarianceNormalization", 9, convert_mean_variance_normalization},
    ConverterEntry{"Min", 6, convert_min},
    ConverterEntry{"Mul", 1, convert_mul},
    ConverterEntry{"Neg", 6, convert_neg},
    ConverterEntry{"PRelu", 6, convert_prelu_v6},
    ConverterEntry{"PRelu", 7, convert_prelu_v7},
    ConverterEntry{"Pad", 2, convert_pad_v2},
    ConverterEntry{"Pad", 11, convert_pad_v11},
    ConverterEntry{"Pow", 7, convert_pow},
    ConverterEntry{"Reciprocal", 6, convert_reciprocal},
    ConverterEntry{"ReduceL1", 1, convert_reduce_l1},
    ConverterEntry{"ReduceL2", 1, convert_reduce_l2},
    ConverterEntry{"ReduceLogSum", 1, convert_reduce_log_sum},
    ConverterEntry{"ReduceLogSumExp", 1, convert_reduce_log_sum_exp},
    ConverterEntry{"ReduceMax", 1, convert_reduce_max},
    ConverterEntry{"ReduceMean", 1, convert_reduce_mean},
    ConverterEntry{"ReduceMin", 1, convert_reduce_min},
    ConverterEntry{"ReduceProd", 1, convert_reduce_prod},
    ConverterEntry{"ReduceSum", 1, convert_reduce_sum_v1},
    ConverterEntry{"ReduceSum", 13, convert_reduce_sum_v13},
    ConverterEntry{"ReduceSumSquare", 1, convert_reduce_sum_square},
    ConverterEntry{"Relu", 6, convert_relu},
    ConverterEntry{"Reshape", 1, convert_reshape<shape_attribute>},
    ConverterEntry{"Reshape", 5, convert_reshape<shape_input>},
    ConverterEntry{"Selu", 6, convert_selu},
    ConverterEntry{"Shrink", 9, convert_shrink},
    ConverterEntry{"Sigmoid", 6, convert_sigmoid},
    ConverterEntry{"Slice", 10, convert_slice},
    ConverterEntry{"Softmax", 1, convert_softmax_v1},
    ConverterEntry{"Softmax", 13, convert_softmax_v13},
    ConverterEntry{"Softplus", 1, convert_softplus},
    ConverterEntry{"Softsign", 1, convert_softsign},
    ConverterEntry{"SpaceToDepth", 1, convert_space_to_depth},
    ConverterEntry{"Split", 2, convert_split_v11},
    ConverterEntry{"Split", 13, convert_split_v13},
    ConverterEntry{"Sqrt", 6, convert_sqrt},
    ConverterEntry{"Squeeze", 1, convert_squeeze<axes_attribute>},
    ConverterEntry{"Squeeze", 13, convert_squeeze<axes_input>},
    ConverterEntry{"Sub", 1, convert_sub},
    ConverterEntry{"Sum", 6, convert_sum},
    ConverterEntry{"Tanh", 6, convert_tanh},
    ConverterEntry{"Tile", 6, convert_tile},
    ConverterEntry{"Transpose", 1, convert_transpose},
    ConverterEntry{"Unsqueeze", 1, convert_unsqueeze<axes_attribute>},
    ConverterEntry{"Unsqueeze", 13, convert_unsqueeze<axes_input>},
    ConverterEntry{"Where", 9, convert_where},
};

static_assert(std::adjacent_find(converters.begin(), converters.end(),
                                 [](const ConverterEntry& a, const ConverterEntry& b) {
                                   return std::pair(b.op_type, b.since_version) <=
                                          std::pair(a.op_type, a.since_version);
                                 }) == converters.end(),
              "the converters must be ordered by operator, then by since-version, each once");

} // namespace

Converter find_converter(std::string_view op_type, std::int64_t opset) {
  // An operator's entries rise by since-version, so the last one that applies is the newest.
  Converter chosen = nullptr;
  for (const ConverterEntry& entry : converters) {
    if (entry.op_type == op_type && entry.since_version <= opset) {
      chosen = entry.convert;
    }
  }
  return chosen;
}

CompileError unsupported_operator(const Node& node) {
  return node_error(node, "unsupported operator");
}

Result<void> convert_node(Conversion& conversion, const Node& node) {
  ORVIK_TRY(folded, fold_constant_node(conversion, node));
  if (folded) {
    return {};
  }
  const Converter convert = is_default_domain(node.proto.domain())
                                ? find_converter(node.proto.op_type(), conversion.opset)
                                : nullptr;
  if (convert == nullptr) {
    return unsupported_operator(node);
  }
  return convert(conversion, node);
}

} // namespace orvik_compiler::onnx_import
