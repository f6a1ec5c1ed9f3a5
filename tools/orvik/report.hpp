#pragma once

// The schedule report: one HTML page to explore a compiled schedule in a browser, with its
// styles, its script and the schedule's data inline.

#include <orvik_compiler/graph.hpp>
#include <orvik_compiler/schedule.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace orvik_tool {

/// A self-contained HTML page that loads nothing from anywhere: a header with `name`, the
/// options, totals and the verdict of `verify_schedule`; the tiles as a heat map of their
/// peaks; the memory of a chosen tile over the phases with the bytes live at each phase; the
/// phases as a timeline; a search over the tensors. The page's source lives in
/// tools/orvik/report/ and is built into the tool.
///
/// The schedule's data is compact: tensors and phases are columns of numbers that refer to
/// tables of the distinct shapes, layouts and kernels; an operation named as its output has no
/// name of its own; tiles that hold identical allocations (tensor, address, size and lifetime,
/// in allocation order) share one list, so its size grows with the distinct tiles, not the tile
/// count. Allocations on tiles at or past `tile_count` and tensor ids
/// outside the graph, which only a broken schedule has, are left out of the lists and shown as
/// "?" respectively; the verdict names them.
std::string schedule_report_html(std::string_view name, const orvik_compiler::Graph& graph,
                                 const orvik_compiler::CompilerOptions& options,
                                 const orvik_compiler::Schedule& schedule);

/// The bytes of the page around the schedule's data: what `schedule_report_html` adds to the
/// data whatever the schedule.
std::size_t report_page_bytes();

} // namespace orvik_tool
