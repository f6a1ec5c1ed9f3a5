// Tile groups: spans cut at the layouts' runs, groups of spans with one sequence of shares, and
// each group's share list.

#include "compiler/tile_groups.hpp"
#include "test_support.hpp"

#include <map>
#include <random>
#include <set>

namespace orvik_compiler {
namespace {

std::vector<Layout> layouts_of(const std::vector<std::vector<std::uint16_t>>& tiles) {
  std::vector<Layout> layouts;
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    layouts.push_back(Layout{TensorId{i}, tiles[i], Sharding::Rows, 16});
  }
  return layouts;
}

/// Per tile named, the positions of the layouts holding it, once per occurrence, in order.
std::map<std::uint16_t, std::vector<std::uint32_t>> sequences(std::span<const Layout> layouts) {
  std::map<std::uint16_t, std::vector<std::uint32_t>> by_tile;
  for (std::uint32_t position = 0; position < layouts.size(); ++position) {
    for (const std::uint16_t tile : layouts[position].tiles) {
      by_tile[tile].push_back(position);
    }
  }
  return by_tile;
}

std::vector<std::uint32_t> shares_of(const TileGroups& groups, std::size_t group) {
  return {groups.shares.begin() + static_cast<std::ptrdiff_t>(groups.share_begin[group]),
          groups.shares.begin() + static_cast<std::ptrdiff_t>(groups.share_begin[group + 1])};
}

std::uint32_t group_of_tile(const TileGroups& groups, std::uint16_t tile) {
  return groups.group_of_span[groups.span_of_tile[tile]];
}

/// Tiles share a group exactly when they share a sequence, and each group lists that sequence.
std::string broken_grouping(std::span<const Layout> layouts, const TileGroups& groups) {
  std::map<std::vector<std::uint32_t>, std::set<std::uint32_t>> groups_of_sequence;
  std::map<std::uint32_t, std::set<std::vector<std::uint32_t>>> sequences_of_group;
  for (const auto& [tile, sequence] : sequences(layouts)) {
    const std::uint32_t group = group_of_tile(groups, tile);
    groups_of_sequence[sequence].insert(group);
    sequences_of_group[group].insert(sequence);
    if (shares_of(groups, group) != sequence) {
      return "group of tile " + std::to_string(tile) + " lists other shares";
    }
  }
  for (const auto& [sequence, in_groups] : groups_of_sequence) {
    if (in_groups.size() != 1) {
      return "one sequence in several groups";
    }
  }
  for (const auto& [group, of_group] : sequences_of_group) {
    if (of_group.size() != 1) {
      return "several sequences in group " + std::to_string(group);
    }
  }
  return {};
}

TEST_CASE("compiled layouts give one group per distinct tile count", "[memory][tile_groups]") {
  // Runs 0 .. n-1 for n = 4, 2, 4, 1: spans [0, 1), [1, 2), [2, 4).
  const std::vector<Layout> layouts = layouts_of({{0, 1, 2, 3}, {0, 1}, {0, 1, 2, 3}, {0}});
  const TileGroups groups = group_tiles(layouts);
  CHECK(groups.span_start == std::vector<std::uint32_t>{0, 1, 2, 4});
  CHECK(groups.span_of_tile == std::vector<std::uint16_t>{0, 1, 2, 2});
  REQUIRE(groups.group_count() == 3);
  CHECK(shares_of(groups, 0) == std::vector<std::uint32_t>{0, 1, 2, 3});
  CHECK(shares_of(groups, 1) == std::vector<std::uint32_t>{0, 1, 2});
  CHECK(shares_of(groups, 2) == std::vector<std::uint32_t>{0, 2});
  CHECK(groups.run_spans == std::vector<TileGroups::SpanRange>{{0, 3}, {0, 2}, {0, 3}, {0, 1}});
  CHECK(groups.repeats_tiles == std::vector<bool>{false, false, false, false});
}

TEST_CASE("layouts in any order gather tiles by their sequence of shares",
          "[memory][tile_groups]") {
  struct Case {
    const char* what;
    std::vector<std::vector<std::uint16_t>> tiles;
    std::size_t groups_named;
  };
  // `groups_named`: the groups that hold some named tile.
  const Case cases[] = {
      {"tile 2 holds a, b, b and tile 9 holds a, b, c", {{9, 2}, {2, 9, 2}, {9}}, 2},
      {"tiles 4 and 7 hold a, b apart from each other", {{7, 4}, {1, 4, 7}}, 2},
      {"a run and its reverse", {{3, 4, 5, 6}, {6, 5, 4, 3}}, 1},
      {"overlapping runs", {{0, 1, 2, 3, 4, 5}, {2, 3, 4, 5, 6, 7}, {4, 5}}, 4},
      {"a tile named twice in one run", {{5, 6, 7, 5, 6}}, 2},
      {"the highest tile number", {{65534, 65535}, {65535}}, 2},
  };
  for (const Case& test : cases) {
    INFO(test.what);
    const std::vector<Layout> layouts = layouts_of(test.tiles);
    const TileGroups groups = group_tiles(layouts);
    CHECK(broken_grouping(layouts, groups).empty());
    std::set<std::uint32_t> named;
    for (const auto& [tile, sequence] : sequences(layouts)) {
      named.insert(group_of_tile(groups, tile));
    }
    CHECK(named.size() == test.groups_named);
  }
}

TEST_CASE("generated layouts are grouped by sequence", "[memory][tile_groups]") {
  std::mt19937_64 rng(3);
  const auto pick = [&](std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(rng);
  };
  for (int round = 0; round < 300; ++round) {
    std::vector<std::vector<std::uint16_t>> tiles(pick(1, 30));
    for (std::vector<std::uint16_t>& layout : tiles) {
      // Runs from anywhere, shuffled pieces and repeats, on a few hundred tile numbers.
      for (std::uint64_t piece = pick(1, 3); piece > 0; --piece) {
        const std::uint64_t first = pick(0, 300);
        const std::uint64_t length = pick(1, 40);
        for (std::uint64_t tile = first; tile < first + length; ++tile) {
          layout.push_back(static_cast<std::uint16_t>(tile));
        }
      }
      if (pick(0, 3) == 0) {
        std::shuffle(layout.begin(), layout.end(), rng);
      }
    }
    const std::vector<Layout> layouts = layouts_of(tiles);
    INFO("round " << round);
    CHECK(broken_grouping(layouts, group_tiles(layouts)).empty());
  }
}

} // namespace
} // namespace orvik_compiler
