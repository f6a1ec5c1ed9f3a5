#pragma once

// The kept blocks of a tile group by address, for the shares that neither start at the
// watermark nor meet every kept block in time.

#include "placed_block.hpp"
#include "treap.hpp"

#include <cstdint>
#include <span>

namespace orvik_compiler {

/// Blocks ordered by start. Each node knows the first start, the highest end and the earliest
/// and latest phases of its subtree, so that a search passes over every subtree that starts
/// above its candidate, ends below it or lives at other times.
class BlockIndex {
public:
  void clear();
  void insert(const PlacedBlock& block);
  /// Removes the blocks whose lifetime ends before `phase`.
  void remove_ended(std::uint64_t phase);

  /// The lowest address x among `base` and the multiples of `alignment` above it such that
  /// [x, x + size) meets no block whose lifetime overlaps [live_from, live_until]: the upward
  /// sweep over the blocks by start, each block that meets the candidate moving it to the
  /// block's aligned end. It may lie at 2^32 or above.
  std::uint64_t lowest_free(std::uint32_t base, std::uint64_t size, std::uint32_t alignment,
                            std::uint64_t live_from, std::uint64_t live_until) const;

private:
  struct Entry {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::uint32_t priority = 0;
    std::uint32_t first_start = 0;
    std::uint32_t max_end = 0;
    std::uint64_t live_from = 0;
    std::uint64_t live_until = 0;
    std::uint64_t min_from = 0;
    std::uint64_t min_until = 0;
    std::uint64_t max_until = 0;

    std::uint64_t key() const { return start; }
    static void summarize(Entry& entry, const Entry* left, const Entry* right);
  };

  std::uint32_t remove_ended(std::uint32_t tree, std::uint64_t phase);
  bool sweep(std::uint32_t tree, std::uint64_t& address, std::uint64_t size,
             std::uint32_t alignment, std::uint64_t live_from, std::uint64_t live_until) const;

  Treap<Entry> entries_;
  std::uint32_t root_ = 0;
};

} // namespace orvik_compiler
