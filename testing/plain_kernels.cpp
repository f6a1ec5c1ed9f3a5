// The plain loops of the kernels and of the encoder reference.

#include "testing/plain_kernels.hpp"

#include <orvik_compiler/kernels.hpp>

#include <cmath>
#include <limits>

namespace orvik_compiler::testing {

std::vector<float> plain_matmul(std::span<const float> left, std::span<const float> right,
                                std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  std::vector<float> result(rows * columns, 0.0F);
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

std::vector<float> plain_layer_norm(std::span<const float> input, std::uint64_t rows,
                                    std::uint64_t columns, float epsilon) {
  std::vector<float> result(input.size(), 0.0F);
  const float n = static_cast<float>(columns);
  for (std::uint64_t r = 0; r < rows; ++r) {
    float sum = -0.0F;
    for (std::uint64_t c = 0; c < columns; ++c) {
      sum = sum + input[r * columns + c];
    }
    const float mean = sum / n;
    float squares = -0.0F;
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float deviation = input[r * columns + c] - mean;
      const float square = deviation * deviation;
      squares = squares + square;
    }
    const float variance = squares / n;
    const float scale = 1.0F / std::sqrt(variance + epsilon);
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float deviation = input[r * columns + c] - mean;
      result[r * columns + c] = deviation * scale;
    }
  }
  return result;
}

std::vector<float> plain_softmax(std::span<const float> values,
                                 const std::vector<std::uint64_t>& shape, std::size_t axis) {
  std::uint64_t outer = 1;
  std::uint64_t inner = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i < axis) {
      outer *= shape[i];
    } else if (i > axis) {
      inner *= shape[i];
    }
  }
  const std::uint64_t extent = shape[axis];
  std::vector<float> result(values.begin(), values.end());
  for (std::uint64_t o = 0; o < outer; ++o) {
    for (std::uint64_t i = 0; i < inner; ++i) {
      const auto at = [&](std::uint64_t a) -> float& {
        return result[(o * extent + a) * inner + i];
      };
      float maximum = -std::numeric_limits<float>::infinity();
      for (std::uint64_t a = 0; a < extent; ++a) {
        if (at(a) > maximum) {
          maximum = at(a);
        }
      }
      float total = 0.0F;
      for (std::uint64_t a = 0; a < extent; ++a) {
        at(a) = std::exp(at(a) - maximum);
        total = at(a) + total;
      }
      for (std::uint64_t a = 0; a < extent; ++a) {
        at(a) = at(a) / total;
      }
    }
  }
  return result;
}

std::vector<float> plain_encoder_reference(EncoderConfig config, std::span<const float> input,
                                           const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const std::uint64_t d = h / config.heads;
  const float epsilon = encoder_layer_norm_epsilon;
  const std::vector<float> norm1 = plain_layer_norm(input, s, h, epsilon);
  const std::vector<float> q = plain_matmul(norm1, weights.wq, s, h, h);
  const std::vector<float> k = plain_matmul(norm1, weights.wk, s, h, h);
  const std::vector<float> v = plain_matmul(norm1, weights.wv, s, h, h);
  std::vector<float> context(s * h, 0.0F);
  const float divisor = std::sqrt(static_cast<float>(d));
  for (std::uint64_t head = 0; head < config.heads; ++head) {
    std::vector<float> scores(s * s, 0.0F);
    for (std::uint64_t r = 0; r < s; ++r) {
      for (std::uint64_t c = 0; c < s; ++c) {
        float sum = 0.0F;
        for (std::uint64_t j = 0; j < d; ++j) {
          const std::uint64_t index = head * d + j;
          const float product = q[r * h + index] * k[c * h + index];
          sum = product + sum;
        }
        scores[r * s + c] = sum / divisor;
      }
    }
    scores = plain_softmax(scores, {s, s}, 1);
    for (std::uint64_t r = 0; r < s; ++r) {
      for (std::uint64_t j = 0; j < d; ++j) {
        float sum = 0.0F;
        for (std::uint64_t c = 0; c < s; ++c) {
          const float product = scores[r * s + c] * v[c * h + head * d + j];
          sum = product + sum;
        }
        context[r * h + head * d + j] = sum;
      }
    }
  }
  const std::vector<float> projected = plain_matmul(context, weights.wo, s, h, h);
  std::vector<float> residual1(s * h);
  for (std::uint64_t i = 0; i < s * h; ++i) {
    residual1[i] = input[i] + projected[i];
  }
  const std::vector<float> norm2 = plain_layer_norm(residual1, s, h, epsilon);
  std::vector<float> up = plain_matmul(norm2, weights.w1, s, h, f);
  for (float& value : up) {
    value = kernels::gelu(value);
  }
  const std::vector<float> down = plain_matmul(up, weights.w2, s, f, h);
  std::vector<float> result(s * h);
  for (std::uint64_t i = 0; i < s * h; ++i) {
    result[i] = residual1[i] + down[i];
  }
  return result;
}

} // namespace orvik_compiler::testing
