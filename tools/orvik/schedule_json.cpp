// The schedule as JSON.

#include "views.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

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

/// Appends the member `key` of the top-level object, an array, with one element per record of
/// `records` made by `element`, as a whole document printed with an indent of 2 would hold it.
/// The elements are printed one at a time, so that only the text is ever whole in memory.
template <class Records, class Element>
void append_array(std::string& text, std::string_view key, const Records& records,
                  Element element) {
  constexpr std::string_view indent = "    ";
  text += "  " + json(key).dump() + ": [";
  bool first = true;
  for (const auto& record : records) {
    text += first ? "\n" : ",\n";
    first = false;
    // The element's own lines, moved in by its depth; strings hold no raw line breaks.
    const std::string lines = element(record).dump(2, ' ', false, json::error_handler_t::replace);
    for (std::size_t start = 0; start < lines.size();) {
      const std::size_t end = std::min(lines.find('\n', start), lines.size() - 1) + 1;
      text += indent;
      text.append(lines, start, end - start);
      start = end;
    }
  }
  text += first ? "]" : "\n  ]";
}

} // namespace

std::string schedule_json(const orvik_compiler::Schedule& schedule) {
  std::string text =
      "{\n  \"schema\": \"orvik-schedule\",\n  \"version\": " + std::to_string(schema_version) +
      ",\n  \"tile_count\": " + std::to_string(schedule.tile_count) + ",\n";
  append_array(text, "layouts", schedule.layouts, [](const orvik_compiler::Layout& layout) {
    return json{{"tensor", layout.tensor.index},
                {"tiles", layout.tiles},
                {"sharding", orvik_compiler::sharding_name(layout.sharding)},
                {"alignment", layout.alignment}};
  });
  text += ",\n";
  append_array(text, "phases", schedule.phases, phase_json);
  text += ",\n";
  append_array(
      text, "allocations", schedule.allocations, [](const orvik_compiler::Allocation& allocation) {
        return json{{"tensor", allocation.tensor.index}, {"tile", allocation.tile},
                    {"address", allocation.address},     {"size", allocation.size},
                    {"live_from", allocation.live_from}, {"live_until", allocation.live_until}};
      });
  text += ",\n";
  append_array(text, "peak_sram", schedule.peak_sram, [](const auto& peak) {
    return json{{"tile", peak.first}, {"bytes", peak.second}};
  });
  text += "\n}\n";
  return text;
}

} // namespace orvik_tool
