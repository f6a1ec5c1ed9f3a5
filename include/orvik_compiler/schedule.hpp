#pragma once

// The records of a compilation: the options that a caller hands to `compile` and the
// `Schedule` it hands back. A schedule refers to its graph only through ids, so it outlives it.

#include "orvik_compiler/graph.hpp"

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvik_compiler {

/// The target: its tile count and the byte window of every tile's data memory. `compile`
/// rejects a tile count of 0 and a window whose base is not below its limit.
struct CompilerOptions {
  std::uint16_t tile_count = 64;
  /// First byte address of the data window of every tile.
  std::uint32_t data_base = 0x52000;
  /// First address past the data window.
  std::uint32_t data_limit = 0xE0000;

  friend bool operator==(const CompilerOptions&, const CompilerOptions&) = default;
};

/// The label of a tensor's split over its tiles; no share size depends on it.
enum class Sharding : std::uint8_t { Replicated, Rows, Columns, Heads };

/// The name of a sharding as the debug text and the schedule files write it: "Replicated",
/// "Rows", "Columns" or "Heads".
std::string_view sharding_name(Sharding sharding);

/// The sharding of that name, or nothing when `name` is none of the four.
std::optional<Sharding> sharding_named(std::string_view name);

/// Where one tensor lives: share i is on `tiles[i]`.
struct Layout {
  TensorId tensor;
  std::vector<std::uint16_t> tiles;
  Sharding sharding = Sharding::Replicated;
  /// Byte alignment of the tensor's blocks on each tile.
  std::uint32_t alignment = 16;

  friend bool operator==(const Layout&, const Layout&) = default;
};

/// Which kernel variant a tile runs.
struct SpecializationKey {
  /// The kernel name, for example "matmul".
  std::string operation;
  /// The full shape of the operation's output tensor, not one tile's share.
  std::vector<std::uint64_t> shape;
  std::uint8_t worker_count = 1;
  /// "tail" on the last tile of the output layout, "body" on every other.
  std::string role;
  std::uint32_t alignment = 16;

  friend bool operator==(const SpecializationKey&, const SpecializationKey&) = default;
};

/// One tile's part of one compute phase.
struct KernelCommand {
  std::uint16_t tile = 0;
  TensorId output;
  std::vector<TensorId> inputs;
  SpecializationKey specialization;

  friend bool operator==(const KernelCommand&, const KernelCommand&) = default;
};

/// One share of a tensor sent between two tiles in an exchange phase.
struct Transfer {
  std::uint16_t source_tile = 0;
  std::uint16_t destination_tile = 0;
  TensorId tensor;
  /// One share of the tensor on its own layout.
  std::uint32_t bytes = 0;

  friend bool operator==(const Transfer&, const Transfer&) = default;
};

/// One step of a schedule: an exchange epoch of transfers, or the computation of one operation
/// with one command per tile of its output, in the order of the output layout's tiles.
struct Phase {
  struct Exchange {
    std::vector<Transfer> transfers;
    friend bool operator==(const Exchange&, const Exchange&) = default;
  };
  struct Compute {
    OpId op;
    std::vector<KernelCommand> commands;
    friend bool operator==(const Compute&, const Compute&) = default;
  };

  using Variant = std::variant<Exchange, Compute>;

  Phase() = default;
  template <class Alternative>
  requires std::is_constructible_v<Variant, Alternative&&> Phase(Alternative&& alternative)
      : value(std::forward<Alternative>(alternative)) {}

  Variant value;
  friend bool operator==(const Phase&, const Phase&) = default;
};

/// One block of one tile's data memory: bytes [address, address + size) from phase
/// `live_from` to phase `live_until`, both inclusive.
struct Allocation {
  TensorId tensor;
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;

  friend bool operator==(const Allocation&, const Allocation&) = default;
};

/// The result of `compile`.
struct Schedule {
  /// Position i holds the layout of tensor i.
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
  /// Every block on every tile, in tensor order and then in the order of the layout's tiles.
  std::vector<Allocation> allocations;
  std::uint16_t tile_count = 0;
  /// For each tile that holds an allocation, its highest block end above `data_base`.
  std::map<std::uint16_t, std::uint32_t> peak_sram;

  friend bool operator==(const Schedule&, const Schedule&) = default;
};

/// Debug text, in the structural form `Name { field: value, field: value }`: numbers in
/// decimal, strings quoted and escaped, arrays in brackets, the peak table as {tile: count}.
std::ostream& operator<<(std::ostream& out, const CompilerOptions& options);
std::ostream& operator<<(std::ostream& out, Sharding sharding);
std::ostream& operator<<(std::ostream& out, const Layout& layout);
std::ostream& operator<<(std::ostream& out, const SpecializationKey& key);
std::ostream& operator<<(std::ostream& out, const KernelCommand& command);
std::ostream& operator<<(std::ostream& out, const Transfer& transfer);
std::ostream& operator<<(std::ostream& out, const Phase::Exchange& exchange);
std::ostream& operator<<(std::ostream& out, const Phase::Compute& compute);
std::ostream& operator<<(std::ostream& out, const Phase& phase);
std::ostream& operator<<(std::ostream& out, const Allocation& allocation);
std::ostream& operator<<(std::ostream& out, const Schedule& schedule);

} // namespace orvik_compiler
