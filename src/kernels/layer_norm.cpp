// The row-wise layer normalisation: each sum runs first to last from -0.0, every operation
// rounded to float before the next, with no contraction into fused multiply-adds.

#include "orvik_compiler/kernels.hpp"

#include "../checked_arithmetic.hpp"
#include "require_length.hpp"

#include <algorithm>
#include <cmath>

namespace orvik_compiler::kernels {

namespace {

/// Rows normalised side by side: each row's sums are chains of dependent additions, and chains
/// of different rows overlap in the processor.
constexpr std::uint64_t row_group = 8;

/// Normalises `count` (at most row_group) consecutive rows starting at `first`, each row's sums
/// still running first to last.
void normalise_rows(const float* first, float* result, std::uint64_t count, std::uint64_t columns,
                    float epsilon) {
  const float n = static_cast<float>(columns);
  float sums[row_group];
  float means[row_group];
  float squares[row_group];
  float scales[row_group];
  for (std::uint64_t r = 0; r < count; ++r) {
    sums[r] = -0.0F;
    squares[r] = -0.0F;
  }
  for (std::uint64_t c = 0; c < columns; ++c) {
    for (std::uint64_t r = 0; r < count; ++r) {
      sums[r] = sums[r] + first[r * columns + c];
    }
  }
  for (std::uint64_t r = 0; r < count; ++r) {
    means[r] = sums[r] / n;
  }
  for (std::uint64_t c = 0; c < columns; ++c) {
    for (std::uint64_t r = 0; r < count; ++r) {
      const float deviation = first[r * columns + c] - means[r];
      const float square = deviation * deviation;
      squares[r] = squares[r] + square;
    }
  }
  for (std::uint64_t r = 0; r < count; ++r) {
    const float variance = squares[r] / n;
    scales[r] = 1.0F / std::sqrt(variance + epsilon);
  }
  for (std::uint64_t r = 0; r < count; ++r) {
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float deviation = first[r * columns + c] - means[r];
      result[r * columns + c] = deviation * scales[r];
    }
  }
}

} // namespace

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                              std::uint64_t columns, float epsilon) {
  require_length(input.size(), checked::multiply(rows, columns, "layer_norm"), "layer_norm",
                 "input");
  std::vector<float> result(input.size());
  for (std::uint64_t r = 0; r < rows; r += row_group) {
    normalise_rows(input.data() + r * columns, result.data() + r * columns,
                   std::min(row_group, rows - r), columns, epsilon);
  }
  return result;
}

} // namespace orvik_compiler::kernels
