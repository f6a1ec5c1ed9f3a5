// The compile driver: a validated graph becomes a complete schedule.

#include "orvik_compiler/compiler.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

namespace orvik_compiler {
namespace {

Result<void> check_options(const CompilerOptions& options) {
  if (options.tile_count == 0 || options.data_base >= options.data_limit) {
    return CompileError::graph("invalid compiler options");
  }
  return {};
}

std::vector<Layout> choose_layouts(const Graph& graph, std::uint16_t tile_count) {
  std::vector<Layout> layouts;
  layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) {
    layouts.push_back(choose_layout(tensor, tile_count));
  }
  return layouts;
}

/// The transfers that bring every input of `op` to the tiles of its output: output position i
/// receives from input tile i mod n, unless that is the same tile.
Result<std::vector<Transfer>> gather_inputs(const Graph& graph, const Op& op,
                                            std::span<const Layout> layouts) {
  const Layout& output_layout = layouts[op.output.index];
  std::vector<Transfer> transfers;
  for (const TensorId input : op.inputs) {
    const Layout& input_layout = layouts[input.index];
    if (input_layout.tiles == output_layout.tiles &&
        input_layout.sharding == output_layout.sharding) {
      continue;
    }
    const Tensor& tensor = graph.tensors[input.index];
    const std::uint64_t bytes = local_bytes(tensor, input_layout);
    const std::size_t sources = input_layout.tiles.size();
    for (std::size_t i = 0; i < output_layout.tiles.size(); ++i) {
      const std::uint16_t source = input_layout.tiles[i % sources];
      const std::uint16_t destination = output_layout.tiles[i];
      if (source == destination) {
        continue;
      }
      // No tile window can hold a share that does not fit 32 bits; never narrow it silently.
      if (bytes > std::numeric_limits<std::uint32_t>::max()) {
        return CompileError::memory("tile " + std::to_string(input_layout.tiles.front()) +
                                    " exceeds data limit allocating " + tensor.name);
      }
      transfers.push_back(Transfer{source, destination, input, static_cast<std::uint32_t>(bytes)});
    }
  }
  return transfers;
}

/// One kernel command per tile of the output layout; the last tile's command is the "tail".
Phase::Compute compute_phase(const Graph& graph, const Op& op, const Layout& output_layout) {
  const Tensor& output = graph.tensors[op.output.index];
  const std::string_view name = operation_name(op.kind);
  const std::uint8_t workers = worker_count(output);
  Phase::Compute compute{op.id, {}};
  compute.commands.reserve(output_layout.tiles.size());
  for (const std::uint16_t tile : output_layout.tiles) {
    const bool tail = tile == output_layout.tiles.back();
    compute.commands.push_back(
        KernelCommand{tile, op.output, op.inputs,
                      SpecializationKey{std::string(name), output.shape, workers,
                                        tail ? "tail" : "body", output_layout.alignment}});
  }
  return compute;
}

/// Per operation in stored order: an exchange phase when some input must move, then the
/// operation's compute phase.
Result<std::vector<Phase>> lower_operations(const Graph& graph, std::span<const Layout> layouts) {
  std::vector<Phase> phases;
  for (const Op& op : graph.ops) {
    Result<std::vector<Transfer>> transfers = gather_inputs(graph, op, layouts);
    if (!transfers) {
      return transfers.error();
    }
    if (!transfers->empty()) {
      if (Result<void> valid = validate_transfers(*transfers); !valid) {
        return valid.error();
      }
      phases.emplace_back(Phase::Exchange{std::move(*transfers)});
    }
    phases.emplace_back(compute_phase(graph, op, layouts[op.output.index]));
  }
  return phases;
}

/// The highest block end above `data_base` of every tile that holds a block: one pass into a
/// table indexed by tile, then the map filled in ascending tile order, each entry appended at
/// its end, so the cost is linear in the allocations rather than a tree search for each.
std::map<std::uint16_t, std::uint32_t> peak_per_tile(std::span<const Allocation> allocations,
                                                     const CompilerOptions& options) {
  std::vector<std::optional<std::uint32_t>> by_tile;
  for (const Allocation& allocation : allocations) {
    if (allocation.tile >= by_tile.size()) {
      by_tile.resize(std::size_t{allocation.tile} + 1);
    }
    const std::uint32_t high_water = allocation.address + allocation.size - options.data_base;
    std::optional<std::uint32_t>& peak = by_tile[allocation.tile];
    peak = std::max(peak.value_or(0), high_water);
  }
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (std::size_t tile = 0; tile < by_tile.size(); ++tile) {
    if (by_tile[tile]) {
      peaks.emplace_hint(peaks.end(), static_cast<std::uint16_t>(tile), *by_tile[tile]);
    }
  }
  return peaks;
}

} // namespace

Result<Schedule> compile(const Graph& graph, const CompilerOptions& options) {
  if (Result<void> valid = graph.validate(); !valid) {
    return valid.error();
  }
  if (Result<void> valid = check_options(options); !valid) {
    return valid.error();
  }
  std::vector<Layout> layouts = choose_layouts(graph, options.tile_count);
  Result<std::vector<Phase>> phases = lower_operations(graph, layouts);
  if (!phases) {
    return phases.error();
  }
  Result<std::vector<Allocation>> allocations = plan_memory(graph, layouts, *phases, options);
  if (!allocations) {
    return allocations.error();
  }
  std::map<std::uint16_t, std::uint32_t> peak_sram = peak_per_tile(*allocations, options);
  return Schedule{std::move(layouts), std::move(*phases), std::move(*allocations),
                  options.tile_count, std::move(peak_sram)};
}

} // namespace orvik_compiler
