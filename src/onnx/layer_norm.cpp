// Layer normalisation with its scale and bias.

#include "layer_norm.hpp"

#include "broadcasting.hpp"
#include "operands.hpp"
#include "tensor_data.hpp"

namespace orvik_compiler::onnx_import {
namespace {

/// `input` normalised over its last `axes` axes, named `name`: one LayerNorm over the last axis,
/// or over the trailing axes as the rows of one matrix, with the shape restored afterwards.
Result<TensorId> normalized(Conversion& conversion, const Node& node, TensorId input,
                            std::uint64_t axes, float epsilon, const std::string& name) {
  Graph& graph = conversion.graph();
  if (axes == 1) {
    return built(conversion, node, graph.layer_norm(name, input, epsilon));
  }
  const std::vector<std::uint64_t> shape = graph.tensors[input.index].shape;
  const auto split = static_cast<std::ptrdiff_t>(shape.size() - axes);
  const std::uint64_t rows = *element_count({shape.begin(), shape.begin() + split});
  const std::uint64_t columns = *element_count({shape.begin() + split, shape.end()});
  ORVIK_TRY(matrix,
            built(conversion, node,
                  graph.reshape(fresh_name(conversion, name + "/rows"), input, {rows, columns})));
  ORVIK_TRY(
      normalized_rows,
      built(conversion, node,
            graph.layer_norm(fresh_name(conversion, name + "/rows_normalized"), matrix, epsilon)));
  return built(conversion, node, graph.reshape(name, normalized_rows, shape));
}

} // namespace

Result<TensorId> layer_norm(Conversion& conversion, const Node& node, TensorId input,
                            std::uint64_t axes, float epsilon, const LayerNormParts& parts) {
  Result<TensorId> result = normalized(conversion, node, input, axes, epsilon, parts.normalized);
  if (result && parts.scale) {
    result = elementwise(conversion, node, Elementwise::Mul, tensor_value(conversion, *result),
                         *parts.scale, parts.scaled);
  }
  if (result && parts.bias) {
    result = elementwise(conversion, node, Elementwise::Add, tensor_value(conversion, *result),
                         *parts.bias, parts.biased);
  }
  return result;
}

} // namespace orvik_compiler::onnx_import
