#pragma once

// The data memory of one tile group while the planner fills it.

#include "block_index.hpp"
#include "free_space.hpp"
#include "placed_block.hpp"

#include <algorithm>
#include <array>
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

  /// Adds the block that `lowest_free` found for the share last prepared. Inline, and handing
  /// the fields on one by one, so that a block built just before is never read back from memory
  /// at a width it was not written in.
  void place(const PlacedBlock& block) {
    place_fields(block.start, block.end, block.live_from, block.live_until);
  }

  /// How many blocks the memory keeps now.
  std::size_t kept() const { return kept_.size(); }

private:
  /// A block live at the watermark, in the list of those that end at its last phase.
  struct LiveBlock {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    /// The next block of the list, or `no_block`.
    std::uint32_t next = 0;
  };

  static constexpr std::uint32_t no_block = 0xFFFFFFFF;

  /// How many live blocks the group may have at once and still be answered by `few_live_`.
  static constexpr std::size_t few = 8;

  /// Adds a block live at the watermark to the list of its last phase.
  void add_live(std::uint32_t start, std::uint32_t end, std::uint64_t live_until);

  /// The lowest free address among the base and the multiples of `alignment` above it that
  /// holds `size` bytes between the blocks of `few_live_`.
  std::uint64_t first_fit_few(std::uint32_t size, std::uint32_t alignment) const;

  /// `place` for the block [start, end) live from `live_from` to `live_until`.
  void place_fields(std::uint32_t start, std::uint32_t end, std::uint64_t live_from,
                    std::uint64_t live_until);

  /// Adds a block live at the watermark while the group is not crowded: into `few_live_`, or,
  /// when it is full, into the gaps and end lists, which take over from then on.
  void add_few(std::uint32_t start, std::uint32_t end, std::uint64_t live_from,
               std::uint64_t live_until);

  /// Sets `kept_free_` to the gaps around the kept blocks, which it sorts by address.
  void cover_kept();

  /// Until more than `few` blocks are live at once, the live blocks sorted by address: a chain's
  /// shares are answered by a short scan, without gap edits or end lists.
  std::array<PlacedBlock, few> few_live_{};
  std::size_t few_count_ = 0;
  /// Whether more than `few` blocks were live at once; from then on `live_free_` and the end
  /// lists hold the live blocks until the next reset.
  bool crowded_ = false;
  /// Free bytes around the blocks live at the watermark.
  FreeSpace live_free_;
  /// Free bytes around every kept block, gathered at the first share that needs them.
  FreeSpace kept_free_;
  bool covered_ = false;
  /// The blocks that a later share may still meet, in no particular order.
  std::vector<PlacedBlock> kept_;
  /// The blocks live at the watermark, each in the list of the phase it ends at, and the
  /// entries that ended, chained for reuse from `unused_live_`.
  std::vector<LiveBlock> live_blocks_;
  std::uint32_t unused_live_ = no_block;
  /// Per phase, the first live block that ends there; read only where `ending_` is set.
  std::vector<std::uint32_t> first_ending_;
  /// Per phase, one bit: whether a live block ends there. The watermark rises through them in
  /// order, so releases cost one step per phase word passed and one per block.
  std::vector<std::uint64_t> ending_;
  /// One past the highest phase of `ending_` that may be set.
  std::uint64_t ending_limit_ = 0;
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
