#pragma once

// Tile groups: tiles that receive the same shares, each as often and in the same order, face
// the same placement problem, so the planner solves each group once.

#include "orvik_compiler/schedule.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvik_compiler {

/// The tiles of a list of layouts cut into spans, and the spans gathered into groups, as step a
/// of the planner comment in plan_memory.hpp describes. Inside a span no layout's run of
/// consecutive ascending tiles begins or ends, so a layout holds all of a span's tiles, one
/// after another, or none of them.
struct TileGroups {
  /// Per tile number up to the highest that a layout names, the span holding it.
  std::vector<std::uint16_t> span_of_tile;
  /// Per span its first tile number, then one past the last span's end.
  std::vector<std::uint32_t> span_start;
  /// Per span its group; groups are numbered in the order of their first spans.
  std::vector<std::uint32_t> group_of_span;
  /// Per group its first span. Each occurrence of that span in a layout is one share that the
  /// group places; the group's other spans occur as often.
  std::vector<std::uint32_t> first_span;
  /// Per group g, its shares are `shares[share_begin[g]]` up to `shares[share_begin[g + 1]]`.
  std::vector<std::size_t> share_begin;
  /// Per share of each group, in placement order, the position of its tensor in the layouts.
  std::vector<std::uint32_t> shares;
  /// The spans first .. end - 1 of a layout whose tiles are one run of consecutive ascending
  /// tile numbers; empty for any other layout.
  struct SpanRange {
    std::uint32_t first = 0;
    std::uint32_t end = 0;

    friend bool operator==(const SpanRange&, const SpanRange&) = default;
  };
  /// Per layout its spans when it is one run, so that walking it reads none of its tiles.
  std::vector<SpanRange> run_spans;
  /// Per layout, whether it names some tile more than once.
  std::vector<bool> repeats_tiles;

  std::size_t group_count() const { return first_span.size(); }

  /// Calls `visit(span)` for each span of layout `position`, in the order of its tiles.
  template <class Visit>
  void for_each_span(std::size_t position, const std::vector<std::uint16_t>& tiles,
                     Visit&& visit) const {
    if (const SpanRange range = run_spans[position]; range.first < range.end) {
      for (std::uint32_t span = range.first; span < range.end; ++span) {
        visit(span);
      }
      return;
    }
    const auto visit_run = [&](std::uint32_t first, std::uint32_t end) {
      for (std::uint32_t span = span_of_tile[first]; span_start[span] < end; ++span) {
        visit(span);
      }
    };
    std::size_t i = 0;
    while (i < tiles.size()) {
      const std::uint32_t first = tiles[i];
      std::uint32_t end = first + 1;
      for (++i; i < tiles.size() && tiles[i] == end; ++i) {
        ++end;
      }
      visit_run(first, end);
    }
  }
};

/// Cuts the tiles of `layouts`, each with at least one tile, into spans and groups, and lists
/// each group's shares. Tiles in one group hold the same tensors, each the same number of
/// times, in the same order; tiles with the same such sequence are in one group. Time linear in
/// the layouts' tiles, the spans they cross and the highest tile number. Throws
/// std::overflow_error for 2^32 - 1 layouts or more.
TileGroups group_tiles(std::span<const Layout> layouts);

} // namespace orvik_compiler
