// Free bytes as address-ordered gaps.

#include "free_space.hpp"

#include "address_space.hpp"

#include <algorithm>
#include <limits>

namespace orvik_compiler {
namespace {

/// The end of the gap above every occupied byte.
constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();

} // namespace

void FreeSpace::reset(std::uint32_t base) {
  base_ = base;
  gaps_.assign(1, Gap{base, unbounded});
}

void FreeSpace::reset_around(std::uint32_t base, std::span<const PlacedBlock> blocks) {
  base_ = base;
  gaps_.clear();
  std::uint64_t free_from = base;
  for (const PlacedBlock& block : blocks) {
    if (block.start > free_from) {
      gaps_.push_back(Gap{free_from, block.start});
    }
    free_from = std::max<std::uint64_t>(free_from, block.end);
  }
  gaps_.push_back(Gap{free_from, unbounded});
}

std::uint64_t FreeSpace::first_fit(std::uint64_t size, std::uint32_t alignment) const {
  for (std::size_t i = 0;; ++i) {
    // A gap begins at the base or at the end of a block above it; the last has no end.
    const Gap& gap = gaps_[i];
    // A gap shorter than the size holds it at no alignment.
    if (gap.end - gap.start < size) {
      continue;
    }
    const std::uint64_t candidate = gap.start <= base_ ? base_ : align_up(gap.start, alignment);
    if (candidate + size <= gap.end) {
      last_fit_ = i;
      return candidate;
    }
  }
}

std::size_t FreeSpace::last_at_or_below(std::uint64_t address) const {
  const auto after =
      std::upper_bound(gaps_.begin(), gaps_.end(), address,
                       [](std::uint64_t a, const Gap& gap) { return a < gap.start; });
  return after == gaps_.begin() ? gaps_.size()
                                : static_cast<std::size_t>(after - gaps_.begin() - 1);
}

void FreeSpace::occupy(std::uint32_t start, std::uint32_t end) {
  // Usually [start, end) lies in the gap of the last fit, at its start.
  std::size_t first =
      last_fit_ < gaps_.size() && gaps_[last_fit_].start <= start && gaps_[last_fit_].end > start
          ? last_fit_
          : last_at_or_below(start);
  if (first < gaps_.size() && gaps_[first].end >= end && gaps_[first].start <= start) {
    Gap& gap = gaps_[first];
    const auto at = gaps_.begin() + static_cast<std::ptrdiff_t>(first);
    if (gap.start == start && gap.end == end) {
      gaps_.erase(at);
    } else if (gap.start == start) {
      gap.start = end;
    } else if (gap.end == end) {
      gap.end = start;
    } else {
      const Gap high{end, gap.end};
      gap.end = start;
      gaps_.insert(at + 1, high);
    }
    return;
  }
  // Otherwise it may cover several gaps and used bytes between them: perhaps the last gap
  // starting at or below `start`, then every gap starting below `end`.
  if (first == gaps_.size() || gaps_[first].end <= start) {
    first = first == gaps_.size() ? 0 : first + 1;
  }
  std::size_t last = first;
  while (last < gaps_.size() && gaps_[last].start < end) {
    ++last;
  }
  if (first == last) {
    return;
  }
  // What is left of them: a part below `start` and a part from `end` on.
  const Gap low{gaps_[first].start, start};
  const Gap high{end, gaps_[last - 1].end};
  Gap kept[2];
  std::size_t kept_count = 0;
  if (low.start < low.end) {
    kept[kept_count++] = low;
  }
  if (high.start < high.end) {
    kept[kept_count++] = high;
  }
  const auto at = gaps_.begin() + static_cast<std::ptrdiff_t>(first);
  const std::size_t removed = last - first;
  if (kept_count <= removed) {
    std::copy(kept, kept + kept_count, at);
    gaps_.erase(at + static_cast<std::ptrdiff_t>(kept_count),
                at + static_cast<std::ptrdiff_t>(removed));
  } else {
    *at = kept[0];
    gaps_.insert(at + 1, kept[1]);
  }
}

void FreeSpace::release(std::uint32_t start, std::uint32_t end) {
  // The gap below ends at or before `start`; the one above starts at or after `end`.
  const std::size_t below = last_at_or_below(start);
  const std::size_t above = below == gaps_.size() ? 0 : below + 1;
  const bool joins_below = below != gaps_.size() && gaps_[below].end == start;
  const bool joins_above = above < gaps_.size() && gaps_[above].start == end;
  const auto at = gaps_.begin() + static_cast<std::ptrdiff_t>(above);
  if (joins_below && joins_above) {
    gaps_[below].end = gaps_[above].end;
    gaps_.erase(at);
  } else if (joins_below) {
    gaps_[below].end = end;
  } else if (joins_above) {
    gaps_[above].start = start;
  } else {
    gaps_.insert(at, Gap{start, end});
  }
}

} // namespace orvik_compiler
