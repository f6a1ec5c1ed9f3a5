// The schedule as a trace event file for timeline viewers, and the bound of its length.

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

std::uint64_t json_string_bytes(std::string_view text) {
  const auto escaped =
      std::count_if(text.begin(), text.end(), [](char c) { return c == '"' || c == '\\'; });
  return text.size() + 2 + static_cast<std::uint64_t>(escaped);
}

std::uint64_t trace_size_bound(const orvik_compiler::Graph& graph,
                               const orvik_compiler::schedule_io::ScheduleCounts& counts) {
  using orvik_compiler::schedule_io::ByteBound;
  const auto name_bytes = [&](std::size_t tensor) {
    return json_string_bytes(display_name(graph.tensors[tensor].name));
  };
  // An event's fields besides its names and tensors: 140 bytes and its numbers, a time and a
  // duration as the widest doubles and its bytes as the widest count.
  constexpr std::uint64_t double_width = 24;
  constexpr std::uint64_t count_width = 20;
  const std::uint64_t event =
      140 + counts.tile_digits + 2 * double_width + counts.phase_digits + count_width;
  // The frame, and a track name per tile.
  ByteBound text{64 + counts.tile_count * (80 + 2 * counts.tile_digits)};
  for (std::size_t o = 0; o < counts.operations.size(); ++o) {
    const orvik_compiler::schedule_io::ScheduleCounts::Operation& op = counts.operations[o];
    const std::uint64_t output_tiles = counts.tensors[op.output].tiles;
    const std::uint64_t op_name = json_string_bytes(display_name(graph.ops[o].name));
    ByteBound tensors{name_bytes(op.output) + 1};
    ByteBound moved;
    for (const std::size_t input : op.inputs) {
      const ByteBound input_bytes{name_bytes(input) + 1};
      tensors += input_bytes;
      if (counts.tensors[input].tiles < output_tiles) {
        moved += input_bytes;
      }
    }
    // One event per tile of the output's compute phase, named and labelled by the operation;
    // one per tile of its exchange, which the output's tiles hold.
    text += ByteBound{output_tiles} * (ByteBound{event + 2 * op_name} + tensors);
    if (op.transfers > 0) {
      text += ByteBound{output_tiles} * (ByteBound{event + op_name} + moved);
    }
  }
  return text.value;
}

} // namespace orvik_tool
