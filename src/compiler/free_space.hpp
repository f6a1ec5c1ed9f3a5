#pragma once

// The free bytes of one tile group's memory, from a base address up, as address-ordered gaps.

#include "placed_block.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace orvik_compiler {

/// Disjoint gaps of free bytes above a base, in an array by address; everything above the
/// highest used byte is one gap without end.
class FreeSpace {
public:
  /// All bytes from `base` up are free.
  void reset(std::uint32_t base);

  /// The bytes from `base` up that none of `blocks` covers are free; `blocks` are sorted by
  /// start, may overlap and have at least one byte each.
  void reset_around(std::uint32_t base, std::span<const PlacedBlock> blocks);

  /// The lowest address x among the base and the multiples of `alignment` above it such that
  /// [x, x + size) is free, found in the first gap that holds it. `size` is at least 1; x may
  /// lie at 2^32 or above.
  std::uint64_t first_fit(std::uint64_t size, std::uint32_t alignment) const;

  /// Marks [start, end) as used; any of it may be used already.
  void occupy(std::uint32_t start, std::uint32_t end);

  /// Marks [start, end), which is wholly used, as free again.
  void release(std::uint32_t start, std::uint32_t end);

private:
  struct Gap {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
  };

  /// The index of the last gap starting at or below `address`, or the gap count when none does.
  std::size_t last_at_or_below(std::uint64_t address) const;

  /// By address; the last one has no end.
  std::vector<Gap> gaps_;
  /// The gap that the last `first_fit` chose, where the next `occupy` most likely falls.
  mutable std::size_t last_fit_ = 0;
  std::uint32_t base_ = 0;
};

} // namespace orvik_compiler
