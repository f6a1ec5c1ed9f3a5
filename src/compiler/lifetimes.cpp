// The lifetime of every tensor in phases, and when two lifetimes overlap.

#include "lifetimes.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace orvik_compiler {

bool lifetimes_overlap(std::uint64_t a_start, std::uint64_t a_end, std::uint64_t b_start,
                       std::uint64_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

std::size_t LifetimeRecorder::checked_tensor(TensorId id) const {
  if (id.index >= lifetimes_.size()) {
    throw std::out_of_range("plan_memory: tensor id " + std::to_string(id.index) +
                            " names no tensor of the graph");
  }
  return static_cast<std::size_t>(id.index);
}

void LifetimeRecorder::compute(std::uint64_t phase, const Op& op) {
  lifetimes_[checked_tensor(op.output)].live_from = phase;
  for (const TensorId input : op.inputs) {
    moved(phase, input);
  }
}

void LifetimeRecorder::moved(std::uint64_t phase, TensorId tensor) {
  std::uint64_t& last = lifetimes_[checked_tensor(tensor)].live_until;
  last = std::max(last, phase);
}

std::vector<Lifetime> LifetimeRecorder::finish(std::uint64_t phase_count) && {
  for (const TensorId output : graph_.outputs) {
    lifetimes_[checked_tensor(output)].live_until = phase_count;
  }
  // A tensor written but never read afterwards is still live at the phase that writes it;
  // without this its range would run backwards and its bytes could be shared while live.
  for (Lifetime& lifetime : lifetimes_) {
    lifetime.live_until = std::max(lifetime.live_until, lifetime.live_from);
  }
  return std::move(lifetimes_);
}

std::vector<Lifetime> tensor_lifetimes(const Graph& graph, std::span<const Phase> phases) {
  LifetimeRecorder recorder(graph);
  for (std::uint64_t p = 0; p < phases.size(); ++p) {
    if (const auto* compute = std::get_if<Phase::Compute>(&phases[p].value)) {
      if (compute->op.index >= graph.ops.size()) {
        throw std::out_of_range("plan_memory: op id " + std::to_string(compute->op.index) +
                                " names no op of the graph");
      }
      recorder.compute(p, graph.ops[static_cast<std::size_t>(compute->op.index)]);
    } else {
      for (const Transfer& transfer : std::get<Phase::Exchange>(phases[p].value).transfers) {
        recorder.moved(p, transfer.tensor);
      }
    }
  }
  return std::move(recorder).finish(phases.size());
}

} // namespace orvik_compiler
