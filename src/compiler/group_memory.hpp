#pragma once

// The data memory of one tile group while the planner fills it.

#include "block_index.hpp"
#include "free_space.hpp"
#include "placed_block.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace orvik_compiler {

/// The blocks placed so far in one tile group's memory, and the search for the next share's
/// lowest free address: steps b to d of the planner comment in plan_memory.hpp. Shares
/// arrive in placement order; empty blocks meet nothing and are not kept.
class GroupMemory {
public:
  /// Forgets every block; the lowest address of the next placements is `base`.
  void reset(std::uint32_t base);

  /// Readies the search for a share live from `live_from`: the watermark rises to it, and the
  /// blocks that end before the watermark stop counting as live.
  void advance(std::uint64_t live_from);

  /// Whether the kept blocks have doubled in number since they were last thinned out.
  bool due_to_forget() const {
    return kept_.size() >= 2 * std::max<std::size_t>(kept_after_forgetting_, 8);
  }

  /// Forgets the blocks that end before `phase`, which is no later than the start of the share
  /// being placed and of every share the group places after it, so none of them can meet one.
  void forget_ended(std::uint64_t phase);

  /// The lowest address x among the base and the multiples of `alignment` above it such that
  /// [x, x + size) meets no block whose lifetime overlaps [live_from, live_until]; it may lie at
  /// 2^32 or above. The last call before was `advance(live_from)` or `forget_ended`.
  std::uint64_t lowest_free(std::uint32_t size, std::uint32_t alignment, std::uint64_t live_from,
                            std::uint64_t live_until);

  /// Adds the block that `lowest_free` found for the share last prepared.
  void place(const PlacedBlock& block);

  /// How many blocks the memory keeps now.
  std::size_t kept() const { return kept_.size(); }

private:
  /// A block live at the watermark, by the phase it ends at.
  struct LiveBlock {
    std::uint64_t live_until = 0;
    std::uint32_t start = 0;
    std::uint32_t end = 0;
  };

  /// Sets `kept_free_` to the gaps around the kept blocks, which it sorts by address.
  void cover_kept();

  /// Free bytes around the blocks live at the watermark.
  FreeSpace live_free_;
  /// Free bytes around every kept block, gathered at the first share that needs them.
  FreeSpace kept_free_;
  bool covered_ = false;
  /// The blocks that a later share may still meet, in no particular order.
  std::vector<PlacedBlock> kept_;
  /// The blocks live at the watermark, a heap with the one that ends first on top.
  std::vector<LiveBlock> live_by_end_;
  /// The kept blocks by address, made at the first share that needs it.
  BlockIndex index_;
  bool indexed_ = false;
  std::size_t kept_after_forgetting_ = 0;
  std::uint64_t kept_min_until_ = 0;
  std::uint64_t kept_max_from_ = 0;
  std::uint64_t watermark_ = 0;
  std::uint32_t base_ = 0;
};

} // namespace orvik_compiler
