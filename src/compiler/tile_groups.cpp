// Tile groups: spans of tiles from the layouts' runs, refined into groups by their shares.

#include "tile_groups.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace orvik_compiler {
namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

/// Whether `tiles` counts up by one from its first tile. Written without an early exit so that
/// the compiler can compare many tiles at once: compiled layouts are all such runs.
bool is_single_run(const std::vector<std::uint16_t>& tiles) {
  if (std::size_t{tiles.back()} - tiles.front() + 1 != tiles.size()) {
    return false;
  }
  unsigned differences = 0;
  for (std::size_t i = 0; i < tiles.size(); ++i) {
    differences |= static_cast<unsigned>(tiles[i] ^ static_cast<std::uint16_t>(tiles.front() + i));
  }
  return differences == 0;
}

/// Marks where the layouts' runs begin and end, from tile 0 to one past the highest tile named,
/// and notes in `runs` the tiles first .. end - 1 of each layout that is a single run.
std::vector<std::uint8_t> run_boundaries(std::span<const Layout> layouts,
                                         std::vector<TileGroups::SpanRange>& runs) {
  std::vector<std::uint8_t> boundary;
  const auto mark = [&](std::uint32_t tile) {
    if (tile >= boundary.size()) {
      boundary.resize(std::size_t{tile} + 1, 0);
    }
    boundary[tile] = 1;
  };
  runs.assign(layouts.size(), TileGroups::SpanRange{});
  for (std::size_t position = 0; position < layouts.size(); ++position) {
    const std::vector<std::uint16_t>& tiles = layouts[position].tiles;
    if (is_single_run(tiles)) {
      runs[position] = {tiles.front(), std::uint32_t{tiles.back()} + 1};
      mark(runs[position].first);
      mark(runs[position].end);
      continue;
    }
    for (std::size_t i = 0; i < tiles.size(); ++i) {
      if (i == 0 || tiles[i] != tiles[i - 1] + 1) {
        mark(tiles[i]);
      }
      if (i + 1 == tiles.size() || tiles[i + 1] != tiles[i] + 1) {
        mark(std::uint32_t{tiles[i]} + 1);
      }
    }
  }
  return boundary;
}

/// The spans between the boundaries; the tile ranges of the layouts that are single runs become
/// their span ranges.
void cut_spans(const std::vector<std::uint8_t>& boundary, std::vector<TileGroups::SpanRange> runs,
               TileGroups& groups) {
  groups.span_of_tile.assign(boundary.empty() ? 0 : boundary.size() - 1, 0);
  groups.span_start.assign(1, 0);
  for (std::size_t tile = 0; tile + 1 < boundary.size(); ++tile) {
    if (tile > 0 && boundary[tile] != 0) {
      groups.span_start.push_back(static_cast<std::uint32_t>(tile));
    }
    // At most 65,536 tile numbers, so at most that many spans, numbered from 0.
    groups.span_of_tile[tile] = static_cast<std::uint16_t>(groups.span_start.size() - 1);
  }
  groups.span_start.push_back(static_cast<std::uint32_t>(groups.span_of_tile.size()));
  for (TileGroups::SpanRange& run : runs) {
    if (run.first < run.end) {
      run = {groups.span_of_tile[run.first], std::uint32_t{groups.span_of_tile[run.end - 1]} + 1};
    }
  }
  groups.run_spans = std::move(runs);
}

