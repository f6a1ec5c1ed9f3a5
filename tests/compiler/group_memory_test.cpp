// One group's memory: its free gaps, and its lowest free address against the direct search over
// every block placed, on generated sequences of shares of every kind.

#include "compiler/address_space.hpp"
#include "compiler/free_space.hpp"
#include "compiler/group_memory.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

namespace orvik_compiler {
namespace {

template <class Rng>
std::uint64_t pick(Rng& rng, std::uint64_t low, std::uint64_t high) {
  return std::uniform_int_distribution<std::uint64_t>(low, high)(rng);
}

TEST_CASE("free gaps split, shrink and join as blocks come and go", "[memory][free_space]") {
  FreeSpace space;
  space.reset(100);
  CHECK(space.first_fit(10, 16) == 100); // the base itself, though not aligned
  space.occupy(100, 120);
  space.occupy(140, 150);
  // Free: [120, 140) and [150, ...). 16 bytes fit at 128 only with an alignment of 8 or less.
  CHECK(space.first_fit(16, 16) == 160);
  CHECK(space.first_fit(16, 8) == 120);
  CHECK(space.first_fit(20, 4) == 120);
  CHECK(space.first_fit(21, 1) == 150);
  // Releasing [140, 150) joins both neighbours into one gap from 120 on.
  space.release(140, 150);
  CHECK(space.first_fit(100, 1) == 120);
  // A block over used and free bytes alike leaves only what lies outside it.
  space.occupy(110, 200);
  CHECK(space.first_fit(1, 1) == 200);
  space.reset(0);
  space.occupy(10, 20);
  space.occupy(30, 40);
  space.occupy(50, 60);
  space.occupy(15, 55);
  CHECK(space.first_fit(10, 1) == 0);
  CHECK(space.first_fit(11, 1) == 60);
}

TEST_CASE("free gaps around overlapping blocks", "[memory][free_space]") {
  const std::vector<PlacedBlock> blocks{{16, 32, 0, 0}, {20, 48, 0, 0}, {64, 80, 0, 0}};
  FreeSpace space;
  // Free: [1, 16), [48, 64) and [80, ...).
  space.reset_around(1, blocks);
  CHECK(space.first_fit(15, 16) == 1);
  CHECK(space.first_fit(16, 16) == 48);
  CHECK(space.first_fit(16, 32) == 96);
  CHECK(space.first_fit(17, 1) == 80);
  space.reset_around(16, blocks);
  CHECK(space.first_fit(1, 1) == 48);
}

/// The lowest free address by its definition: the upward search over every block placed.
std::uint64_t direct_search(const std::vector<PlacedBlock>& placed, std::uint32_t base,
                            std::uint64_t size, std::uint32_t alignment, std::uint64_t live_from,
                            std::uint64_t live_until) {
  std::uint64_t address = base;
  for (;;) {
    const auto conflict = std::find_if(placed.begin(), placed.end(), [&](const PlacedBlock& b) {
      return lifetimes_overlap(live_from, live_until, b.live_from, b.live_until) &&
             address < b.end && b.start < address + size;
    });
    if (conflict == placed.end()) {
      return address;
    }
    address = align_up(conflict->end, alignment);
  }
}

struct Share {
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;
  std::uint32_t size = 0;
  std::uint32_t alignment = 16;
};

/// How the shares of a generated group start and end.
enum class Pattern {
  /// Operation outputs in order, now and then a weight live from phase 0 until a later phase.
  Operations,
  /// A chain: each value lives until the next one is made.
  Chain,
  /// Starts and ends in any order, inputs read early among them.
  AnyOrder,
};

std::vector<Share> generated_shares(Pattern pattern, std::size_t count, std::mt19937_64& rng) {
  static constexpr std::uint32_t alignments[] = {1, 4, 16, 24, 64};
  std::vector<Share> shares;
  std::uint64_t phase = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Share share;
    share.size = static_cast<std::uint32_t>(pick(rng, 0, 9) == 0 ? 0 : pick(rng, 1, 300));
    share.alignment = alignments[pick(rng, 0, 4)];
    switch (pattern) {
    case Pattern::Operations:
      phase += pick(rng, 0, 2);
      if (pick(rng, 0, 5) == 0) {
        share.live_until = phase + pick(rng, 0, 40);
      } else {
        share.live_from = phase;
        share.live_until = phase + (pick(rng, 0, 3) == 0 ? pick(rng, 0, 200) : pick(rng, 0, 4));
      }
      break;
    case Pattern::Chain:
      share.live_from = i;
      share.live_until = i + 1;
      break;
    case Pattern::AnyOrder:
      share.live_from = pick(rng, 0, 60);
      share.live_until = share.live_from + pick(rng, 0, 30);
      break;
    }
    shares.push_back(share);
  }
  return shares;
}

/// Places `shares` in order as the planner does, on `memory` reset to `base`, requiring each
/// address to be the direct search's; returns how many were compared.
std::size_t place_and_compare(GroupMemory& memory, std::uint32_t base,
                              const std::vector<Share>& shares) {
  std::vector<std::uint64_t> earliest_later(shares.size() + 1,
                                            std::numeric_limits<std::uint64_t>::max());
  for (std::size_t i = shares.size(); i-- > 0;) {
    earliest_later[i] = std::min(earliest_later[i + 1], shares[i].live_from);
  }
  memory.reset(base);
  std::vector<PlacedBlock> placed;
  for (std::size_t i = 0; i < shares.size(); ++i) {
    const Share& share = shares[i];
    memory.advance(share.live_from);
    if (memory.due_to_forget()) {
      memory.forget_ended(earliest_later[i]);
    }
    const std::uint64_t address =
        memory.lowest_free(share.size, share.alignment, share.live_from, share.live_until);
    INFO("share " << i);
    REQUIRE(address == direct_search(placed, base, share.size, share.alignment, share.live_from,
                                     share.live_until));
    const PlacedBlock block{static_cast<std::uint32_t>(address),
                            static_cast<std::uint32_t>(address + share.size), share.live_from,
                            share.live_until};
    memory.place(block);
    placed.push_back(block);
  }
  return shares.size();
}

TEST_CASE("the group memory finds what the direct search finds", "[memory][group_memory]") {
  // Every kind of share: those that start at the watermark, those that meet every kept block,
  // and any others, with windows whose base is and is not aligned.
  const Pattern patterns[] = {Pattern::Operations, Pattern::Chain, Pattern::AnyOrder};
  std::mt19937_64 rng(5);
  GroupMemory memory;
  std::size_t compared = 0;
  for (const Pattern pattern : patterns) {
    for (int round = 0; round < 40; ++round) {
      const std::uint32_t base = pick(rng, 0, 1) == 0 ? 0x52000 : 0x52007;
      INFO("round " << round);
      compared +=
          place_and_compare(memory, base, generated_shares(pattern, pick(rng, 1, 400), rng));
    }
  }
  CHECK(compared > 10000);
}

TEST_CASE("the group memory finds the same before and after its live blocks crowd",
          "[memory][group_memory]") {
  // Each value lives `width` phases past the one making it, so width + 1 blocks are live at
  // once: a few stay in the short sorted list, more move to the gaps and end lists mid-group.
  // Now and then a weight live from phase 0 asks the kept blocks instead.
  static constexpr std::uint32_t alignments[] = {1, 8, 16, 24, 64};
  const std::uint64_t widths[] = {0, 1, 6, 7, 8, 9, 30};
  std::mt19937_64 rng(11);
  GroupMemory memory;
  for (const std::uint64_t width : widths) {
    for (int round = 0; round < 10; ++round) {
      std::vector<Share> shares;
      for (std::uint64_t phase = 0; phase < 300; ++phase) {
        Share share;
        share.live_from = pick(rng, 0, 15) == 0 ? 0 : phase;
        share.live_until = phase + width;
        share.size = static_cast<std::uint32_t>(pick(rng, 0, 7) == 0 ? 0 : pick(rng, 1, 200));
        share.alignment = alignments[pick(rng, 0, 4)];
        shares.push_back(share);
      }
      INFO("width " << width << ", round " << round);
      place_and_compare(memory, round % 2 == 0 ? 0x52000 : 0x52003, shares);
    }
  }
}

TEST_CASE("a chain keeps as many blocks as it has live, however long it is",
          "[memory][group_memory]") {
  GroupMemory memory;
  memory.reset(0);
  std::size_t most_kept = 0;
  for (std::uint64_t phase = 0; phase < 100000; ++phase) {
    memory.advance(phase);
    if (memory.due_to_forget()) {
      memory.forget_ended(phase);
    }
    const std::uint64_t address = memory.lowest_free(16, 16, phase, phase + 1);
    REQUIRE(address == (phase % 2) * 16);
    memory.place(PlacedBlock{static_cast<std::uint32_t>(address),
                             static_cast<std::uint32_t>(address + 16), phase, phase + 1});
    most_kept = std::max(most_kept, memory.kept());
  }
  CHECK(most_kept <= 16);
}

} // namespace
} // namespace orvik_compiler
