#pragma once

// What a schedule will hold, counted from its graph and options before it is built: the sizes
// that each text written from a schedule states its length bound in. Every writer keeps its
// bound beside its own code, so that the two change together.

#include <orvik_compiler/compiler.hpp>
#include <orvik_compiler/graph.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace orvik_compiler::schedule_io {

/// A byte count that stops at 2^64 - 1 instead of wrapping.
struct ByteBound {
  std::uint64_t value = 0;

  friend ByteBound operator+(ByteBound a, ByteBound b) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return {a.value > most - b.value ? most : a.value + b.value};
  }
  friend ByteBound operator*(ByteBound a, ByteBound b) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return {b.value != 0 && a.value > most / b.value ? most : a.value * b.value};
  }
  ByteBound& operator+=(ByteBound other) { return *this = *this + other; }
};

/// The widest fixed-size fields of the schedule's records as text: a sharding or a role, a
/// kernel name, an alignment and a worker count.
constexpr std::uint64_t sharding_width = 10;
constexpr std::uint64_t kernel_width = 12; // "batch_matmul"
constexpr std::uint64_t alignment_width = 10;
constexpr std::uint64_t workers_width = 3;

/// The decimal digits of `value`: 1 for 0.
std::uint64_t decimal_digits(std::uint64_t value);

/// The records of the schedule that `compile` makes of a graph, counted without making them.
struct ScheduleCounts {
  struct Tensor {
    /// Tiles of the tensor's layout.
    std::uint64_t tiles = 0;
    std::uint64_t rank = 0;
  };
  struct Operation {
    /// Positions in `tensors`.
    std::size_t output = 0;
    std::vector<std::size_t> inputs;
    /// Decimal digits of the output's extents, with one separator each.
    std::uint64_t shape_digits = 0;
    /// Transfers of the operation's exchange phase, 0 when it has none.
    std::uint64_t transfers = 0;
  };

  std::vector<Tensor> tensors;
  std::vector<Operation> operations;
  std::uint64_t tile_count = 0;
  /// Digits of the widest tile number, tensor index, operation index, phase index and address.
  std::uint64_t tile_digits = 0;
  std::uint64_t tensor_digits = 0;
  std::uint64_t operation_digits = 0;
  std::uint64_t phase_digits = 0;
  std::uint64_t address_digits = 0;
};

/// The counts of the schedule of `graph` under `options`, with layouts as `compile` chooses
/// them; time linear in the graph's tensors, operations and shape lengths, never in its tiles.
/// Expects a validated graph; throws std::overflow_error, like `compile`, for a tensor whose
/// byte count does not fit 64 bits.
ScheduleCounts count_schedule(const Graph& graph, const CompilerOptions& options);

} // namespace orvik_compiler::schedule_io
