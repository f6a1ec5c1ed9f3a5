// The lifetime of every tensor in phases, and when two lifetimes overlap.

#include "lifetimes.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace orvik_compiler {
namespace {

std::size_t checked_tensor(TensorId id, std::size_t tensor_count) {
  if (id.index >= tensor_count) {
    throw std::out_of_range("plan_memory: tensor id " + std::to_string(id.index) +
                            " names no tensor of the graph");
  }
  return static_cast<std::size_t>(id.index);
}

} // namespace

bool lifetimes_overlap(std::uint64_t a_start, std::uint64_t a_end, std::uint64_t b_start,
                       std::uint64_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

std::vector<Lifetime> tensor_lifetimes(const Graph& graph, std::span<const Phase> phases) {
  const std::size_t tensor_count = graph.tensors.size();
  std::vector<Lifetime> lifetimes(tensor_count);
  auto read_at = [&](TensorId id, std::uint64_t phase) {
    std::uint64_t& last = lifetimes[checked_tensor(id, tensor_count)].live_until;
    last = std::max(last, phase);
  };
  for (std::uint64_t p = 0; p < phases.size(); ++p) {
    if (const auto* compute = std::get_if<Phase::Compute>(&phases[p].value)) {
      if (compute->op.index >= graph.ops.size()) {
        throw std::out_of_range("plan_memory: op id " + std::to_string(compute->op.index) +
                                " names no op of the graph");
      }
      const Op& op = graph.ops[static_cast<std::size_t>(compute->op.index)];
      lifetimes[checked_tensor(op.output, tensor_count)].live_from = p;
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
    lifetimes[checked_tensor(output, tensor_count)].live_until = phases.size();
  }
  // A tensor written but never read afterwards is still live at the phase that writes it;
  // without this its range would run backwards and its bytes could be shared while live.
  for (Lifetime& lifetime : lifetimes) {
    lifetime.live_until = std::max(lifetime.live_until, lifetime.live_from);
  }
  return lifetimes;
}

} // namespace orvik_compiler
