#pragma once

// Random graphs over every operation kind and both element types, built through the builder so
// that every operation is valid, with values for their inputs and weights: the workload of the
// interpreter's differential test and fuzz target.

#include <orvik_compiler/orvik_compiler.hpp>

#include <cstdint>
#include <functional>
#include <vector>

namespace orvik_compiler::testing {

/// Where a random graph's choices come from: a number in [low, high], both included. A seeded
/// generator in the tests, the fuzzer's bytes in the fuzz targets.
using Draw = std::function<std::uint64_t(std::uint64_t low, std::uint64_t high)>;

/// Draws from a std::mt19937_64 seeded with `seed`: the same seed, the same choices.
Draw seeded_draw(std::uint64_t seed);

struct RandomGraphLimits {
  /// Operations per graph: from 1 to this many.
  std::size_t max_operations = 8;
  /// Elements per tensor, at least 1.
  std::uint64_t max_elements = 96;
  /// Extents of the tensors made for operands, at least 1; reshapes, broadcasts and joins can
  /// give longer ones.
  std::uint64_t max_extent = 5;
};

/// The values bound to one input or weight.
struct BoundValue {
  TensorId tensor;
  TensorData data;
};

struct RandomGraph {
  Graph graph;
  /// A value for every input and weight, in tensor order.
  std::vector<BoundValue> bound;

  /// `bound` as the interpreter takes it; the spans point into `bound`.
  std::vector<TensorValue> values() const;
};

/// A valid graph of 1 to `max_operations` operations, each of a kind drawn from all of them with
/// equal chances. Operands are tensors made earlier, of either type where the kind allows,
/// sometimes one tensor twice (`x * x`, `concat(x, x)`, a product of a tensor by itself), or new
/// inputs and weights shaped to fit. The last operation's output and up to two more tensors are
/// the outputs.
///
/// Values: each F32 tensor holds, by a draw per tensor, values in [-2, 2); such values with about
/// one in three replaced by a special value (NaN, an infinity, a signed zero, a subnormal, a huge
/// value, a value at the edge of the I32 range or of `expf`'s); special values only; values of
/// any exponent; or any bit patterns. Each I32 tensor
/// holds small values, any values or values at the edges of single precision's integers, except
/// indices made for a gather: rows of its table, in one tensor of about eight with one index
/// outside them. So the interpreter's value errors occur in some graphs but not in most.
///
/// Throws std::logic_error if the builder refuses an operation, which is a fault of this
/// generator.
RandomGraph random_graph(const Draw& draw, const RandomGraphLimits& limits = {});

} // namespace orvik_compiler::testing
