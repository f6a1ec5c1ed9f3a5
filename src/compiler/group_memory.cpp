// The data memory of one tile group: which view answers a share, and keeping the views current.

#include "group_memory.hpp"

#include "address_space.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>

namespace orvik_compiler {

void GroupMemory::reset(std::uint32_t base) {
  few_count_ = 0;
  crowded_ = false;
  kept_.clear();
  // Every phase below the watermark was cleared as the watermark passed it.
  for (std::uint64_t word = watermark_ / 64; word * 64 < ending_limit_; ++word) {
    ending_[word] = 0;
  }
  ending_limit_ = 0;
  live_blocks_.clear();
  unused_live_ = no_block;
  covered_ = false;
  index_.clear();
  indexed_ = false;
  kept_after_forgetting_ = 0;
  kept_min_until_ = std::numeric_limits<std::uint64_t>::max();
  kept_max_from_ = 0;
  watermark_ = 0;
  base_ = base;
}

void GroupMemory::advance(std::uint64_t live_from) {
  if (live_from <= watermark_) {
    return;
  }
  if (!crowded_) {
    // Drops the blocks that end before the new watermark, keeping the rest in address order.
    std::size_t still_live = 0;
    for (std::size_t i = 0; i < few_count_; ++i) {
      if (few_live_[i].live_until >= live_from) {
        few_live_[still_live++] = few_live_[i];
      }
    }
    few_count_ = still_live;
    watermark_ = live_from;
    return;
  }
  // Releases every live block that ends from the old watermark up to the new one, exclusive.
  const std::uint64_t stop = std::min(live_from, ending_limit_);
  for (std::uint64_t word = watermark_ / 64; word * 64 < stop; ++word) {
    const std::uint64_t below_stop = stop - word * 64;
    const std::uint64_t mask =
        below_stop >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << below_stop) - 1;
    std::uint64_t ending = ending_[word] & mask;
    ending_[word] &= ~mask;
    for (; ending != 0; ending &= ending - 1) {
      const std::uint64_t phase = word * 64 + static_cast<std::uint64_t>(std::countr_zero(ending));
      for (std::uint32_t block = first_ending_[phase]; block != no_block;) {
        LiveBlock& live = live_blocks_[block];
        live_free_.release(live.start, live.end);
        const std::uint32_t next = live.next;
        live.next = unused_live_;
        unused_live_ = block;
        block = next;
      }
    }
  }
  watermark_ = live_from;
}

void GroupMemory::add_live(std::uint32_t start, std::uint32_t end, std::uint64_t live_until) {
  const std::uint64_t word = live_until / 64;
  if (word >= ending_.size()) {
    ending_.resize(std::max<std::size_t>(word + 1, 2 * ending_.size()), 0);
    first_ending_.resize(ending_.size() * 64);
  }
  std::uint32_t block = unused_live_;
  if (block == no_block) {
    if (live_blocks_.size() >= no_block) {
      throw std::overflow_error(
          "plan_memory: more live blocks on one tile than 32-bit links reach");
    }
    block = static_cast<std::uint32_t>(live_blocks_.size());
    live_blocks_.emplace_back();
  } else {
    unused_live_ = live_blocks_[block].next;
  }
  const std::uint64_t bit = std::uint64_t{1} << (live_until % 64);
  live_blocks_[block] =
      LiveBlock{start, end, (ending_[word] & bit) != 0 ? first_ending_[live_until] : no_block};
  first_ending_[live_until] = block;
  ending_[word] |= bit;
  ending_limit_ = std::max(ending_limit_, live_until + 1);
}

std::uint64_t GroupMemory::first_fit_few(std::uint32_t size, std::uint32_t alignment) const {
  // The gap below the lowest block starts at the base, which needs no alignment; every other
  // gap starts at the end of a block.
  std::uint64_t candidate = base_;
  for (std::size_t i = 0; i < few_count_; ++i) {
    if (candidate + size <= few_live_[i].start) {
      return candidate;
    }
    candidate = align_up(few_live_[i].end, alignment);
  }
  return candidate;
}

void GroupMemory::add_few(std::uint32_t start, std::uint32_t end, std::uint64_t live_from,
                          std::uint64_t live_until) {
  if (few_count_ < few) {
    std::size_t at = few_count_;
    for (; at > 0 && few_live_[at - 1].start > start; --at) {
      few_live_[at] = few_live_[at - 1];
    }
    few_live_[at] = PlacedBlock{start, end, live_from, live_until};
    ++few_count_;
    return;
  }
  crowded_ = true;
  live_free_.reset_around(base_, std::span<const PlacedBlock>(few_live_.data(), few_count_));
  for (std::size_t i = 0; i < few_count_; ++i) {
    add_live(few_live_[i].start, few_live_[i].end, few_live_[i].live_until);
  }
  few_count_ = 0;
  live_free_.occupy(start, end);
  add_live(start, end, live_until);
}

void GroupMemory::forget_ended(std::uint64_t phase) {
  const std::size_t forgotten =
      std::erase_if(kept_, [&](const PlacedBlock& block) { return block.live_until < phase; });
  kept_after_forgetting_ = kept_.size();
  if (forgotten == 0) {
    return;
  }
  kept_min_until_ = std::numeric_limits<std::uint64_t>::max();
  kept_max_from_ = 0;
  for (const PlacedBlock& block : kept_) {
    kept_min_until_ = std::min(kept_min_until_, block.live_until);
    kept_max_from_ = std::max(kept_max_from_, block.live_from);
  }
  if (covered_) {
    cover_kept();
  }
  if (indexed_) {
    index_.remove_ended(phase);
  }
}

void GroupMemory::cover_kept() {
  std::sort(kept_.begin(), kept_.end(),
            [](const PlacedBlock& a, const PlacedBlock& b) { return a.start < b.start; });
  kept_free_.reset_around(base_, kept_);
}

std::uint64_t GroupMemory::lowest_free(std::uint32_t size, std::uint32_t alignment,
                                       std::uint64_t live_from, std::uint64_t live_until) {
  // An empty share meets no block that starts at or above the base.
  if (size == 0) {
    return base_;
  }
  // Every block live at the watermark started by then and lasts until then; every other kept
  // block ended before it. A share starting there meets the live blocks and no other.
  if (live_from == watermark_) {
    return crowded_ ? live_free_.first_fit(size, alignment) : first_fit_few(size, alignment);
  }
  if (kept_.empty() || (kept_min_until_ >= live_from && kept_max_from_ <= live_until)) {
    if (!covered_) {
      cover_kept();
      covered_ = true;
    }
    return kept_free_.first_fit(size, alignment);
  }
  if (!indexed_) {
    for (const PlacedBlock& block : kept_) {
      index_.insert(block);
    }
    indexed_ = true;
  }
  return index_.lowest_free(base_, size, alignment, live_from, live_until);
}

void GroupMemory::place_fields(std::uint32_t start, std::uint32_t end, std::uint64_t live_from,
                               std::uint64_t live_until) {
  if (start == end) {
    return;
  }
  kept_.push_back(PlacedBlock{start, end, live_from, live_until});
  kept_min_until_ = std::min(kept_min_until_, live_until);
  kept_max_from_ = std::max(kept_max_from_, live_from);
  if (covered_) {
    kept_free_.occupy(start, end);
  }
  if (live_until >= watermark_ && crowded_) {
    live_free_.occupy(start, end);
    add_live(start, end, live_until);
  } else if (live_until >= watermark_) {
    add_few(start, end, live_from, live_until);
  }
  if (indexed_) {
    index_.insert(PlacedBlock{start, end, live_from, live_until});
  }
}

} // namespace orvik_compiler
