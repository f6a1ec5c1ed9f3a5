// The index of a group's kept blocks and the exact sweep over it.

#include "block_index.hpp"

#include "address_space.hpp"
#include "lifetimes.hpp"

#include <algorithm>

namespace orvik_compiler {

void BlockIndex::Entry::summarize(Entry& entry, const Entry* left, const Entry* right) {
  entry.first_start = left != nullptr ? left->first_start : entry.start;
  entry.max_end = entry.end;
  entry.min_from = entry.live_from;
  entry.min_until = entry.max_until = entry.live_until;
  for (const Entry* child : {left, right}) {
    if (child != nullptr) {
      entry.max_end = std::max(entry.max_end, child->max_end);
      entry.min_from = std::min(entry.min_from, child->min_from);
      entry.min_until = std::min(entry.min_until, child->min_until);
      entry.max_until = std::max(entry.max_until, child->max_until);
    }
  }
}

void BlockIndex::clear() {
  entries_.clear();
  root_ = Treap<Entry>::none;
}

void BlockIndex::insert(const PlacedBlock& block) {
  Entry entry;
  entry.start = block.start;
  entry.end = block.end;
  entry.live_from = block.live_from;
  entry.live_until = block.live_until;
  root_ = entries_.insert(root_, entries_.make(entry));
}

void BlockIndex::remove_ended(std::uint64_t phase) {
  root_ = remove_ended(root_, phase);
}

std::uint32_t BlockIndex::remove_ended(std::uint32_t tree, std::uint64_t phase) {
  if (tree == Treap<Entry>::none || entries_[tree].min_until >= phase) {
    return tree;
  }
  const std::uint32_t left = remove_ended(entries_[tree].left, phase);
  const std::uint32_t right = remove_ended(entries_[tree].right, phase);
  if (entries_[tree].live_until < phase) {
    entries_[tree].left = entries_[tree].right = Treap<Entry>::none;
    entries_.release(tree);
    return entries_.join(left, right);
  }
  entries_[tree].left = left;
  entries_[tree].right = right;
  entries_.update(tree);
  return tree;
}

std::uint64_t BlockIndex::lowest_free(std::uint32_t base, std::uint64_t size,
                                      std::uint32_t alignment, std::uint64_t live_from,
                                      std::uint64_t live_until) const {
  std::uint64_t address = base;
  sweep(root_, address, size, alignment, live_from, live_until);
  return address;
}

bool BlockIndex::sweep(std::uint32_t tree, std::uint64_t& address, std::uint64_t size,
                       std::uint32_t alignment, std::uint64_t live_from,
                       std::uint64_t live_until) const {
  if (tree == Treap<Entry>::none) {
    return false;
  }
  const Entry& entry = entries_[tree];
  // Every block from here on starts at or above the candidate's end: the search is over.
  if (entry.first_start >= address + size) {
    return true;
  }
  // No block below can move the candidate.
  if (entry.max_end <= address || entry.max_until < live_from || entry.min_from > live_until) {
    return false;
  }
  if (sweep(entry.left, address, size, alignment, live_from, live_until)) {
    return true;
  }
  if (entry.start >= address + size) {
    return true;
  }
  if (entry.end > address &&
      lifetimes_overlap(live_from, live_until, entry.live_from, entry.live_until)) {
    address = align_up(entry.end, alignment);
  }
  return sweep(entry.right, address, size, alignment, live_from, live_until);
}

} // namespace orvik_compiler
