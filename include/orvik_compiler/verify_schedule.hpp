#pragma once

// The schedule verifier: checks every promise of a `Schedule` against its graph and options,
// whoever made the schedule (`compile`, a hand edit, another tool).

#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/result.hpp"
#include "orvik_compiler/schedule.hpp"

namespace orvik_compiler {

/// Checks `schedule` against `graph` and `options`, rule by rule in the order below; the first
/// broken rule decides. Every failure is a `CompileError::Graph` whose message names the rule
/// and the records involved: phases, commands, transfers and allocations by their position in
/// the schedule, tensors and ops by name, addresses in hexadecimal, for example
/// `allocation 12 (tensor "q" on tile 3) overlaps allocation 7 (tensor "norm1") at bytes
/// 0x52400..0x52800 during phases 2..4`.
///
///  1. The graph validates (its own error) and the options are valid ("invalid compiler
///     options").
///  2. `tile_count` equals the options' tile count.
///  3. One layout per tensor, in tensor order, each naming its tensor, with at least one tile,
///     every tile below `tile_count` and none twice, and an alignment that is a power of two.
///  4. Every phase refers to existing records: a compute phase to an op of the graph, every
///     command to a tile below `tile_count` and to tensors of the graph, every transfer to
///     tiles below `tile_count` and a tensor of the graph.
///  5. Compute phases: one per op, in op order; one command per tile of the output layout, in
///     its order, each carrying the op's output and inputs; the role "tail" on the last command
///     and "body" on every other, compared whole; every key as the kernel rules give it (kernel
///     name, output shape, worker count, output alignment).
///  6. Exchange phases: each directly precedes a compute phase, passes `validate_transfers`,
///     and holds exactly the transfers that bring the op's inputs to its output tiles (output
///     position i from input tile i mod n, inputs in operand order); an op that needs
///     transfers has its exchange phase.
///  7. Allocations: exactly one per share, in placement order (tensor order, then the order of
///     the layout's tiles); each of the share's size padded to the alignment, inside the data
///     window, at `data_base` or an aligned address, with a lifetime that runs forward.
///  8. Liveness: every tensor's blocks are live from the phase that writes it (phase 0 for one
///     that nothing writes) to the last phase that reads it, compute or exchange, and a graph
///     output's until the phase count.
///  9. No two allocations on one tile whose lifetimes overlap share a byte; tiles are checked in
///     ascending order and, on a tile, blocks in order of the phase they become live.
/// 10. `peak_sram` holds, for exactly the tiles that hold a block, the highest block end above
///     `data_base`.
///
/// Never throws on a malformed schedule: ids, tiles and numbers out of range are diagnosed, not
/// followed. Time O(A log A + X log X + S) for A allocations, X transfers and S the size of the
/// phases, whatever the keys. Memory beyond the graph and the schedule is linear in the records
/// they already hold: each op's key is made once, not once per command.
Result<void> verify_schedule(const Graph& graph, const CompilerOptions& options,
                             const Schedule& schedule);

} // namespace orvik_compiler
