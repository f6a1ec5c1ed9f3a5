// Counting a schedule's records from its graph and options.

#include "schedule_counts.hpp"

#include <utility>

namespace orvik_compiler::schedule_io {

std::uint64_t decimal_digits(std::uint64_t value) {
  std::uint64_t count = 1;
  while (value >= 10) {
    value /= 10;
    ++count;
  }
  return count;
}

ScheduleCounts count_schedule(const Graph& graph, const CompilerOptions& options) {
  ScheduleCounts counts;
  counts.tile_count = options.tile_count;
  for (const Tensor& tensor : graph.tensors) {
    counts.tensors.push_back({layout_tile_count(tensor, options.tile_count), tensor.shape.size()});
  }
  for (const Op& op : graph.ops) {
    ScheduleCounts::Operation operation;
    operation.output = static_cast<std::size_t>(op.output.index);
    const std::uint64_t output_tiles = counts.tensors.at(operation.output).tiles;
    for (const TensorId input : op.inputs) {
      operation.inputs.push_back(static_cast<std::size_t>(input.index));
      // Layouts are runs of tiles from 0, so an input on fewer tiles than the output is sent
      // to each tile past its own, and one on as many tiles or more is never sent.
      const std::uint64_t input_tiles = counts.tensors.at(operation.inputs.back()).tiles;
      operation.transfers += output_tiles > input_tiles ? output_tiles - input_tiles : 0;
    }
    for (const std::uint64_t extent : graph.tensors.at(operation.output).shape) {
      operation.shape_digits += decimal_digits(extent) + 1;
    }
    counts.operations.push_back(std::move(operation));
  }
  counts.tile_digits = decimal_digits(options.tile_count);
  counts.tensor_digits = decimal_digits(graph.tensors.size());
  counts.operation_digits = decimal_digits(graph.ops.size());
  counts.phase_digits = decimal_digits(2 * graph.ops.size() + 1);
  counts.address_digits = decimal_digits(options.data_limit);
  return counts;
}

} // namespace orvik_compiler::schedule_io
