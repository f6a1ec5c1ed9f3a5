// Lowering of every operation to its exchange and compute phases, and the kernel fields.

#include "lower_operations.hpp"

#include "block_size.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvik_compiler {
namespace {

constexpr std::uint64_t worker_threshold = 96;
constexpr std::uint8_t small_kernel_workers = 1;
constexpr std::uint8_t large_kernel_workers = 6;

/// The kernel name of every alternative of `OpKind::Variant`, in the variant's order.
constexpr std::array<std::string_view, std::variant_size_v<OpKind::Variant>> kernel_names{
    "matmul",     "add",          "mul",        "reshape",   "transpose", "layer_norm", "softmax",
    "gelu",       "batch_matmul", "sub",        "div",       "maximum",   "minimum",    "pow",
    "erf",        "tanh",         "exp",        "log",       "sqrt",      "reciprocal", "neg",
    "abs",        "relu",         "sigmoid",    "broadcast", "slice",     "concat",     "gather",
    "reduce_sum", "reduce_mean",  "reduce_max", "cast"};

/// The alternative at `index` with its parameters' default values.
template <std::size_t... Index>
OpKind default_kind(std::size_t index, std::index_sequence<Index...>) {
  OpKind kind;
  ((index == Index ? static_cast<void>(kind.value.emplace<Index>()) : void()), ...);
  return kind;
}

const Layout& layout_of(TensorId id, std::span<const Layout> layouts) {
  if (id.index >= layouts.size()) {
    throw std::out_of_range("lowering: tensor id " + std::to_string(id.index) +
                            " names no tensor of the graph");
  }
  return layouts[id.index];
}

} // namespace

std::uint8_t worker_count(const Tensor& tensor) {
  return tensor.elements() < worker_threshold ? small_kernel_workers : large_kernel_workers;
}

std::string_view operation_name(const OpKind& kind) {
  return kernel_names[kind.value.index()];
}

std::optional<OpKind> operation_kind(std::string_view name) {
  for (std::size_t index = 0; index < kernel_names.size(); ++index) {
    if (kernel_names[index] == name) {
      return default_kind(index, std::make_index_sequence<kernel_names.size()>());
    }
  }
  return std::nullopt;
}

Result<std::vector<Transfer>> input_transfers(const Graph& graph, const Op& op,
                                              std::span<const Layout> layouts) {
  const Layout& output_layout = layout_of(op.output, layouts);
  std::vector<Transfer> transfers;
  for (std::size_t operand = 0; operand < op.inputs.size(); ++operand) {
    const TensorId input = op.inputs[operand];
    // A tensor read more than once moves once, at its first mention.
    if (std::find(op.inputs.begin(), op.inputs.begin() + static_cast<std::ptrdiff_t>(operand),
                  input) != op.inputs.begin() + static_cast<std::ptrdiff_t>(operand)) {
      continue;
    }
    const Layout& input_layout = layout_of(input, layouts);
    // With layouts that are runs 0 .. n-1, an input on as many tiles as the output or more
    // has every share the output needs in place already (position i reads tile i), so it never
    // moves; this test and the 32-bit guard below then cannot fire, since only an input on
    // fewer tiles than the output, hence of at most 1 KiB per tile, is ever sent.
    if (input_layout.tiles == output_layout.tiles &&
        input_layout.sharding == output_layout.sharding) {
      continue;
    }
    const Tensor& tensor = graph.tensors.at(input.index);
    const std::uint64_t bytes = local_bytes(tensor, input_layout);
    const std::size_t sources = input_layout.tiles.size();
    for (std::size_t i = 0; i < output_layout.tiles.size(); ++i) {
      const std::uint16_t source = input_layout.tiles[i % sources];
      const std::uint16_t destination = output_layout.tiles[i];
      if (source == destination) {
        continue;
      }
      if (bytes > std::numeric_limits<std::uint32_t>::max()) {
        return exceeds_data_limit(input_layout.tiles.front(), tensor);
      }
      transfers.push_back(Transfer{source, destination, input, static_cast<std::uint32_t>(bytes)});
    }
  }
  return transfers;
}

Phase::Compute compute_phase(const Graph& graph, const Op& op, const Layout& output_layout) {
  const Tensor& output = graph.tensors.at(op.output.index);
  const std::string_view name = operation_name(op.kind);
  const std::uint8_t workers = worker_count(output);
  Phase::Compute compute{op.id, {}};
  compute.commands.reserve(output_layout.tiles.size());
  for (std::size_t position = 0; position < output_layout.tiles.size(); ++position) {
    const bool tail = position + 1 == output_layout.tiles.size();
    compute.commands.push_back(
        KernelCommand{output_layout.tiles[position], op.output, op.inputs,
                      SpecializationKey{std::string(name), output.shape, workers,
                                        tail ? "tail" : "body", output_layout.alignment}});
  }
  return compute;
}

Result<std::vector<Phase>> lower_operations(const Graph& graph, std::span<const Layout> layouts) {
  std::vector<Phase> phases;
  for (const Op& op : graph.ops) {
    Result<std::vector<Transfer>> transfers = input_transfers(graph, op, layouts);
    if (!transfers) {
      return transfers.error();
    }
    if (!transfers->empty()) {
      if (Result<void> valid = validate_transfers(*transfers); !valid) {
        return valid.error();
      }
      phases.emplace_back(Phase::Exchange{std::move(*transfers)});
    }
    phases.emplace_back(compute_phase(graph, op, layout_of(op.output, layouts)));
  }
  return phases;
}

} // namespace orvik_compiler
