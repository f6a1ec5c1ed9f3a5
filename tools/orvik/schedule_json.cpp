// The schedule as JSON.

#include "views.hpp"

#include <nlohmann/json.hpp>

namespace orvik_tool {
namespace {

// Keys keep the order of the records' fields, so the file reads like the debug text.
using json = nlohmann::ordered_json;
using orvik_compiler::Phase;

constexpr std::uint64_t schema_version = 1;

json ids(const std::vector<orvik_compiler::TensorId>& tensors) {
  json list = json::array();
  for (const orvik_compiler::TensorId id : tensors) {
    list.push_back(id.index);
  }
  return list;
}

json phase_json(const Phase& phase) {
  if (const auto* exchange = std::get_if<Phase::Exchange>(&phase.value)) {
    json transfers = json::array();
    for (const orvik_compiler::Transfer& transfer : exchange->transfers) {
      transfers.push_back({{"source_tile", transfer.source_tile},
                           {"destination_tile", transfer.destination_tile},
                           {"tensor", transfer.tensor.index},
                           {"bytes", transfer.bytes}});
    }
    return {{"kind", "exchange"}, {"transfers", std::move(transfers)}};
  }
  const auto& compute = std::get<Phase::Compute>(phase.value);
  json commands = json::array();
  for (const orvik_compiler::KernelCommand& command : compute.commands) {
    const orvik_compiler::SpecializationKey& key = command.specialization;
    commands.push_back({{"tile", command.tile},
                        {"output", command.output.index},
                        {"inputs", ids(command.inputs)},
                        {"specialization",
                         {{"operation", key.operation},
                          {"shape", key.shape},
                          {"worker_count", key.worker_count},
                          {"role", key.role},
                          {"alignment", key.alignment}}}});
  }
  return {{"kind", "compute"}, {"op", compute.op.index}, {"commands", std::move(commands)}};
}

} // namespace

std::string schedule_json(const orvik_compiler::Schedule& schedule) {
  json layouts = json::array();
  for (const orvik_compiler::Layout& layout : schedule.layouts) {
    layouts.push_back({{"tensor", layout.tensor.index},
                       {"tiles", layout.tiles},
                       {"sharding", orvik_compiler::sharding_name(layout.sharding)},
                       {"alignment", layout.alignment}});
  }
  json phases = json::array();
  for (const Phase& phase : schedule.phases) {
    phases.push_back(phase_json(phase));
  }
  json allocations = json::array();
  for (const orvik_compiler::Allocation& allocation : schedule.allocations) {
    allocations.push_back({{"tensor", allocation.tensor.index},
                           {"tile", allocation.tile},
                           {"address", allocation.address},
                           {"size", allocation.size},
                           {"live_from", allocation.live_from},
                           {"live_until", allocation.live_until}});
  }
  json peaks = json::array();
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    peaks.push_back({{"tile", tile}, {"bytes", bytes}});
  }
  const json document{{"schema", "orvik-schedule"},        {"version", schema_version},
                      {"tile_count", schedule.tile_count}, {"layouts", std::move(layouts)},
                      {"phases", std::move(phases)},       {"allocations", std::move(allocations)},
                      {"peak_sram", std::move(peaks)}};
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace orvik_tool
