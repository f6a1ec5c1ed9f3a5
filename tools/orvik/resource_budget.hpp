#pragma once

// The memory budget of a command: what compiling a graph and showing its schedule would take,
// estimated from the graph and the options before any of it is built, and the check of that
// estimate against the budget.
//
// The estimate sums, over the tensors and operations, the records that the compiler makes and
// the text that each view writes for them, with every number at its widest and every name at
// its escaped length:
//
// - the schedule: per tensor its layout, and per tile that holds a share an allocation and the
//   planner's working state for the share; per operation one kernel command for every tile of
//   its output, each with a copy of the output's shape and of the operation's inputs, and one
//   transfer for every tile that an input on fewer tiles than the output must reach; the peak
//   table per tile. With n(t) the tiles of tensor t, that is about 140 * sum n(t) plus, per
//   operation o with output t, n(t) * (180 + 8 * rank(t) + 8 * inputs(o)) bytes, plus 48 per
//   transfer.
// - each view: the bound of its text that the view states beside its writer (the debug text,
//   which the library writes, is bounded here), counted three times, for the growth of the
//   buffer that holds it, and the view's working state: the summary's rows. The HTML report adds
//   its page, the JSON document it builds its data from,
//   the lists of every tile's allocations and the schedule verifier's working state, and counts
//   every tile's list as distinct.
//
// Layouts are counted as `compile` chooses them, so the estimate costs time linear in the
// graph's tensors, operations and shape lengths, never in its tiles. It is an upper bound for
// schedules that compile; the planner's share is an allowance, not a count.

#include "tool_failure.hpp"

#include "schedule_io/schedule_counts.hpp"

#include <orvik_compiler/graph.hpp>
#include <orvik_compiler/schedule.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvik_tool {

/// The budget that a command uses unless told otherwise: 1 GiB. The largest workload, the
/// 24-layer encoder stack on 1472 tiles, is estimated at 839 MB with the JSON, the trace, the
/// memory picture and the report all asked for; four operations on a rank-1000 tensor on 65535
/// tiles, whose kernel commands each copy the 1000 extents, at 2.2 GB.
constexpr std::uint64_t default_memory_budget = std::uint64_t{1} << 30U;

/// One thing that a command builds, and the bytes it is estimated to take.
struct MemoryUse {
  /// What it is, for messages: "schedule", "--emit json", "--trace".
  std::string what;
  std::uint64_t bytes = 0;
};

/// The estimates for one graph and one set of options. Sums saturate at 2^64 - 1 bytes.
class MemoryEstimate {
public:
  /// Counts the schedule's records, which the estimates are made of, and keeps a reference to
  /// `graph`, whose names they read: the graph must outlive the estimate. Expects a validated
  /// graph; throws std::overflow_error, like `compile`, for a tensor whose byte count does not
  /// fit 64 bits.
  MemoryEstimate(const orvik_compiler::Graph& graph,
                 const orvik_compiler::CompilerOptions& options);
  MemoryEstimate(orvik_compiler::Graph&& graph,
                 const orvik_compiler::CompilerOptions& options) = delete;

  /// The schedule's records and the memory planner's working state.
  std::uint64_t schedule() const;
  /// The memory that building each view's text takes.
  std::uint64_t summary() const;
  std::uint64_t debug_text() const;
  std::uint64_t json() const;
  std::uint64_t trace() const;
  std::uint64_t memory_map(std::uint16_t tile) const;
  /// The HTML report, its header naming the graph `name`.
  std::uint64_t report(std::string_view name) const;

private:
  const orvik_compiler::Graph& graph_;
  orvik_compiler::schedule_io::ScheduleCounts counts_;
};

/// Success when the uses together fit `budget`; otherwise a failure with the compile status:
/// "this command needs an estimated N bytes of memory (schedule A, --trace B), more than the
/// budget of M bytes; --memory-budget raises it".
ToolResult<void> check_memory_budget(const std::vector<MemoryUse>& uses, std::uint64_t budget);

} // namespace orvik_tool
