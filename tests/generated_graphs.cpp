// Random graphs and schedule invariants for the property tests.

#include "generated_graphs.hpp"

#include <algorithm>
#include <map>
#include <sstream>

namespace orvik_compiler::testing {
namespace {

template <class Rng>
std::uint64_t pick(Rng& rng, std::uint64_t low, std::uint64_t high) {
  return std::uniform_int_distribution<std::uint64_t>(low, high)(rng);
}

} // namespace

Graph generated_graph(std::uint64_t seed, std::size_t op_count, std::uint64_t max_extent) {
  std::mt19937_64 rng(seed);
  Graph graph;
  const auto extent = [&] { return pick(rng, 1, max_extent); };
  graph.input("input", {extent(), extent()});
  while (graph.ops.size() < op_count) {
    const TensorId operand{pick(rng, 0, graph.tensors.size() - 1)};
    const std::vector<std::uint64_t> shape = graph.tensors[operand.index].shape;
    // Appended rather than concatenated: g++ 12 warns falsely on "t" + std::string.
    std::string name = "t";
    name += std::to_string(graph.tensors.size());
    switch (pick(rng, 0, 6)) {
    case 0: {
      std::string weight_name = "w";
      weight_name += name;
      const TensorId weight = graph.weight(std::move(weight_name), {shape[1], extent()});
      (void)graph.matmul(name, operand, weight);
      break;
    }
    case 1:
      (void)graph.add(name, operand, operand);
      break;
    case 2:
      (void)graph.transpose(name, operand, {1, 0});
      break;
    case 3:
      (void)graph.softmax(name, operand, pick(rng, 0, 1));
      break;
    case 4:
      (void)graph.layer_norm(name, operand, 1e-5F);
      break;
    case 5:
      (void)graph.gelu(name, operand);
      break;
    default: {
      const TensorId other{pick(rng, 0, graph.tensors.size() - 1)};
      (void)graph.mul(name, operand, other); // fails unless the shapes agree, as intended
      break;
    }
    }
  }
  const std::uint64_t outputs = pick(rng, 1, 3);
  for (std::uint64_t i = 0; i < outputs; ++i) {
    graph.mark_output(TensorId{pick(rng, 0, graph.tensors.size() - 1)});
  }
  return graph;
}

std::string broken_invariant(const Graph& graph, const CompilerOptions& options,
                             const Schedule& schedule) {
  std::ostringstream broken;
  if (schedule.layouts.size() != graph.tensors.size()) {
    return "one layout per tensor";
  }
  std::size_t expected_allocations = 0;
  for (const Layout& layout : schedule.layouts) {
    expected_allocations += layout.tiles.size();
  }
  if (schedule.allocations.size() != expected_allocations) {
    return "one allocation per layout tile";
  }
  std::size_t next = 0;
  for (const Layout& layout : schedule.layouts) {
    for (const std::uint16_t tile : layout.tiles) {
      const Allocation& allocation = schedule.allocations[next++];
      if (allocation.tensor != layout.tensor || allocation.tile != tile) {
        return "allocations in tensor order, then layout-tile order";
      }
      const std::uint64_t end = std::uint64_t{allocation.address} + allocation.size;
      if (allocation.address < options.data_base || end > options.data_limit) {
        return "every block inside the window";
      }
      if (allocation.address != options.data_base && allocation.address % layout.alignment != 0) {
        return "every block at data_base or an aligned address";
      }
      if (allocation.size % layout.alignment != 0 || allocation.live_from > allocation.live_until) {
        return "aligned sizes and forward lifetimes";
      }
    }
  }
  // Pairs are compared within one tile only, so many tiles cost no more than their blocks.
  std::map<std::uint16_t, std::vector<const Allocation*>> by_tile;
  for (const Allocation& allocation : schedule.allocations) {
    by_tile[allocation.tile].push_back(&allocation);
  }
  for (const auto& [tile, blocks] : by_tile) {
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      for (std::size_t j = i + 1; j < blocks.size(); ++j) {
        const Allocation& a = *blocks[i];
        const Allocation& b = *blocks[j];
        if (lifetimes_overlap(a.live_from, a.live_until, b.live_from, b.live_until) &&
            a.address < std::uint64_t{b.address} + b.size &&
            b.address < std::uint64_t{a.address} + a.size) {
          broken << "live blocks share bytes: " << a << " and " << b;
          return broken.str();
        }
      }
    }
  }
  const std::vector<Allocation>& all = schedule.allocations;
  std::map<std::uint16_t, std::uint32_t> peaks;
  for (const Allocation& a : all) {
    std::uint32_t& peak = peaks[a.tile];
    peak = std::max(peak, a.address + a.size - options.data_base);
  }
  if (peaks != schedule.peak_sram) {
    return "every peak the highest block end";
  }
  std::size_t compute_phases = 0;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const auto* exchange = std::get_if<Phase::Exchange>(&schedule.phases[p].value);
    if (exchange == nullptr) {
      ++compute_phases;
      continue;
    }
    const auto* compute = p + 1 < schedule.phases.size()
                              ? std::get_if<Phase::Compute>(&schedule.phases[p + 1].value)
                              : nullptr;
    if (compute == nullptr || exchange->transfers.empty()) {
      return "every exchange directly before a compute phase";
    }
    const std::vector<TensorId>& inputs = graph.ops[compute->op.index].inputs;
    for (const Transfer& transfer : exchange->transfers) {
      if (std::find(inputs.begin(), inputs.end(), transfer.tensor) == inputs.end()) {
        return "an exchange moves only inputs of the next compute phase";
      }
    }
  }
  if (compute_phases != graph.ops.size() || schedule.tile_count != options.tile_count) {
    return "one compute phase per operation";
  }
  return {};
}

} // namespace orvik_compiler::testing
