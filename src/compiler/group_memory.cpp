// The data memory of one tile group: which view answers a share, and keeping the views current.

#include "group_memory.hpp"

#include <algorithm>
#include <limits>

namespace orvik_compiler {
namespace {

/// Orders a heap of live blocks so that the one that ends first is on top.
constexpr auto ends_later = [](const auto& a, const auto& b) {
  return a.live_until > b.live_until;
};

} // namespace

void GroupMemory::reset(std::uint32_t base) {
  live_free_.reset(base);
  kept_.clear();
  live_by_end_.clear();
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
  watermark_ = live_from;
  while (!live_by_end_.empty() && live_by_end_.front().live_until < watermark_) {
    live_free_.release(live_by_end_.front().start, live_by_end_.front().end);
    std::pop_heap(live_by_end_.begin(), live_by_end_.end(), ends_later);
    live_by_end_.pop_back();
  }
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
    return live_free_.first_fit(size, alignment);
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

void GroupMemory::place(const PlacedBlock& block) {
  if (block.start == block.end) {
    return;
  }
  kept_.push_back(block);
  kept_min_until_ = std::min(kept_min_until_, block.live_until);
  kept_max_from_ = std::max(kept_max_from_, block.live_from);
  if (covered_) {
    kept_free_.occupy(block.start, block.end);
  }
  if (block.live_until >= watermark_) {
    live_free_.occupy(block.start, block.end);
    live_by_end_.push_back(LiveBlock{block.live_until, block.start, block.end});
    std::push_heap(live_by_end_.begin(), live_by_end_.end(), ends_later);
  }
  if (indexed_) {
    index_.insert(block);
  }
}

} // namespace orvik_compiler