/// Partition refinement, layout by layout: every occurrence of a span moves it out of its group
/// into the group that the group's first moving span went to, made fresh for this layout. A
/// span named twice moves twice, so spans end up apart exactly when some layout names them a
/// different number of times. Groups left empty are reused, so ids stay below twice the spans.
void refine_groups(std::span<const Layout> layouts, TileGroups& groups) {
  const std::size_t span_count = groups.span_start.size() - 1;
  groups.repeats_tiles.assign(layouts.size(), false);
  // Runs that all start at one tile, as compiled layouts do, nest: each span is held by the
  // layouts that reach past its start, fewer for every span up, so each span is a group.
  const bool nested = std::all_of(
      groups.run_spans.begin(), groups.run_spans.end(), [&](const TileGroups::SpanRange& run) {
        return run.first < run.end && run.first == groups.run_spans.front().first;
      });
  if (nested) {
    groups.group_of_span.resize(span_count);
    std::iota(groups.group_of_span.begin(), groups.group_of_span.end(), std::uint32_t{0});
    groups.first_span = groups.group_of_span;
    return;
  }
  std::vector<std::uint32_t> group(span_count, 0);
  std::vector<std::uint32_t> members{static_cast<std::uint32_t>(span_count)};
  // Per group, the layout that last split it and the group its moving spans went to.
  std::vector<std::uint32_t> split_by{none};
  std::vector<std::uint32_t> split_into{0};
  std::vector<std::uint32_t> emptied;
  std::vector<std::uint32_t> split_now;
  std::vector<std::uint32_t> last_seen(span_count, none);
  for (std::size_t position = 0; position < layouts.size(); ++position) {
    const auto layout = static_cast<std::uint32_t>(position);
    split_now.clear();
    groups.for_each_span(position, layouts[position].tiles, [&](std::uint32_t span) {
      if (last_seen[span] == layout) {
        groups.repeats_tiles[position] = true;
      }
      last_seen[span] = layout;
      const std::uint32_t from = group[span];
      if (split_by[from] != layout) {
        std::uint32_t fresh = 0;
        if (emptied.empty()) {
          fresh = static_cast<std::uint32_t>(members.size());
          members.push_back(0);
          split_by.push_back(none);
          split_into.push_back(0);
        } else {
          fresh = emptied.back();
          emptied.pop_back();
          split_by[fresh] = none;
        }
        split_by[from] = layout;
        split_into[from] = fresh;
        split_now.push_back(from);
      }
      --members[from];
      group[span] = split_into[from];
      ++members[group[span]];
    });
    for (const std::uint32_t from : split_now) {
      if (members[from] == 0) {
        emptied.push_back(from);
      }
    }
  }
  // Renumbered in the order of each group's first span.
  std::vector<std::uint32_t> number(members.size(), none);
  for (std::uint32_t span = 0; span < span_count; ++span) {
    std::uint32_t& renumbered = number[group[span]];
    if (renumbered == none) {
      renumbered = static_cast<std::uint32_t>(groups.first_span.size());
      groups.first_span.push_back(span);
    }
    group[span] = renumbered;
  }
  groups.group_of_span = std::move(group);
}

/// Each group's shares, layout by layout: one per occurrence of the group's first span.
void list_shares(std::span<const Layout> layouts, TileGroups& groups) {
  const std::size_t group_count = groups.group_count();
  groups.share_begin.assign(group_count + 1, 0);
  const auto for_each_share = [&](auto&& visit) {
    for (std::size_t position = 0; position < layouts.size(); ++position) {
      groups.for_each_span(position, layouts[position].tiles, [&](std::uint32_t span) {
        const std::uint32_t group = groups.group_of_span[span];
        if (groups.first_span[group] == span) {
          visit(group, static_cast<std::uint32_t>(position));
        }
      });
    }
  };
  for_each_share([&](std::uint32_t group, std::uint32_t) { ++groups.share_begin[group + 1]; });
  for (std::size_t group = 0; group < group_count; ++group) {
    groups.share_begin[group + 1] += groups.share_begin[group];
  }
  groups.shares.resize(groups.share_begin.back());
  std::vector<std::size_t> next(groups.share_begin.begin(), groups.share_begin.end() - 1);
  for_each_share([&](std::uint32_t group, std::uint32_t position) {
    groups.shares[next[group]++] = position;
  });
}

} // namespace

TileGroups group_tiles(std::span<const Layout> layouts) {
  if (layouts.size() >= none) {
    throw std::overflow_error("plan_memory: more layouts than 32-bit positions reach");
  }
  TileGroups groups;
  std::vector<TileGroups::SpanRange> runs;
  const std::vector<std::uint8_t> boundary = run_boundaries(layouts, runs);
  cut_spans(boundary, std::move(runs), groups);
  refine_groups(layouts, groups);
  list_shares(layouts, groups);
  return groups;
}

} // namespace orvik_compiler
