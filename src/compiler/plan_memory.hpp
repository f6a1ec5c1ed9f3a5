#pragma once

// How the memory planner finds the addresses that `plan_memory` promises, the lowest free
// address of every share, without the direct search's rescans of a tile's blocks.
//
// a. Tiles that receive the same tensors, each as often, in the same order, face the same
//    problem and get the same addresses, so each such group is solved once. The layouts' runs
//    of consecutive ascending tile numbers cut the tiles into spans, which a layout holds whole
//    or not at all; partition refinement, layout by layout, gathers the spans whose sequences
//    agree into groups and lists each group's shares. Compiled layouts are runs 0 .. n-1, which
//    nest: one span, and one group, per distinct tile count, with nothing to refine. A table
//    gives each tile number its span, and each layout that is one run keeps its span range.
// b. The groups are placed one after another. A group's watermark is the latest phase at which
//    one of its blocks starts. The blocks live at the watermark all share that phase, so none of
//    them overlap; their free gaps are kept in address order. A share starting at the watermark
//    (an operation's output, in graph order) meets exactly those blocks, so it goes to the first
//    gap that holds it: the gaps passed over are too narrow, each ending at a block that the
//    direct search would have to move past too. As the watermark rises, the blocks that have
//    ended leave the live gaps, taken from lists of the blocks that end at each phase.
// c. A share that meets every kept block in time (a weight, live from phase 0 until an operation
//    after those placed) goes to the first free gap around all kept blocks, kept the same way
//    from the first such share on.
//    Any other share sweeps an index of the kept blocks by address, made when first needed, in
//    which each node knows the first start, the highest end and the span of lifetimes below it:
//    the sweep passes over every subtree that starts above the candidate's end, ends below it,
//    or lives at other times.
// d. A block is forgotten once it ends before every share of its group still to come, checked
//    each time the kept blocks have doubled, so a chain of short-lived values keeps few.
// e. Each group's addresses replace its list of shares in place. The records are then written
//    tensor by tensor, one run of records per span, all tiles of a span at its group's address.
//
// Step a is `group_tiles` (tile_groups.hpp), steps b to d are `GroupMemory` (group_memory.hpp),
// and plan_memory.cpp drives them and writes the records of step e.

#include "orvik_compiler/compiler.hpp"

#include "lifetimes.hpp"

#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace orvik_compiler {

/// The result of `plan_memory` with the peak table that `peak_per_tile` (compile.hpp) would
/// compute from it, taken per span while the records are written instead of from the records.
struct PlannedMemory {
  std::vector<Allocation> allocations;
  std::map<std::uint16_t, std::uint32_t> peaks;
};

/// `plan_memory` given the lifetimes that `tensor_lifetimes` finds in the phases, with the
/// peak of every tile that holds a block.
Result<PlannedMemory> plan_memory_with_peaks(const Graph& graph, std::span<const Layout> layouts,
                                             const std::vector<Lifetime>& lifetimes,
                                             const CompilerOptions& options);

} // namespace orvik_compiler
