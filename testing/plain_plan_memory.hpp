#pragma once

// The plain memory planner: the placement algorithm written the obvious way, kept as the oracle
// that the library's planner is compared with, element for element and error for error.

#include <orvik_compiler/orvik_compiler.hpp>

#include <span>
#include <vector>

namespace orvik_compiler::testing {

/// Places every share exactly as `plan_memory` promises to, by the direct search: for each
/// share the candidate starts at `data_base` and, while some block already on the tile overlaps
/// it in lifetime and bytes, moves to the aligned end of the first such block in placement
/// order, scanning the tile's blocks again after every move. Same arguments, results, errors
/// and throws as `plan_memory`. Its cost grows with the cube of the blocks on one tile.
Result<std::vector<Allocation>> plain_plan_memory(const Graph& graph,
                                                  std::span<const Layout> layouts,
                                                  std::span<const Phase> phases,
                                                  const CompilerOptions& options);

} // namespace orvik_compiler::testing
