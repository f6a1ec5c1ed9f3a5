// The summary report, and the bound of its length.

#include "display.hpp"
#include "views.hpp"

#include <algorithm>
#include <iomanip>
#include <set>
#include <sstream>
#include <string_view>

namespace orvik_tool {
namespace {

using orvik_compiler::Phase;

/// `name` cut to `summary_name_width` bytes, its end replaced by "...", when it is longer; the
/// cut never splits a UTF-8 sequence.
std::string shortened(std::string name) {
  if (name.size() <= summary_name_width) {
    return name;
  }
  constexpr std::string_view ellipsis = "...";
  std::size_t end = summary_name_width - ellipsis.size();
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0U) == 0x80U) {
    --end;
  }
  name.resize(end);
  return name + std::string(ellipsis);
}

std::string percent_of(std::uint64_t part, std::uint64_t whole) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(2)
      << 100.0 * static_cast<double>(part) / static_cast<double>(whole) << '%';
  return out.str();
}

struct PhaseRow {
  std::string kind;
  std::string operation;
  std::string kernel;
  std::size_t tiles = 0;
  std::size_t transfers = 0;
  std::uint64_t bytes = 0;
};

PhaseRow describe(const orvik_compiler::Graph& graph, const orvik_compiler::Schedule& schedule,
                  std::size_t p) {
  PhaseRow row;
  const orvik_compiler::Op* op = phase_operation(graph, schedule, p);
  row.operation = op != nullptr ? shortened(display_name(op->name)) : "?";
  if (const auto* exchange = std::get_if<Phase::Exchange>(&schedule.phases[p].value)) {
    row.kind = "exchange";
    row.kernel = "-";
    std::set<std::uint16_t> tiles;
    for (const orvik_compiler::Transfer& transfer : exchange->transfers) {
      tiles.insert(transfer.source_tile);
      tiles.insert(transfer.destination_tile);
      row.bytes += transfer.bytes;
    }
    row.tiles = tiles.size();
    row.transfers = exchange->transfers.size();
    return row;
  }
  const auto& compute = std::get<Phase::Compute>(schedule.phases[p].value);
  row.kind = "compute";
  row.kernel = compute.commands.empty() ? "-" : compute.commands.front().specialization.operation;
  row.tiles = compute.commands.size();
  return row;
}

} // namespace

std::string summary_report(const orvik_compiler::Graph& graph,
                           const orvik_compiler::CompilerOptions& options,
                           const orvik_compiler::Schedule& schedule) {
  const std::uint64_t window = std::uint64_t{options.data_limit} - options.data_base;
  std::ostringstream out;
  out << "Schedule of " << graph.ops.size() << " operations and " << graph.tensors.size()
      << " tensors on " << schedule.tile_count << " tiles; data window " << hex(options.data_base)
      << ".." << hex(options.data_limit) << " (" << window << " bytes per tile)\n\n";

  std::vector<PhaseRow> rows;
  std::size_t name_width = 9;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    rows.push_back(describe(graph, schedule, p));
    name_width = std::max(name_width, rows.back().operation.size());
  }
  out << "Phases\n"
      << "  phase  kind      " << std::left << std::setw(static_cast<int>(name_width))
      << "operation"
      << "  kernel      " << std::right << std::setw(6) << "tiles" << std::setw(11) << "transfers"
      << std::setw(13) << "bytes moved" << '\n';
  std::uint64_t total_transfers = 0;
  std::uint64_t total_moved = 0;
  std::size_t exchanges = 0;
  for (std::size_t p = 0; p < rows.size(); ++p) {
    const PhaseRow& row = rows[p];
    out << std::right << std::setw(7) << p << "  " << std::left << std::setw(10) << row.kind
        << std::setw(static_cast<int>(name_width)) << row.operation << "  " << std::setw(12)
        << row.kernel << std::right << std::setw(6) << row.tiles << std::setw(11) << row.transfers
        << std::setw(13) << row.bytes << '\n';
    total_transfers += row.transfers;
    total_moved += row.bytes;
    exchanges += row.kind == "exchange" ? 1U : 0U;
  }

  out << "\nPeak memory per band of tiles with equal peaks\n"
      << "  tiles            peak bytes  share of window\n";
  const auto& peaks = schedule.peak_sram;
  for (auto band = peaks.begin(); band != peaks.end();) {
    auto last = band;
    while (std::next(last) != peaks.end() && std::next(last)->first == last->first + 1 &&
           std::next(last)->second == band->second) {
      ++last;
    }
    std::ostringstream tiles;
    tiles << band->first;
    if (last->first != band->first) {
      tiles << '-' << last->first;
    }
    out << "  " << std::left << std::setw(15) << tiles.str() << std::right << std::setw(12)
        << band->second << std::setw(17) << percent_of(band->second, window) << '\n';
    band = std::next(last);
  }

  std::uint64_t allocated = 0;
  for (const orvik_compiler::Allocation& allocation : schedule.allocations) {
    allocated += allocation.size;
  }
  out << "\nTotals\n"
      << "  phases        " << schedule.phases.size() << " (" << schedule.phases.size() - exchanges
      << " compute, " << exchanges << " exchange)\n"
      << "  transfers     " << total_transfers << ", " << total_moved << " bytes moved\n"
      << "  allocations   " << schedule.allocations.size() << ", " << allocated
      << " bytes allocated\n"
      << "  tiles used    " << peaks.size() << " of " << schedule.tile_count << '\n';
  const auto highest = std::max_element(
      peaks.begin(), peaks.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  if (highest != peaks.end()) {
    out << "  highest peak  " << highest->second << " bytes on tile " << highest->first << " ("
        << percent_of(highest->second, window) << " of the window)\n";
  }
  return std::move(out).str();
}

std::uint64_t summary_size_bound(const orvik_compiler::Graph& graph,
                                 const orvik_compiler::schedule_io::ScheduleCounts& counts) {
  using orvik_compiler::schedule_io::ByteBound;
  std::uint64_t name_width = 9;
  ByteBound rows;
  // Each operation's row, and one more when it has an exchange.
  for (std::size_t o = 0; o < counts.operations.size(); ++o) {
    const std::uint64_t name = display_name(graph.ops[o].name).size();
    name_width = std::max(name_width, std::min<std::uint64_t>(name, summary_name_width));
    rows += ByteBound{counts.operations[o].transfers > 0 ? 2U : 1U};
  }
  // A row's other columns take up to 80 bytes, a band of tiles 52; the column heads are a row,
  // the title and the totals take 600.
  return (ByteBound{600} + (rows + ByteBound{1}) * ByteBound{80 + name_width} +
          ByteBound{52} * ByteBound{counts.tile_count})
      .value;
}

} // namespace orvik_tool
