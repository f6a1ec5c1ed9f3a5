// The schedule report: the page built into the tool, with the schedule's data in its middle.

#include "report.hpp"

#include "display.hpp"
#include "report_page.inc"

#include <orvik_compiler/compiler.hpp>
#include <orvik_compiler/verify_schedule.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <variant>
#include <vector>

namespace orvik_tool {
namespace {

using json = nlohmann::json;
using orvik_compiler::Phase;

/// A run of consecutive tiles as [first, count]; a layout of tiles 0 .. n-1 is one run.
json tile_runs(const std::vector<std::uint16_t>& tiles) {
  json runs = json::array();
  for (std::size_t i = 0; i < tiles.size();) {
    std::size_t end = i + 1;
    while (end < tiles.size() && tiles[end] == tiles[end - 1] + 1) {
      ++end;
    }
    runs.push_back({tiles[i], end - i});
    i = end;
  }
  return runs;
}

std::string kind_name(orvik_compiler::TensorKind kind) {
  std::ostringstream name;
  name << kind;
  return name.str();
}

/// Name, kind, shape, layout, share size, block size and lifetime of every tensor.
json tensors_json(const orvik_compiler::Graph& graph, const orvik_compiler::Schedule& schedule) {
  struct Blocks {
    json block = nullptr;
    json live = nullptr;
  };
  std::vector<Blocks> blocks(graph.tensors.size());
  for (const orvik_compiler::Allocation& allocation : schedule.allocations) {
    if (allocation.tensor.index >= blocks.size()) {
      continue;
    }
    Blocks& tensor = blocks[allocation.tensor.index];
    if (tensor.block.is_null()) {
      tensor.block = allocation.size;
      tensor.live = {allocation.live_from, allocation.live_until};
      continue;
    }
    tensor.live[0] = std::min(tensor.live[0].get<std::uint64_t>(), allocation.live_from);
    tensor.live[1] = std::max(tensor.live[1].get<std::uint64_t>(), allocation.live_until);
  }
  json tensors = json::array();
  for (std::size_t t = 0; t < graph.tensors.size(); ++t) {
    const orvik_compiler::Tensor& tensor = graph.tensors[t];
    json entry{{"name", display_name(tensor.name)},
               {"kind", kind_name(tensor.kind)},
               {"shape", tensor.shape},
               {"producer", nullptr},
               {"tiles", json::array()},
               {"sharding", nullptr},
               {"alignment", nullptr},
               {"share", nullptr},
               {"block", blocks[t].block},
               {"live", blocks[t].live}};
    if (tensor.producer && tensor.producer->index < graph.ops.size()) {
      entry["producer"] = display_name(graph.ops[tensor.producer->index].name);
    }
    if (t < schedule.layouts.size()) {
      const orvik_compiler::Layout& layout = schedule.layouts[t];
      entry["tiles"] = tile_runs(layout.tiles);
      entry["sharding"] = orvik_compiler::sharding_name(layout.sharding);
      entry["alignment"] = layout.alignment;
      if (!layout.tiles.empty()) {
        entry["share"] = orvik_compiler::local_bytes(tensor, layout);
      }
    }
    tensors.push_back(std::move(entry));
  }
  return tensors;
}

/// One row of the timeline: kind, operation, kernel, tiles taking part, transfers and bytes.
json phase_json(const orvik_compiler::Graph& graph, const orvik_compiler::Schedule& schedule,
                std::size_t p) {
  const orvik_compiler::Op* op = phase_operation(graph, schedule, p);
  json row{{"operation", op != nullptr ? display_name(op->name) : "?"}};
  if (const auto* exchange = std::get_if<Phase::Exchange>(&schedule.phases[p].value)) {
    std::set<std::uint16_t> tiles;
    std::uint64_t bytes = 0;
    for (const orvik_compiler::Transfer& transfer : exchange->transfers) {
      tiles.insert(transfer.source_tile);
      tiles.insert(transfer.destination_tile);
      bytes += transfer.bytes;
    }
    row["kind"] = "exchange";
    row["kernel"] = "";
    row["tiles"] = tiles.size();
    row["transfers"] = exchange->transfers.size();
    row["bytes"] = bytes;
    return row;
  }
  const auto& compute = std::get<Phase::Compute>(schedule.phases[p].value);
  row["kind"] = "compute";
  row["kernel"] = compute.commands.empty() ? "" : compute.commands.front().specialization.operation;
  row["tiles"] = compute.commands.size();
  row["transfers"] = 0;
  row["bytes"] = 0;
  return row;
}

/// Every tile's allocations as a flat list of (tensor, address, size, live_from, live_until),
/// tensor -1 for an id outside the graph; tiles with equal lists share one. Adds "lists" and
/// "tile_lists" (per tile, the index of its list, -1 for a tile without allocations).
void add_allocations(json& data, const orvik_compiler::Graph& graph,
                     const orvik_compiler::Schedule& schedule) {
  std::vector<std::vector<std::int64_t>> per_tile(schedule.tile_count);
  for (const orvik_compiler::Allocation& allocation : schedule.allocations) {
    if (allocation.tile >= per_tile.size()) {
      continue;
    }
    const std::int64_t tensor = allocation.tensor.index < graph.tensors.size()
                                    ? static_cast<std::int64_t>(allocation.tensor.index)
                                    : -1;
    per_tile[allocation.tile].insert(per_tile[allocation.tile].end(),
                                     {tensor, allocation.address, allocation.size,
                                      static_cast<std::int64_t>(allocation.live_from),
                                      static_cast<std::int64_t>(allocation.live_until)});
  }
  std::map<std::vector<std::int64_t>, std::size_t> list_of;
  json lists = json::array();
  json tile_lists = json::array();
  for (std::vector<std::int64_t>& list : per_tile) {
    if (list.empty()) {
      tile_lists.push_back(-1);
      continue;
    }
    const auto [entry, added] = list_of.try_emplace(std::move(list), list_of.size());
    if (added) {
      lists.push_back(entry->first);
    }
    tile_lists.push_back(entry->second);
  }
  data["lists"] = std::move(lists);
  data["tile_lists"] = std::move(tile_lists);
}

/// The data as JSON that can sit inside a script element: every "<" is written as \u003c, so
/// no name can close the element or open a comment.
std::string script_safe(const json& data) {
  const std::string text = data.dump(-1, ' ', false, json::error_handler_t::replace);
  std::string safe;
  safe.reserve(text.size());
  for (const char c : text) {
    if (c == '<') {
      safe += "\\u003c";
    } else {
      safe += c;
    }
  }
  return safe;
}

} // namespace

std::string schedule_report_html(std::string_view name, const orvik_compiler::Graph& graph,
                                 const orvik_compiler::CompilerOptions& options,
                                 const orvik_compiler::Schedule& schedule) {
  const orvik_compiler::Result<void> verdict =
      orvik_compiler::verify_schedule(graph, options, schedule);
  json data{{"name", display_name(name)},
            {"options",
             {{"tile_count", options.tile_count},
              {"data_base", options.data_base},
              {"data_limit", options.data_limit}}},
            {"sound", verdict.has_value()},
            {"verdict", verdict ? "ok" : verdict.error().message},
            {"operations", graph.ops.size()},
            {"tensors", tensors_json(graph, schedule)}};
  json phases = json::array();
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    phases.push_back(phase_json(graph, schedule, p));
  }
  data["phases"] = std::move(phases);
  std::vector<std::uint32_t> peaks(schedule.tile_count, 0);
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    if (tile < peaks.size()) {
      peaks[tile] = bytes;
    }
  }
  data["peaks"] = peaks;
  add_allocations(data, graph, schedule);

  // The page's source, built into the tool, ends its first half with the opening tag of the
  // data's script element and starts its second with the end tag.
  std::string page(reinterpret_cast<const char*>(report_page_before_data),
                   sizeof report_page_before_data);
  page += script_safe(data);
  page.append(reinterpret_cast<const char*>(report_page_after_data), sizeof report_page_after_data);
  return page;
}

std::size_t report_page_bytes() {
  return sizeof report_page_before_data + sizeof report_page_after_data;
}

} // namespace orvik_tool
