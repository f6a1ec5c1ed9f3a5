// The plain memory planner, kept as the oracle of the differential test and the benchmark.

#include "compiler/plain_plan_memory.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace orvik_compiler::testing {
namespace {

constexpr std::uint64_t address_space_end = std::uint64_t{1} << 32U;

struct Lifetimes {
  std::vector<std::uint64_t> produced;
  std::vector<std::uint64_t> consumed;
};

std::uint64_t checked_index(TensorId id, std::size_t tensor_count) {
  if (id.index >= tensor_count) {
    throw std::out_of_range("plan_memory: tensor id " + std::to_string(id.index) +
                            " names no tensor of the graph");
  }
  return id.index;
}

Lifetimes derive_lifetimes(const Graph& graph, std::span<const Phase> phases) {
  const std::size_t tensor_count = graph.tensors.size();
  Lifetimes lifetimes{std::vector<std::uint64_t>(tensor_count, 0),
                      std::vector<std::uint64_t>(tensor_count, 0)};
  auto read_at = [&](TensorId id, std::uint64_t phase) {
    std::uint64_t& last = lifetimes.consumed[checked_index(id, tensor_count)];
    last = std::max(last, phase);
  };
  for (std::uint64_t p = 0; p < phases.size(); ++p) {
    if (const auto* compute = std::get_if<Phase::Compute>(&phases[p].value)) {
      if (compute->op.index >= graph.ops.size()) {
        throw std::out_of_range("plan_memory: op id " + std::to_string(compute->op.index) +
                                " names no op of the graph");
      }
      const Op& op = graph.ops[compute->op.index];
      lifetimes.produced[checked_index(op.output, tensor_count)] = p;
      for (const TensorId input : op.inputs) {
        read_at(input, p);
      }
    } else {
      for (const Transfer& transfer : std::get<Phase::Exchange>(phases[p].value).transfers) {
        read_at(transfer.tensor, p);
      }
    }
  }
  for (const TensorId output : graph.outputs) {
    lifetimes.consumed[checked_index(output, tensor_count)] = phases.size();
  }
  // A tensor written but never read afterwards is still live at the phase that writes it;
  // without this its range would run backwards and its bytes could be shared while live.
  for (std::size_t t = 0; t < tensor_count; ++t) {
    lifetimes.consumed[t] = std::max(lifetimes.consumed[t], lifetimes.produced[t]);
  }
  return lifetimes;
}

CompileError exceeds_limit(std::uint16_t tile, const Tensor& tensor) {
  return CompileError::memory("tile " + std::to_string(tile) + " exceeds data limit allocating " +
                              tensor.name);
}

std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

} // namespace

Result<std::vector<Allocation>> plain_plan_memory(const Graph& graph,
                                                  std::span<const Layout> layouts,
                                                  std::span<const Phase> phases,
                                                  const CompilerOptions& options) {
  if (layouts.size() != graph.tensors.size()) {
    throw std::invalid_argument("plan_memory needs one layout per tensor");
  }
  const Lifetimes lifetimes = derive_lifetimes(graph, phases);
  std::vector<Allocation> allocations;
  // Looked up by tile only and never iterated, so its order never reaches the result.
  std::unordered_map<std::uint16_t, std::vector<Allocation>> by_tile;

  for (const Tensor& tensor : graph.tensors) {
    const Layout& layout = layouts[tensor.id.index];
    if (layout.tiles.empty() || layout.alignment == 0) {
      throw std::invalid_argument("plan_memory needs layouts with tiles and an alignment");
    }
    const std::uint64_t size = align_up(local_bytes(tensor, layout), layout.alignment);
    if (size >= address_space_end) {
      return exceeds_limit(layout.tiles.front(), tensor);
    }
    const std::uint64_t live_from = lifetimes.produced[tensor.id.index];
    const std::uint64_t live_until = lifetimes.consumed[tensor.id.index];

    for (const std::uint16_t tile : layout.tiles) {
      std::vector<Allocation>& placed = by_tile[tile];
      std::uint64_t address = options.data_base;
      std::uint64_t end = address + size;
      while (true) {
        if (end >= address_space_end) {
          return CompileError::memory("address overflow");
        }
        const auto conflict = std::find_if(placed.begin(), placed.end(), [&](const Allocation& a) {
          return lifetimes_overlap(live_from, live_until, a.live_from, a.live_until) &&
                 address < std::uint64_t{a.address} + a.size && a.address < end;
        });
        if (conflict == placed.end()) {
          break;
        }
        address = align_up(std::uint64_t{conflict->address} + conflict->size, layout.alignment);
        end = address + size;
      }
      if (end > options.data_limit) {
        return exceeds_limit(tile, tensor);
      }
      const Allocation allocation{tensor.id,
                                  tile,
                                  static_cast<std::uint32_t>(address),
                                  static_cast<std::uint32_t>(size),
                                  live_from,
                                  live_until};
      placed.push_back(allocation);
      allocations.push_back(allocation);
    }
  }
  return allocations;
}

} // namespace orvik_compiler::testing
