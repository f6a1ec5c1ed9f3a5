// The row-wise layer normalisation: each sum runs first to last from -0.0, every operation
// rounded to float before the next, with no contraction into fused multiply-adds.

#include "orvik_compiler/kernels.hpp"

#include "../checked_arithmetic.hpp"
#include "require_length.hpp"

#include <cmath>

namespace orvik_compiler::kernels {

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                              std::uint64_t columns, float epsilon) {
  require_length(input.size(), checked::multiply(rows, columns, "layer_norm"), "layer_norm",
                 "input");
  std::vector<float> result(input.size(), 0.0F);
  const float n = static_cast<float>(columns);
  for (std::uint64_t r = 0; r < rows; ++r) {
    const std::span<const float> row = input.subspan(r * columns, columns);
    float sum = -0.0F;
    for (const float value : row) {
      sum = sum + value;
    }
    const float mean = sum / n;
    float squares = -0.0F;
    for (const float value : row) {
      const float deviation = value - mean;
      const float square = deviation * deviation;
      squares = squares + square;
    }
    const float variance = squares / n;
    const float scale = 1.0F / std::sqrt(variance + epsilon);
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float deviation = row[c] - mean;
      result[r * columns + c] = deviation * scale;
    }
  }
  return result;
}

} // namespace orvik_compiler::kernels
