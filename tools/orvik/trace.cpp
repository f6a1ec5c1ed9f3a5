// The schedule as a trace event file for timeline viewers.

#include "display.hpp"
#include "views.hpp"

#include <orvik_compiler/compiler.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace orvik_tool {
namespace {

using json = nlohmann::ordered_json;
using orvik_compiler::Phase;

/// Costs are kept in whole nanoseconds so that phase boundaries add up exactly.
std::uint64_t whole_ns(double nanoseconds) {
  return static_cast<std::uint64_t>(std::ceil(nanoseconds));
}

/// One tile's part of one phase: what it costs and what it touches.
struct TileWork {
  std::uint64_t cost_ns = 0;
  std::uint64_t bytes = 0;
  std::set<std::uint64_t> tensors;
};

std::map<std::uint16_t, TileWork> exchange_work(const Phase::Exchange& exchange) {
  std::map<std::uint16_t, TileWork> work;
  for (const orvik_compiler::Transfer& transfer : exchange.transfers) {
    for (const std::uint16_t tile : {transfer.source_tile, transfer.destination_tile}) {
      TileWork& tile_work = work[tile];
      tile_work.bytes += transfer.bytes;
      tile_work.tensors.insert(transfer.tensor.index);
    }
  }
  for (auto& [tile, tile_work] : work) {
    tile_work.cost_ns =
        whole_ns(CostModel::exchange_setup_ns +
                 static_cast<double>(tile_work.bytes) / CostModel::exchange_bytes_per_ns);
  }
  return work;
}

std::map<std::uint16_t, TileWork> compute_work(const orvik_compiler::Graph& graph,
                                               const orvik_compiler::Schedule& schedule,
                                               const Phase::Compute& compute) {
  const auto share = [&](orvik_compiler::TensorId id) -> std::uint64_t {
    if (id.index >= graph.tensors.size() || id.index >= schedule.layouts.size()) {
      return 0;
    }
    return orvik_compiler::local_bytes(graph.tensors[id.index], schedule.layouts[id.index]);
  };
  std::map<std::uint16_t, TileWork> work;
  for (const orvik_compiler::KernelCommand& command : compute.commands) {
    TileWork& tile_work = work[command.tile];
    tile_work.bytes = share(command.output);
    tile_work.tensors.insert(command.output.index);
    for (const orvik_compiler::TensorId input : command.inputs) {
      tile_work.bytes += share(input);
      tile_work.tensors.insert(input.index);
    }
    const double workers = std::max<double>(command.specialization.worker_count, 1.0);
    tile_work.cost_ns = whole_ns(CostModel::compute_launch_ns +
                                 static_cast<double>(tile_work.bytes) /
                                     (CostModel::compute_bytes_per_ns_per_worker * workers));
  }
  return work;
}

/// Trace times are in microseconds.
double microseconds(std::uint64_t nanoseconds) {
  return static_cast<double>(nanoseconds) / 1000.0;
}

std::string tensor_name(const orvik_compiler::Graph& graph, std::uint64_t id) {
  return id < graph.tensors.size() ? display_name(graph.tensors[id].name) : "?";
}

} // namespace

std::string chrome_trace(const orvik_compiler::Graph& graph,
                         const orvik_compiler::Schedule& schedule) {
  // The events are written one at a time, so that only the text is ever whole in memory.
  std::string text = "{\"traceEvents\":[";
  bool first_event = true;
  const auto write_event = [&](const json& event) {
    text += first_event ? "" : ",";
    first_event = false;
    text += event.dump(-1, ' ', false, json::error_handler_t::replace);
  };
  std::set<std::uint16_t> tiles;
  std::uint64_t phase_start_ns = 0;
  for (std::size_t p = 0; p < schedule.phases.size(); ++p) {
    const Phase& phase = schedule.phases[p];
    const auto* exchange = std::get_if<Phase::Exchange>(&phase.value);
    const std::map<std::uint16_t, TileWork> work =
        exchange != nullptr ? exchange_work(*exchange)
                            : compute_work(graph, schedule, std::get<Phase::Compute>(phase.value));
    const orvik_compiler::Op* op = phase_operation(graph, schedule, p);
    const std::string name = exchange != nullptr ? "exchange"
                             : op != nullptr     ? display_name(op->name)
                                                 : "?";
    std::uint64_t longest_ns = 0;
    for (const auto& [tile, tile_work] : work) {
      json tensor_names = json::array();
      for (const std::uint64_t tensor : tile_work.tensors) {
        tensor_names.push_back(tensor_name(graph, tensor));
      }
      json args{{"phase", p}, {"bytes", tile_work.bytes}, {"tensors", std::move(tensor_names)}};
      if (op != nullptr) {
        args["operation"] = display_name(op->name);
      }
      write_event({{"name", name},
                   {"cat", exchange != nullptr ? "exchange" : "compute"},
                   {"ph", "X"},
                   {"pid", 1},
                   {"tid", tile + 1},
                   {"ts", microseconds(phase_start_ns)},
                   {"dur", microseconds(tile_work.cost_ns)},
                   {"args", std::move(args)}});
      tiles.insert(tile);
      longest_ns = std::max(longest_ns, tile_work.cost_ns);
    }
    phase_start_ns += longest_ns;
  }
  for (const std::uint16_t tile : tiles) {
    write_event({{"name", "thread_name"},
                 {"ph", "M"},
                 {"pid", 1},
                 {"tid", tile + 1},
                 {"args", {{"name", "tile " + std::to_string(tile)}}}});
  }
  text += "],\"displayTimeUnit\":\"ns\"}\n";
  return text;
}

} // namespace orvik_tool
