#pragma once

// The tile compiler: the compile driver and the steps it calls, in the order it calls them.

#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/schedule.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace orvik_compiler {

// ---- Layout choice ---------------------------------------------------------------------------
//
// Decides how many tiles hold each tensor (one per started KiB of data, at most the target's
// tile count, always the run 0 .. n-1) and the label of the split. Constant time per call,
// except the layout's tile list.

/// The layout of one tensor: tiles 0 .. n-1 with n = ceil(4 * elements / 1024) clamped to
/// 1 .. `tile_count`; `Columns` for a rank-2 weight, `Heads` for rank 3 or more, `Rows` for
/// rank 2, `Replicated` otherwise; alignment 16. A tensor of 64 MiB or more gets `tile_count`
/// tiles; a tile count of 0 is taken as 1. Throws std::overflow_error when the byte count does
/// not fit 64 bits.
Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count);

/// The number of tiles in `choose_layout`'s layout of `tensor`, without building the layout:
/// constant time beyond the tensor's rank. Throws std::overflow_error like `choose_layout`.
std::uint16_t layout_tile_count(const Tensor& tensor, std::uint16_t tile_count);

/// Bytes of one tile's share: ceil(4 * elements / tiles), the same for every share. The
/// layout must have at least one tile (std::invalid_argument otherwise).
std::uint64_t local_bytes(const Tensor& tensor, const Layout& layout);

// ---- Kernel specialisation -------------------------------------------------------------------
//
// The two kernel fields that depend on the operation alone; constant time.

/// Workers of a kernel producing `tensor`: 1 below 96 elements, 6 from 96 on.
std::uint8_t worker_count(const Tensor& tensor);

/// The kernel name of an operation kind, the builder method's name ("matmul", "layer_norm",
/// "batch_matmul", "reduce_sum", ...); the kind's data does not enter.
std::string_view operation_name(const OpKind& kind);

/// The operation kind of a kernel name, with its parameters at their defaults; nothing for a
/// name that `operation_name` never gives.
std::optional<OpKind> operation_kind(std::string_view name);

// ---- Exchange check --------------------------------------------------------------------------
//
// Accepts or rejects the transfers of one exchange epoch, in list order, first failure wins:
// "invalid exchange transfer" for a send from a tile to itself or of zero bytes, then
// "multiple sends target one tensor region in an epoch" for a second send of one tensor to one
// tile. O(n log n) time on any list, whatever its tensors and tiles: the destinations are
// sorted with their positions, in one allocation per call.

Result<void> validate_transfers(std::span<const Transfer> transfers);

// ---- Memory planning -------------------------------------------------------------------------
//
// Decides the address of every share on every tile and its lifetime in phases.
//
// 1. Lifetimes: a tensor lives from the compute phase that writes it (0 for inputs and weights)
//    to the last phase that reads it, compute or exchange; a graph output lives until the phase
//    count, and a tensor that nothing reads at its phase alone.
// 2. Placement, in tensor order and then in the order of each layout's tiles: a share goes to
//    the lowest address x among `data_base` and the multiples of the alignment above it such
//    that [x, x + size) meets no block on the tile whose lifetime overlaps its own. This is
//    where the direct search ends (start at `data_base`; while a live block overlaps the
//    candidate, move to that block's aligned end), because every address that search skips
//    overlaps the block it skips past; so the order of a tile's blocks does not matter.
// 3. A block whose end passes `data_limit` is "tile {tile} exceeds data limit allocating
//    {name}", and so is a share of 2^32 bytes or more; a lowest free address whose end reaches
//    2^32 is "address overflow". Both are `CompileError::Memory`, and the first share in
//    placement order that fails decides the error and the tile it names.
//
// Tiles that receive the same tensors, each as often and in the same order, are solved once
// as a group; a group places its shares one after another, keeping the free gaps around the
// blocks live at the latest start so far, the gaps around all blocks a later share may meet,
// and, for the shares that neither view answers, an index of those blocks by address.
//
// Cost: with N tensors, A allocations, S spans (runs of tiles that every layout holds whole or
// not at all: one per layout and distinct smaller tile count for compiled layouts), P shares
// placed by the groups and Q phases: time O(N + A + S + P + Q / 64 per group), plus for each
// share the gaps passed over and, when a gap opens or closes, the gaps above it moved by one
// place in their array. The address index adds, per share that needs it, O(log) per subtree
// passed over and one step per block that meets the candidate. Working memory beside the
// result, whose A records are reserved once after the placement: 40 bytes per tensor
// (lifetime, block size, alignment, id, span range), 4 per share placed (its tensor, then its
// address), 2 per tile number up to the highest named, and the blocks and gaps of the one group
// being placed, with its live blocks listed by the phase they end at (a bit and a link per
// phase); the group keeps a block only while a later share of the group may meet it.

/// True when the closed ranges [a_start, a_end] and [b_start, b_end] share a phase: the one
/// overlap test of lifetimes, for the planner and for every check of a schedule.
bool lifetimes_overlap(std::uint64_t a_start, std::uint64_t a_end, std::uint64_t b_start,
                       std::uint64_t b_end);

/// `value` rounded up to a multiple of `alignment`: the padding that gives a share its block,
/// for code that builds or edits schedules for `verify_schedule` outside `compile`. Throws
/// std::invalid_argument for an alignment of 0 and std::overflow_error when the result does
/// not fit 32 bits.
std::uint32_t align_u32(std::uint32_t value, std::uint32_t alignment);

/// Places every share of every tensor. Expects a validated graph, `layouts[i]` the layout of
/// tensor i with at least one tile and a non-zero alignment, and the complete phase list.
Result<std::vector<Allocation>> plan_memory(const Graph& graph, std::span<const Layout> layouts,
                                            std::span<const Phase> phases,
                                            const CompilerOptions& options);

// ---- Compile driver --------------------------------------------------------------------------

/// Lowers a graph to a complete schedule: validates the graph, then the options ("invalid
/// compiler options" for 0 tiles or an empty window), chooses every layout, gives each
/// operation an exchange phase when an input must move to the output's tiles and then one
/// compute phase, plans memory and takes each tile's peak. Every callee's error is returned
/// unchanged and no partial schedule is ever returned. Equal inputs give equal schedules.
Result<Schedule> compile(const Graph& graph, const CompilerOptions& options);

} // namespace orvik_compiler
