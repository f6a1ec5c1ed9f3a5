// The single-precision host kernels. Every loop runs in the documented order and every
// operation is rounded to float before the next; the library is built without contraction
// into fused multiply-adds.

#include "orvik_compiler/encoder.hpp"

#include "../checked_arithmetic.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace orvik_compiler::kernels {
namespace {

constexpr float gelu_cubic = 0.044715F;
constexpr float sqrt_two_over_pi = 0.7978846F;

/// Stops before any access when `array` holds fewer than `needed` values.
void require_length(std::size_t length, std::uint64_t needed, const char* kernel,
                    const char* array) {
  if (length < needed) {
    throw std::out_of_range(std::string(kernel) + ": " + array + " holds " +
                            std::to_string(length) + " values, the dimensions need " +
                            std::to_string(needed));
  }
}

/// Values the row loops touch: rows x columns, or none when either is 0.
std::uint64_t row_span(std::uint64_t rows, std::uint64_t columns, const char* kernel) {
  return checked::multiply(rows, columns, kernel);
}

} // namespace

std::vector<float> matmul(std::span<const float> left, std::span<const float> right,
                          std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  const std::uint64_t result_size = checked::multiply(rows, columns, "matmul result size");
  // The loops read `left` only when there are columns and `right` only when there are rows.
  if (result_size != 0) {
    require_length(left.size(), checked::multiply(rows, inner, "matmul"), "matmul", "left");
    require_length(right.size(), checked::multiply(inner, columns, "matmul"), "matmul", "right");
  }
  std::vector<float> result(result_size, 0.0F);
  for (std::uint64_t r = 0; r < rows; ++r) {
    for (std::uint64_t c = 0; c < columns; ++c) {
      float sum = 0.0F;
      for (std::uint64_t k = 0; k < inner; ++k) {
        const float product = left[r * inner + k] * right[k * columns + c];
        sum = product + sum;
      }
      result[r * columns + c] = sum;
    }
  }
  return result;
}

std::vector<float> layer_norm(std::span<const float> input, std::uint64_t rows,
                              std::uint64_t columns, float epsilon) {
  require_length(input.size(), row_span(rows, columns, "layer_norm"), "layer_norm", "input");
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

void softmax_rows(std::span<float> values, std::uint64_t rows, std::uint64_t columns) {
  require_length(values.size(), row_span(rows, columns, "softmax_rows"), "softmax_rows", "values");
  for (std::uint64_t r = 0; r < rows; ++r) {
    const std::span<float> row = values.subspan(r * columns, columns);
    float maximum = -std::numeric_limits<float>::infinity();
    for (const float value : row) {
      if (value > maximum) {
        maximum = value;
      }
    }
    float total = 0.0F;
    for (float& value : row) {
      value = std::exp(value - maximum);
      total = value + total;
    }
    for (float& value : row) {
      value = value / total;
    }
  }
}

float gelu(float value) {
  const float half = 0.5F * value;
  const float square = value * value;
  const float cube = value * square;
  const float scaled_cube = gelu_cubic * cube;
  const float inner = value + scaled_cube;
  const float argument = sqrt_two_over_pi * inner;
  const float t = std::tanh(argument);
  const float one_plus_t = 1.0F + t;
  return half * one_plus_t;
}

} // namespace orvik_compiler::kernels
