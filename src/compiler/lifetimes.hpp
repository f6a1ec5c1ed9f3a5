#pragma once

// Lifetimes: the closed range of phases during which each tensor's blocks must hold their bytes.
// One pass over the phases, linear in the phases' operands and transfers. Their overlap test,
// `lifetimes_overlap`, is public and comes with compiler.hpp.

#include "orvik_compiler/compiler.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace orvik_compiler {

/// The phases from the one that writes a tensor to the last one that needs it.
struct Lifetime {
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;

  friend bool operator==(const Lifetime&, const Lifetime&) = default;
};

/// The lifetime of every tensor, by position in `graph.tensors`. A tensor lives from the
/// compute phase that writes it (0 for one that no phase writes, such as inputs and weights) to
/// the last phase that reads it: a compute phase taking it as an input, or an exchange moving
/// it. A graph output lives until the phase count. A tensor that nothing reads after the phase
/// writing it lives at that phase alone. An id in an op, a transfer or the outputs that names
/// no tensor, or a compute phase naming no op, throws std::out_of_range.
std::vector<Lifetime> tensor_lifetimes(const Graph& graph, std::span<const Phase> phases);

/// The lifetimes of `tensor_lifetimes`, gathered phase by phase while a caller makes the phases,
/// so that nothing walks them again.
class LifetimeRecorder {
public:
  explicit LifetimeRecorder(const Graph& graph) : graph_(graph), lifetimes_(graph.tensors.size()) {}

  /// Phase `phase` runs `op`: it writes the output and reads every input.
  void compute(std::uint64_t phase, const Op& op);

  /// Phase `phase`, an exchange, moves `tensor`.
  void moved(std::uint64_t phase, TensorId tensor);

  /// The lifetimes once all `phase_count` phases are recorded.
  std::vector<Lifetime> finish(std::uint64_t phase_count) &&;

private:
  std::size_t checked_tensor(TensorId id) const;

  const Graph& graph_;
  std::vector<Lifetime> lifetimes_;
};

} // namespace orvik_compiler
