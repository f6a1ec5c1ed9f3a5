// The deterministic weights of the encoder layer.

#include "orvik_compiler/encoder.hpp"

#include "../checked_arithmetic.hpp"

#include <cmath>

namespace orvik_compiler {
namespace {

std::vector<float> weight_matrix(std::uint64_t rows, std::uint64_t columns, std::uint64_t ordinal) {
  const std::uint64_t count = checked::float_count(
      checked::multiply(rows, columns, "weight element count"), "weight element count");
  const float denominator = std::sqrt(50.0F * static_cast<float>(rows));
  std::vector<float> matrix;
  matrix.reserve(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t m = (17 * i + 31 * ordinal) % 101;
    const float numerator = static_cast<float>(m) - 50.0F;
    matrix.push_back(numerator / denominator);
  }
  return matrix;
}

} // namespace

EncoderWeights EncoderWeights::deterministic(EncoderConfig config) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  return EncoderWeights{weight_matrix(h, h, 1), weight_matrix(h, h, 2), weight_matrix(h, h, 3),
                        weight_matrix(h, h, 4), weight_matrix(h, f, 5), weight_matrix(f, h, 6)};
}

} // namespace orvik_compiler
