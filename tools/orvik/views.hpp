#pragma once

// The ways the tool shows a compiled schedule: a report for people, JSON for programs, a trace
// for timeline viewers and a picture of one tile's memory. Each view states beside its writer a
// bound of its length, computed from the counts of the schedule before it is built.

#include "schedule_io/schedule_counts.hpp"
#include "schedule_io/schedule_json.hpp"

#include <orvik_compiler/graph.hpp>
#include <orvik_compiler/schedule.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvik_tool {

/// The widest that the summary's operation column grows: longer names are cut to this many
/// bytes, ending in "...", and shown whole in the other views.
constexpr std::size_t summary_name_width = 40;

/// A report to read at a glance: the phases, the peak memory per band of tiles with equal
/// peaks with its share of the data window, and totals.
std::string summary_report(const orvik_compiler::Graph& graph,
                           const orvik_compiler::CompilerOptions& options,
                           const orvik_compiler::Schedule& schedule);

/// At least the bytes of `summary_report` for any schedule of `graph` with these counts.
std::uint64_t summary_size_bound(const orvik_compiler::Graph& graph,
                                 const orvik_compiler::schedule_io::ScheduleCounts& counts);

/// Every field of every schedule record, written by the schedule I/O library.
using orvik_compiler::schedule_io::schedule_json;

/// A trace event file: one track per tile, one complete event per phase the tile takes part in,
/// timed by the cost model below.
std::string chrome_trace(const orvik_compiler::Graph& graph,
                         const orvik_compiler::Schedule& schedule);

/// At least the bytes of `chrome_trace` for any schedule of `graph` with these counts.
std::uint64_t trace_size_bound(const orvik_compiler::Graph& graph,
                               const orvik_compiler::schedule_io::ScheduleCounts& counts);

/// The bytes of `text`, a display name, as a JSON string with its quotes. A display name holds
/// no control characters, so only quotes and backslashes are escaped, each with one byte more.
std::uint64_t json_string_bytes(std::string_view text);

/// An SVG picture of one tile's data window over the phases: one rectangle per allocation,
/// x the phase, y the address, with the tile's peak marked.
std::string memory_map_svg(const orvik_compiler::Graph& graph,
                           const orvik_compiler::CompilerOptions& options,
                           const orvik_compiler::Schedule& schedule, std::uint16_t tile);

/// At least the bytes of `memory_map_svg` of `tile` for any schedule of `graph` with these
/// counts.
std::uint64_t memory_map_size_bound(const orvik_compiler::Graph& graph,
                                    const orvik_compiler::schedule_io::ScheduleCounts& counts,
                                    std::uint16_t tile);

/// The cost model of the trace, in nanoseconds. A compute phase costs each of its tiles a
/// launch plus the bytes of its shares (output and inputs) at 2 bytes per ns per worker; an
/// exchange costs each tile that sends or receives a setup plus its bytes at 4 bytes per ns.
/// Phases run one after another; a phase lasts as long as its slowest tile.
struct CostModel {
  static constexpr double compute_launch_ns = 500.0;
  static constexpr double compute_bytes_per_ns_per_worker = 2.0;
  static constexpr double exchange_setup_ns = 200.0;
  static constexpr double exchange_bytes_per_ns = 4.0;
};

} // namespace orvik_tool
