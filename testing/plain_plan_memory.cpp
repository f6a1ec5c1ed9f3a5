// The plain memory planner, kept as the oracle of the differential test and the benchmark.

#include "testing/plain_plan_memory.hpp"

#include "compiler/address_space.hpp"
#include "compiler/block_size.hpp"
#include "compiler/lifetimes.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace orvik_compiler::testing {
namespace {

/// The direct search on one tile: from `data_base`, past the first conflicting block in
/// placement order, again and again until none conflicts. "address overflow" when a candidate's
/// end reaches 2^32.
Result<std::uint64_t> lowest_free_address(const std::vector<Allocation>& placed,
                                          std::uint64_t data_base, std::uint64_t size,
                                          std::uint32_t alignment, Lifetime lifetime) {
  std::uint64_t address = data_base;
  while (address + size < address_space_end) {
    const auto conflict = std::find_if(placed.begin(), placed.end(), [&](const Allocation& a) {
      return lifetimes_overlap(lifetime.live_from, lifetime.live_until, a.live_from,
                               a.live_until) &&
             address < std::uint64_t{a.address} + a.size && a.address < address + size;
    });
    if (conflict == placed.end()) {
      return address;
    }
    address = align_up(std::uint64_t{conflict->address} + conflict->size, alignment);
  }
  return CompileError::memory("address overflow");
}

} // namespace

Result<std::vector<Allocation>> plain_plan_memory(const Graph& graph,
                                                  std::span<const Layout> layouts,
                                                  std::span<const Phase> phases,
                                                  const CompilerOptions& options) {
  if (layouts.size() != graph.tensors.size()) {
    throw std::invalid_argument("plan_memory needs one layout per tensor");
  }
  const std::vector<Lifetime> lifetimes = tensor_lifetimes(graph, phases);
  std::vector<Allocation> allocations;
  // Looked up by tile only and never iterated, so its order never reaches the result.
  std::unordered_map<std::uint16_t, std::vector<Allocation>> by_tile;
  for (std::size_t t = 0; t < graph.tensors.size(); ++t) {
    const Result<std::uint32_t> size = block_size(graph.tensors[t], layouts[t]);
    if (!size) {
      return size.error();
    }
    for (const std::uint16_t tile : layouts[t].tiles) {
      std::vector<Allocation>& placed = by_tile[tile];
      const Result<std::uint64_t> address =
          lowest_free_address(placed, options.data_base, *size, layouts[t].alignment, lifetimes[t]);
      if (!address) {
        return address.error();
      }
      if (*address + *size > options.data_limit) {
        return exceeds_data_limit(tile, graph.tensors[t]);
      }
      placed.push_back(Allocation{graph.tensors[t].id, tile, static_cast<std::uint32_t>(*address),
                                  *size, lifetimes[t].live_from, lifetimes[t].live_until});
      allocations.push_back(placed.back());
    }
  }
  return allocations;
}

} // namespace orvik_compiler::testing
