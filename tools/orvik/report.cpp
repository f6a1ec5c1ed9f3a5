// The schedule report: the page built into the tool, with the schedule's data in its middle.

#include "report.hpp"

#include "display.hpp"
#include "report_page.inc"

#include <orvik_compiler/compiler.hpp>
#include <orvik_compiler/verify_schedule.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>
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

/// The index of `key` among the distinct keys met so far, adding it to `table` as `entry` when
/// it is new: tensors and phases refer to shapes, layouts and kernels that most of them share.
template <typename Key>
std::size_t shared_entry(std::map<Key, std::size_t>& index_of, json& table, Key key,
                         const std::function<json()>& entry) {
  const auto [found, added] = index_of.try_emplace(std::move(key), index_of.size());
  if (added) {
    table.push_back(entry());
  }
  return found->second;
}

/// The tensors as columns, one entry per tensor in each: name, kind (an index into
/// kind_names), shape and layout (indices into the tables of distinct shapes and layouts, a
/// layout as [tile runs, sharding, alignment, share], -1 without one), producer (an index into
/// operation_names, -1 for none) and blocks: (block size, live from, live until) for each
/// tensor, -1 three times for a tensor without allocations.
json tensors_json(const orvik_compiler::Graph& graph, const orvik_compiler::Schedule& schedule) {
  constexpr std::int64_t none = -1;
  struct Blocks {
    std::int64_t size = none;
    std::uint64_t from = 0;
    std::uint64_t until = 0;
  };
  std::vector<Blocks> blocks(graph.tensors.size());
  for (const orvik_compiler::Allocation& allocation : schedule.allocations) {
    if (allocation.tensor.index >= blocks.size()) {
      continue;
    }
    Blocks& tensor = blocks[allocation.tensor.index];
    if (tensor.size == none) {
      tensor = {allocation.size, allocation.live_from, allocation.live_until};
      continue;
    }
    tensor.from = std::min(tensor.from, allocation.live_from);
    tensor.until = std::max(tensor.until, allocation.live_until);
  }
  using LayoutKey = std::tuple<std::vector<std::uint16_t>, orvik_compiler::Sharding, std::uint64_t,
                               std::uint64_t>;
  std::map<std::vector<std::uint64_t>, std::size_t> shape_index;
  std::map<LayoutKey, std::size_t> layout_index;
  json names = json::array();
  json kinds = json::array();
  json shapes = json::array();
  json shape_of = json::array();
  json layouts = json::array();
  json layout_of = json::array();
  json producers = json::array();
  json block_columns = json::array();
  for (std::size_t t = 0; t < graph.tensors.size(); ++t) {
    const orvik_compiler::Tensor& tensor = graph.tensors[t];
    names.push_back(display_name(tensor.name));
    kinds.push_back(static_cast<std::uint8_t>(tensor.kind));
    shape_of.push_back(
        shared_entry(shape_index, shapes, tensor.shape, [&] { return json(tensor.shape); }));
    if (t < schedule.layouts.size()) {
      const orvik_compiler::Layout& layout = schedule.layouts[t];
      const std::uint64_t share =
          layout.tiles.empty() ? 0 : orvik_compiler::local_bytes(tensor, layout);
      layout_of.push_back(shared_entry(
          layout_index, layouts, LayoutKey{layout.tiles, layout.sharding, layout.alignment, share},
          [&] {
            return json{tile_runs(layout.tiles), orvik_compiler::sharding_name(layout.sharding),
                        layout.alignment, layout.tiles.empty() ? json(nullptr) : json(share)};
          }));
    } else {
      layout_of.push_back(none);
    }
    producers.push_back(tensor.producer && tensor.producer->index < graph.ops.size()
                            ? static_cast<std::int64_t>(tensor.producer->index)
                            : none);
    if (blocks[t].size == none) {
      block_columns.insert(block_columns.end(), {none, none, none});
    } else {
      block_columns.insert(block_columns.end(), {blocks[t].size, blocks[t].from, blocks[t].until});
    }
  }
  // In the enumeration's order, which "kinds" gives by number.
  json kind_names = json::array();
  for (const orvik_compiler::TensorKind kind :
       {orvik_compiler::TensorKind::Input, orvik_compiler::TensorKind::Weight,
        orvik_compiler::TensorKind::Intermediate, orvik_compiler::TensorKind::Output}) {
    kind_names.push_back(kind_name(kind));
  }
  return json{{"names", std::move(names)},           {"kinds", std::move(kinds)},
              {"kind_names", std::move(kind_names)}, {"shapes", std::move(shapes)},
              {"shape", std::move(shape_of)},        {"layouts", std::move(layouts)},
              {"layout", std::move(layout_of)},      {"producers", std::move(producers)},
              {"blocks", std::move(block_columns)}};
}

/// The timeline, six numbers per phase in "rows": exchange (1) or compute (0), operation (an
/// index into operation_names, -1 when there is none), kernel (an index into "kernels", whose
/// entry 0 is "", an exchange's), tiles taking part, transfers and bytes.
json phases_json(const orvik_compiler::Graph& graph, const orvik_compiler::Schedule& schedule) {
  std::map<std::string, std::size_t> kernel_index{{"", 0}};
  json kernels = json::array({""});
  json rows = json::array();
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const orvik_compiler::Op* op = phase_operation(graph, schedule, p);
    const std::int64_t operation = op != nullptr ? op - graph.ops.data() : -1;
    if (const auto* exchange = std::get_if<Phase::Exchange>(&schedule.phases[p].value)) {
      std::set<std::uint16_t> tiles;
      std::uint64_t bytes = 0;
      for (const orvik_compiler::Transfer& transfer : exchange->transfers) {
        tiles.insert(transfer.source_tile);
        tiles.insert(transfer.destination_tile);
        bytes += transfer.bytes;
      }
      rows.insert(rows.end(), {1, operation, 0, tiles.size(), exchange->transfers.size(), bytes});
      continue;
    }
    const auto& compute = std::get<Phase::Compute>(schedule.phases[p].value);
    const std::string kernel =
        compute.commands.empty() ? "" : compute.commands.front().specialization.operation;
    const std::size_t kernel_id =
        shared_entry(kernel_index, kernels, kernel, [&] { return json(kernel); });
    rows.insert(rows.end(), {0, operation, kernel_id, compute.commands.size(), 0, 0});
  }
  return json{{"kernels", std::move(kernels)}, {"rows", std::move(rows)}};
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
            {"tensors", tensors_json(graph, schedule)},
            {"phases", phases_json(graph, schedule)}};
  // An operation's name is most often its output's, which the page finds through the producers.
  json operation_names = json::array();
  for (std::size_t o = 0; o < graph.ops.size(); ++o) {
    const orvik_compiler::Op& op = graph.ops[o];
    const std::size_t output = op.output.index;
    const bool named_by_output = output < graph.tensors.size() && graph.tensors[output].producer &&
                                 graph.tensors[output].producer->index == o &&
                                 graph.tensors[output].name == op.name;
    operation_names.push_back(named_by_output ? json(nullptr) : json(display_name(op.name)));
  }
  data["operation_names"] = std::move(operation_names);
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
