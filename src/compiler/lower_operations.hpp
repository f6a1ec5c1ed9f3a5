#pragma once

// Lowering: every operation becomes an exchange phase, when some input must move to the tiles
// of its output, and then its compute phase. Decides which shares move where, the kernel
// command of every output tile and its kernel fields. Linear in the transfers and commands made.

#include "lifetimes.hpp"

#include "orvik_compiler/compiler.hpp"

#include <span>
#include <vector>

namespace orvik_compiler {

/// The transfers that bring every input of `op` to the tiles of its output, inputs in operand
/// order, a tensor read twice moved once: output position i receives from input tile i mod n (n the
/// input's tile count), unless that is the same tile. "tile {t} exceeds data limit allocating
/// {name}" for a share of 2^32 bytes or more. Ids must name tensors that `layouts` covers
/// (std::out_of_range otherwise).
Result<std::vector<Transfer>> input_transfers(const Graph& graph, const Op& op,
                                              std::span<const Layout> layouts);

/// One kernel command per tile of `output_layout`, in its order, each carrying the op's output
/// and inputs; the last tile's command has the role "tail", every other "body".
Phase::Compute compute_phase(const Graph& graph, const Op& op, const Layout& output_layout);

/// Per operation in stored order: an exchange phase of its input transfers when there are any
/// (checked by `validate_transfers`), then its compute phase. The first error is returned.
Result<std::vector<Phase>> lower_operations(const Graph& graph, std::span<const Layout> layouts);

/// The phases of `lower_operations` and the lifetimes that `tensor_lifetimes` finds in them.
struct LoweredOperations {
  std::vector<Phase> phases;
  std::vector<Lifetime> lifetimes;
};

/// `lower_operations`, with the lifetimes gathered while the phases are made rather than by a
/// second walk over them and the graph's operations.
Result<LoweredOperations> lower_operations_with_lifetimes(const Graph& graph,
                                                          std::span<const Layout> layouts);

} // namespace orvik_compiler
