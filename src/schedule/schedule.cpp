// The debug text of the schedule records.

#include "orvik_compiler/schedule.hpp"

#include "../debug_text/record.hpp"

#include <array>
#include <ostream>

namespace orvik_compiler {

using debug_text::Quoted;
using debug_text::Record;

std::ostream& operator<<(std::ostream& out, const CompilerOptions& options) {
  Record(out, "CompilerOptions")
      .field("tile_count", options.tile_count)
      .field("data_base", options.data_base)
      .field("data_limit", options.data_limit);
  return out;
}

namespace {

struct ShardingName {
  Sharding sharding;
  std::string_view name;
};

constexpr std::array<ShardingName, 4> sharding_names{{{Sharding::Replicated, "Replicated"},
                                                      {Sharding::Rows, "Rows"},
                                                      {Sharding::Columns, "Columns"},
                                                      {Sharding::Heads, "Heads"}}};

} // namespace

std::string_view sharding_name(Sharding sharding) {
  for (const ShardingName& entry : sharding_names) {
    if (entry.sharding == sharding) {
      return entry.name;
    }
  }
  return "?";
}

std::optional<Sharding> sharding_named(std::string_view name) {
  for (const ShardingName& entry : sharding_names) {
    if (entry.name == name) {
      return entry.sharding;
    }
  }
  return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, Sharding sharding) {
  return out << sharding_name(sharding);
}

std::ostream& operator<<(std::ostream& out, const Layout& layout) {
  Record(out, "Layout")
      .field("tensor", layout.tensor)
      .list("tiles", layout.tiles)
      .field("sharding", layout.sharding)
      .field("alignment", layout.alignment);
  return out;
}

std::ostream& operator<<(std::ostream& out, const SpecializationKey& key) {
  Record(out, "SpecializationKey")
      .field("operation", Quoted{key.operation})
      .list("shape", key.shape)
      .field("worker_count", static_cast<unsigned>(key.worker_count))
      .field("role", Quoted{key.role})
      .field("alignment", key.alignment);
  return out;
}

std::ostream& operator<<(std::ostream& out, const KernelCommand& command) {
  Record(out, "KernelCommand")
      .field("tile", command.tile)
      .field("output", command.output)
      .list("inputs", command.inputs)
      .field("specialization", command.specialization);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Transfer& transfer) {
  Record(out, "Transfer")
      .field("source_tile", transfer.source_tile)
      .field("destination_tile", transfer.destination_tile)
      .field("tensor", transfer.tensor)
      .field("bytes", transfer.bytes);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Phase::Exchange& exchange) {
  Record(out, "Exchange").list("transfers", exchange.transfers);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Phase::Compute& compute) {
  Record(out, "Compute").field("op", compute.op).list("commands", compute.commands);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Phase& phase) {
  std::visit([&out](const auto& step) { out << step; }, phase.value);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Allocation& allocation) {
  Record(out, "Allocation")
      .field("tensor", allocation.tensor)
      .field("tile", allocation.tile)
      .field("address", allocation.address)
      .field("size", allocation.size)
      .field("live_from", allocation.live_from)
      .field("live_until", allocation.live_until);
  return out;
}

std::ostream& operator<<(std::ostream& out, const Schedule& schedule) {
  Record record(out, "Schedule");
  record.list("layouts", schedule.layouts)
      .list("phases", schedule.phases)
      .list("allocations", schedule.allocations)
      .field("tile_count", schedule.tile_count);
  std::ostream& peaks = record.begin("peak_sram");
  peaks << '{';
  bool first = true;
  for (const auto& [tile, bytes] : schedule.peak_sram) {
    peaks << (first ? "" : ", ") << tile << ": " << bytes;
    first = false;
  }
  peaks << '}';
  return out;
}

} // namespace orvik_compiler
