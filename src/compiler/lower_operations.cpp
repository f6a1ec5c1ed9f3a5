// Lowering of every operation to its exchange and compute phases, and the kernel fields.

#include "lower_operations.hpp"

#include "block_size.hpp"

#include "../result_try.hpp"

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

namespace {

/// Calls `visit(input, bytes, source, destination)` for every transfer that `input_transfers`
/// makes, in its order; the first error stops the walk.
template <class Visit>
Result<void> for_each_transfer(const Graph& graph, const Op& op, std::span<const Layout> layouts,
                               Visit&& visit) {
  const Layout& output_layout = layout_of(op.output, layouts);
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
    // Position i reads input tile i mod n, counted without a division.
    std::size_t source_position = 0;
    for (const std::uint16_t destination : output_layout.tiles) {
      const std::uint16_t source = input_layout.tiles[source_position];
      source_position = source_position + 1 == sources ? 0 : source_position + 1;
      if (source == destination) {
        continue;
      }
      if (bytes > std::numeric_limits<std::uint32_t>::max()) {
        return exceeds_data_limit(input_layout.tiles.front(), tensor);
      }
      visit(input, static_cast<std::uint32_t>(bytes), source, destination);
    }
  }
  return {};
}

/// Whether `op` gets an exchange phase: whether some input share must move, or cannot.
bool needs_exchange(const Op& op, std::span<const Layout> layouts) {
  const Layout& output_layout = layout_of(op.output, layouts);
  for (const TensorId input : op.inputs) {
    const Layout& input_layout = layout_of(input, layouts);
    if (input_layout.tiles == output_layout.tiles &&
        input_layout.sharding == output_layout.sharding) {
      continue;
    }
    const std::size_t sources = input_layout.tiles.size();
    std::size_t source_position = 0;
    for (const std::uint16_t destination : output_layout.tiles) {
      if (input_layout.tiles[source_position] != destination) {
        return true;
      }
      source_position = source_position + 1 == sources ? 0 : source_position + 1;
    }
  }
  return false;
}

} // namespace

Result<std::vector<Transfer>> input_transfers(const Graph& graph, const Op& op,
                                              std::span<const Layout> layouts) {
  // Counted first, so that the list is allocated once and at its size: a schedule keeps it.
  std::size_t count = 0;
  if (Result<void> counted = for_each_transfer(
          graph, op, layouts,
          [&](TensorId, std::uint32_t, std::uint16_t, std::uint16_t) { ++count; });
      !counted) {
    return counted.error();
  }
  std::vector<Transfer> transfers;
  transfers.reserve(count);
  (void)for_each_transfer(
      graph, op, layouts,
      [&](TensorId input, std::uint32_t bytes, std::uint16_t source, std::uint16_t destination) {
        transfers.push_back(Transfer{source, destination, input, bytes});
      });
  return transfers;
}

Phase::Compute compute_phase(const Graph& graph, const Op& op, const Layout& output_layout) {
  const Tensor& output = graph.tensors.at(op.output.index);
  const std::string_view name = operation_name(op.kind);
  const std::uint8_t workers = worker_count(output);
  Phase::Compute compute{op.id, {}};
  const std::size_t tile_count = output_layout.tiles.size();
  if (tile_count == 0) {
    return compute;
  }
  // Every command is a copy of one made once, the way a copy of the schedule makes them: the
  // name, shape and inputs are built once rather than per tile.
  compute.commands.reserve(tile_count);
  KernelCommand body{
      output_layout.tiles.front(), op.output, op.inputs,
      SpecializationKey{std::string(name), output.shape, workers, "body", output_layout.alignment}};
  for (std::size_t position = 0; position + 1 < tile_count; ++position) {
    body.tile = output_layout.tiles[position];
    compute.commands.push_back(body);
  }
  body.tile = output_layout.tiles.back();
  body.specialization.role = "tail";
  compute.commands.push_back(std::move(body));
  return compute;
}

namespace {

/// The phases of `lower_operations`, each told to `recorder` as it is made when there is one.
Result<std::vector<Phase>> lower(const Graph& graph, std::span<const Layout> layouts,
                                 LifetimeRecorder* recorder) {
  // One compute phase per operation, and an exchange before it when some input moves.
  // Reserved at its final count, so that the phases are never moved to a larger array.
  // An operation whose inputs all sit on its output's tiles has no transfers and no error to
  // find, so its transfers are not listed.
  std::vector<bool> exchanges(graph.ops.size());
  std::size_t phase_count = graph.ops.size();
  for (std::size_t index = 0; index < graph.ops.size(); ++index) {
    exchanges[index] = needs_exchange(graph.ops[index], layouts);
    phase_count += exchanges[index] ? std::size_t{1} : std::size_t{0};
  }
  std::vector<Phase> phases;
  phases.reserve(phase_count);
  for (std::size_t index = 0; index < graph.ops.size(); ++index) {
    const Op& op = graph.ops[index];
    if (exchanges[index]) {
      Result<std::vector<Transfer>> transfers = input_transfers(graph, op, layouts);
      if (!transfers) {
        return transfers.error();
      }
      if (!transfers->empty()) {
        if (Result<void> valid = validate_transfers(*transfers); !valid) {
          return valid.error();
        }
        if (recorder != nullptr) {
          for (const Transfer& transfer : *transfers) {
            recorder->moved(phases.size(), transfer.tensor);
          }
        }
        phases.emplace_back(Phase::Exchange{std::move(*transfers)});
      }
    }
    if (recorder != nullptr) {
      recorder->compute(phases.size(), op);
    }
    phases.emplace_back(compute_phase(graph, op, layout_of(op.output, layouts)));
  }
  return phases;
}

} // namespace

Result<std::vector<Phase>> lower_operations(const Graph& graph, std::span<const Layout> layouts) {
  return lower(graph, layouts, nullptr);
}

Result<LoweredOperations> lower_operations_with_lifetimes(const Graph& graph,
                                                          std::span<const Layout> layouts) {
  LifetimeRecorder recorder(graph);
  ORVIK_TRY(phases, lower(graph, layouts, &recorder));
  std::vector<Lifetime> lifetimes = std::move(recorder).finish(phases.size());
  return LoweredOperations{std::move(phases), std::move(lifetimes)};
}

} // namespace orvik_compiler
