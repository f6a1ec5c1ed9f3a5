// The schedule as JSON, and the bound of its length.

#include "schedule_json.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace orvik_compiler::schedule_io {
namespace {

// Keys keep the order of the records' fields, so the file reads like the debug text.
using json = nlohmann::ordered_json;

constexpr std::uint64_t schema_version = 1;

json ids(const std::vector<TensorId>& tensors) {
  json list = json::array();
  for (const TensorId id : tensors) {
    list.push_back(id.index);
  }
  return list;
}

json phase_json(const Phase& phase) {
  if (const auto* exchange = std::get_if<Phase::Exchange>(&phase.value)) {
    json transfers = json::array();
    for (const Transfer& transfer : exchange->transfers) {
      transfers.push_back({{"source_tile", transfer.source_tile},
                           {"destination_tile", transfer.destination_tile},
                           {"tensor", transfer.tensor.index},
                           {"bytes", transfer.bytes}});
    }
    return {{"kind", "exchange"}, {"transfers", std::move(transfers)}};
  }
  const auto& compute = std::get<Phase::Compute>(phase.value);
  json commands = json::array();
  for (const KernelCommand& command : compute.commands) {
    const SpecializationKey& key = command.specialization;
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

std::string schedule_json(const Schedule& schedule) {
  std::string text =
      "{\n  \"schema\": \"orvik-schedule\",\n  \"version\": " + std::to_string(schema_version) +
      ",\n  \"tile_count\": " + std::to_string(schedule.tile_count) + ",\n";
  append_array(text, "layouts", schedule.layouts, [](const Layout& layout) {
    return json{{"tensor", layout.tensor.index},
                {"tiles", layout.tiles},
                {"sharding", sharding_name(layout.sharding)},
                {"alignment", layout.alignment}};
  });
  text += ",\n";
  append_array(text, "phases", schedule.phases, phase_json);
  text += ",\n";
  append_array(text, "allocations", schedule.allocations, [](const Allocation& allocation) {
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

std::uint64_t json_size_bound(const ScheduleCounts& counts) {
  const std::uint64_t tile = counts.tile_digits;
  const std::uint64_t tensor = counts.tensor_digits;
  // The document's head and its peak table, an entry per tile.
  ByteBound text{200 + counts.tile_count * (45 + tile + counts.address_digits)};
  // A layout with its list of tiles, a line each, and an allocation per tile.
  for (const ScheduleCounts::Tensor& t : counts.tensors) {
    text += ByteBound{110 + tensor + sharding_width + alignment_width} +
            ByteBound{t.tiles} * ByteBound{10 + tile} +
            ByteBound{t.tiles} * ByteBound{124 + tensor + tile + 2 * counts.address_digits +
                                           2 * counts.phase_digits};
  }
  for (const ScheduleCounts::Operation& op : counts.operations) {
    const ScheduleCounts::Tensor& output = counts.tensors[op.output];
    // Inputs and extents take a line each, indented by 12 and 14.
    const std::uint64_t command =
        290 + tile + tensor + kernel_width + workers_width + sharding_width + alignment_width +
        (14 + tensor) * op.inputs.size() + op.shape_digits + 16 * output.rank;
    text += ByteBound{80 + counts.operation_digits} + ByteBound{output.tiles} * ByteBound{command};
    if (op.transfers > 0) {
      text += ByteBound{68} +
              ByteBound{op.transfers} * ByteBound{122 + 2 * tile + tensor + counts.address_digits};
    }
  }
  return text.value;
}

} // namespace orvik_compiler::schedule_io
