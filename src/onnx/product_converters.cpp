// Converters of the products.

#include "product_converters.hpp"

#include "broadcasting.hpp"
#include "operands.hpp"
#include "reshapes.hpp"
#include "tensor_data.hpp"

#include <algorithm>

namespace orvik_compiler::onnx_import {
namespace {

/// The extents before the last two axes.
std::vector<std::uint64_t> batch_of(const std::vector<std::uint64_t>& shape) {
  return {shape.begin(), shape.end() - 2};
}

bool all_ones(const std::vector<std::uint64_t>& extents) {
  return std::all_of(extents.begin(), extents.end(), [](std::uint64_t e) { return e == 1; });
}

} // namespace

Result<void> convert_matmul(Conversion& conversion, const Node& node) {
  ORVIK_TRY(left, input_value(conversion, node, 0));
  ORVIK_TRY(right, input_value(conversion, node, 1));
  for (const Value* operand : {&left, &right}) {
    if (operand->data_type != onnx::TensorProto::FLOAT) {
      return data_type_error(node, *operand);
    }
  }
  const std::string output = output_name(node, 0);
  const std::string operands = shape_text(left.shape) + " x " + shape_text(right.shape);
  if (left.shape.empty() || right.shape.empty()) {
    return node_error(node, "matmul of " + operands + " is not supported; scalars have no product");
  }
  // A rank-1 left operand is one row, a rank-1 right one one column; the result drops that axis.
  const bool left_vector = left.shape.size() == 1;
  const bool right_vector = right.shape.size() == 1;
  if (left_vector) {
    ORVIK_TRY(row, reshaped(conversion, node, left, {1, left.shape[0]},
                            fresh_name(conversion, output + "/left_row")));
    left = row;
  }
  if (right_vector) {
    ORVIK_TRY(column, reshaped(conversion, node, right, {right.shape[0], 1},
                               fresh_name(conversion, output + "/right_column")));
    right = column;
  }
  const std::uint64_t inner = left.shape.back();
  if (inner != right.shape[right.shape.size() - 2]) {
    return node_error(node, "matmul of " + operands + ": the inner extents " +
                                std::to_string(inner) + " and " +
                                std::to_string(right.shape[right.shape.size() - 2]) + " differ");
  }
  const std::optional<std::vector<std::uint64_t>> batch =
      broadcast_shape(batch_of(left.shape), batch_of(right.shape));
  if (!batch) {
    return node_error(node, "matmul of " + operands + ": the batch extents do not broadcast");
  }
  const std::uint64_t rows = left.shape[left.shape.size() - 2];
  const std::uint64_t columns = right.shape.back();
  std::vector<std::uint64_t> result_shape = *batch;
  if (!left_vector) {
    result_shape.push_back(rows);
  }
  if (!right_vector) {
    result_shape.push_back(columns);
  }
  const bool reshape_after = left_vector || right_vector;
  const std::string product_name =
      reshape_after ? fresh_name(conversion, output + "/product") : output;
  Graph& graph = conversion.graph();
  TensorId product;
  if (batch->empty()) {
    ORVIK_TRY(a, tensor_of(conversion, node, left));
    ORVIK_TRY(b, tensor_of(conversion, node, right));
    ORVIK_TRY(matrix, built(conversion, node, graph.matmul(product_name, a, b)));
    product = matrix;
  } else {
    std::vector<std::uint64_t> left_shape = *batch;
    left_shape.insert(left_shape.end(), {rows, inner});
    ORVIK_TRY(a, broadcast_to(conversion, node, left, left_shape,
                              fresh_name(conversion, output + "/left_broadcast")));
    // A right operand without batch extents other than 1 is one matrix that every batch shares.
    TensorId b;
    if (right.shape.size() == 2) {
      ORVIK_TRY(matrix, tensor_of(conversion, node, right));
      b = matrix;
    } else if (all_ones(batch_of(right.shape))) {
      ORVIK_TRY(matrix, reshaped(conversion, node, right, {inner, columns},
                                 fresh_name(conversion, output + "/right_matrix")));
      ORVIK_TRY(tensor, tensor_of(conversion, node, matrix));
      b = tensor;
    } else {
      std::vector<std::uint64_t> right_shape = *batch;
      right_shape.insert(right_shape.end(), {inner, columns});
      ORVIK_TRY(broadcast, broadcast_to(conversion, node, right, right_shape,
                                        fresh_name(conversion, output + "/right_broadcast")));
      b = broadcast;
    }
    ORVIK_TRY(batched, built(conversion, node, graph.batch_matmul(product_name, a, b)));
    product = batched;
  }
  if (!reshape_after) {
    define_tensor(conversion, node, 0, product);
    return {};
  }
  ORVIK_TRY(result, reshaped(conversion, node, tensor_value(conversion, product),
                             std::move(result_shape), output));
  define(conversion, node, 0, std::move(result));
  return {};
}

} // namespace orvik_compiler::onnx_import
