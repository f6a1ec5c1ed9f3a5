// The compile driver: a validated graph becomes a complete schedule.

#include "compile.hpp"

#include "lower_operations.hpp"
#include "plan_memory.hpp"

#include <algorithm>
#include <optional>

namespace orvik_compiler {
namespace {

std::vector<Layout> choose_layouts(const Graph& graph, std::uint16_t tile_count) {
  std::vector<Layout> layouts;
  layouts.reserve(graph.tensors.size());
  for (const Tensor& tensor : graph.tensors) {
    layouts.push_back(choose_layout(tensor, tile_count));
  }
  return layouts;
}

} // namespace

Result<void> check_options(const CompilerOptions& options) {
  if (options.tile_count == 0 || options.data_base >= options.data_limit) {
    return CompileError::graph("invalid compiler options");
  }
  return {};
}

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
  // Filled in ascending tile order, each entry appended at the map's end: linear, rather than
  // a tree search per allocation.
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (std::size_t tile = 0; tile < by_tile.size(); ++tile) {
    if (by_tile[tile]) {
      peaks.emplace_hint(peaks.end(), static_cast<std::uint16_t>(tile), *by_tile[tile]);
    }
  }
  return peaks;
}

Result<Schedule> compile(const Graph& graph, const CompilerOptions& options) {
  if (Result<void> valid = graph.validate(); !valid) {
    return valid.error();
  }
  if (Result<void> valid = check_options(options); !valid) {
    return valid.error();
  }
  std::vector<Layout> layouts = choose_layouts(graph, options.tile_count);
  Result<LoweredOperations> lowered = lower_operations_with_lifetimes(graph, layouts);
  if (!lowered) {
    return lowered.error();
  }
  Result<PlannedMemory> planned =
      plan_memory_with_peaks(graph, layouts, lowered->lifetimes, options);
  if (!planned) {
    return planned.error();
  }
  return Schedule{std::move(layouts), std::move(lowered->phases), std::move(planned->allocations),
                  options.tile_count, std::move(planned->peaks)};
}

} // namespace orvik_compiler
