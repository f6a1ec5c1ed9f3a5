#pragma once

// A graph that uses every operation kind with tensors of both element types, for the tests that
// compile and verify it, and the kernel names it must produce.

#include "test_support.hpp"

#include <set>
#include <string>
#include <utility>
#include <variant>

namespace orvik_compiler::testing {

/// The kernel names of every alternative of `OpKind::Variant`.
template <std::size_t... Index>
std::set<std::string> kernel_names_of(std::index_sequence<Index...>) {
  return {std::string(operation_name(OpKind{OpKind::Variant{std::in_place_index<Index>}}))...};
}

inline std::set<std::string> every_kernel_name() {
  return kernel_names_of(std::make_index_sequence<std::variant_size_v<OpKind::Variant>>());
}

/// Token ids gathered from an F32 table into batched products and attention, the binary and
/// unary element-wise kinds, slices joined again, reductions, casts both ways and data movement
/// of I32 tensors. Several ops read one operand more than once, and the joins read operands on
/// fewer tiles than their output, so that those operands move once each. Ops are named after
/// their kernels, with a suffix where a kind is used twice.
inline Graph every_kind_graph() {
  Graph graph;
  const TensorId ids = graph.input("ids", {4, 16}, DType::I32);
  const TensorId table = graph.weight("table", {100, 64});
  const TensorId w = graph.weight("w", {64, 64});
  const TensorId bias = graph.weight("bias", {64});
  const TensorId id_table = graph.weight("id_table", {100, 2}, DType::I32);

  const TensorId embedded = expect_value(graph.gather("gather", table, ids)); // [4, 16, 64]
  const TensorId projected = expect_value(graph.batch_matmul("batch_matmul_shared", embedded, w));
  const TensorId keys = expect_value(graph.transpose("transpose", projected, {0, 2, 1}));
  const TensorId scores = expect_value(graph.batch_matmul("batch_matmul", projected, keys));
  const TensorId attention = expect_value(graph.softmax("softmax", scores, 2));
  const TensorId squares =
      expect_value(graph.batch_matmul("batch_matmul_self", attention, attention));

  const TensorId rows = expect_value(graph.reshape("reshape", projected, {64, 64}));
  const TensorId mixed = expect_value(graph.matmul("matmul", rows, w));
  const TensorId normal = expect_value(graph.layer_norm("layer_norm", mixed, 1e-5F));
  const TensorId activated = expect_value(graph.gelu("gelu", normal));
  const TensorId spread = expect_value(graph.broadcast("broadcast", bias, {64, 64}));
  const TensorId summed = expect_value(graph.add("add", activated, spread));
  const TensorId difference = expect_value(graph.sub("sub", summed, normal));
  const TensorId product = expect_value(graph.mul("mul", difference, difference));
  const TensorId quotient = expect_value(graph.div("div", product, mixed));
  const TensorId larger = expect_value(graph.maximum("maximum", quotient, normal));
  const TensorId smaller = expect_value(graph.minimum("minimum", larger, activated));
  TensorId value = expect_value(graph.pow("pow", smaller, activated));
  value = expect_value(graph.erf("erf", value));
  value = expect_value(graph.tanh("tanh", value));
  value = expect_value(graph.exp("exp", value));
  value = expect_value(graph.log("log", value));
  value = expect_value(graph.sqrt("sqrt", value));
  value = expect_value(graph.reciprocal("reciprocal", value));
  value = expect_value(graph.neg("neg", value));
  value = expect_value(graph.abs("abs", value));
  value = expect_value(graph.relu("relu", value));
  value = expect_value(graph.sigmoid("sigmoid", value));

  const TensorId halves = expect_value(graph.slice("slice", value, 1, 0, 64, 2)); // [64, 32]
  const TensorId joined = expect_value(graph.concat("concat", {halves, halves, halves}, 1));
  const TensorId total = expect_value(graph.reduce_sum("reduce_sum", joined, 1));
  const TensorId mean = expect_value(graph.reduce_mean("reduce_mean", joined, 0));
  const TensorId peak = expect_value(graph.reduce_max("reduce_max", joined, 1));

  const TensorId peak_ids = expect_value(graph.cast("cast", peak, DType::I32)); // [64, 1]
  const TensorId id_row = expect_value(graph.reshape("reshape_ids", peak_ids, {1, 64}));
  const TensorId ids_wide = expect_value(graph.broadcast("broadcast_ids", id_row, {8, 64}));
  const TensorId ids_part = expect_value(graph.slice("slice_ids", ids_wide, 1, 1, 64, 3));
  const TensorId ids_joined =
      expect_value(graph.concat("concat_ids", {ids_part, ids_part}, 0)); // [16, 21]
  const TensorId picked = expect_value(graph.gather("gather_ids", id_table, ids_joined));
  const TensorId picked_values = expect_value(graph.cast("cast_back", picked, DType::F32));
  const TensorId ids_by_column = expect_value(graph.transpose("transpose_ids", ids, {1, 0}));

  for (const TensorId output :
       {squares, total, mean, picked_values, ids_by_column, ids_joined, joined}) {
    graph.mark_output(output);
  }
  return graph;
}

} // namespace orvik_compiler::testing
