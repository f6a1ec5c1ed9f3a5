// The host reference evaluation of one encoder layer.

#include "orvik_compiler/encoder.hpp"

#include "../checked_arithmetic.hpp"
#include "encoder_dimensions.hpp"

#include <cmath>

namespace orvik_compiler {
namespace {

/// Adds each head's scaled dot-product attention into its own columns of `context`.
void attend(const EncoderConfig& config, const std::vector<float>& q, const std::vector<float>& k,
            const std::vector<float>& v, std::vector<float>& context) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t d = h / config.heads;
  const float divisor = std::sqrt(static_cast<float>(d));
  for (std::uint64_t head = 0; head < config.heads; ++head) {
    const std::uint64_t first_column = head * d;
    std::vector<float> scores(s * s, 0.0F);
    for (std::uint64_t r = 0; r < s; ++r) {
      for (std::uint64_t c = 0; c < s; ++c) {
        float sum = 0.0F;
        for (std::uint64_t j = 0; j < d; ++j) {
          const float product = q[r * h + first_column + j] * k[c * h + first_column + j];
          sum = product + sum;
        }
        scores[r * s + c] = sum / divisor;
      }
    }
    kernels::softmax_rows(scores, s, s);
    for (std::uint64_t r = 0; r < s; ++r) {
      for (std::uint64_t j = 0; j < d; ++j) {
        float sum = 0.0F;
        for (std::uint64_t c = 0; c < s; ++c) {
          const float product = scores[r * s + c] * v[c * h + first_column + j];
          sum = product + sum;
        }
        context[r * h + first_column + j] = sum;
      }
    }
  }
}

std::vector<float> add(std::span<const float> left, std::span<const float> right) {
  std::vector<float> sum(left.size());
  for (std::size_t i = 0; i < left.size(); ++i) {
    sum[i] = left[i] + right[i];
  }
  return sum;
}

} // namespace

Result<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                             const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  if (config.heads == 0) {
    return invalid_encoder_dimensions();
  }
  std::uint64_t input_size = 0;
  if (__builtin_mul_overflow(s, h, &input_size) || input.size() != input_size) {
    return CompileError::graph("encoder input size mismatch");
  }
  // Every intermediate size is checked before the first kernel runs.
  checked::float_count(checked::multiply(s, s, "attention scores"), "attention scores");
  checked::float_count(checked::multiply(s, f, "feed-forward activations"),
                       "feed-forward activations");
  checked::float_count(input_size, "encoder activations");
  const std::vector<float> norm1 = kernels::layer_norm(input, s, h, encoder_layer_norm_epsilon);
  const std::vector<float> q = kernels::matmul(norm1, weights.wq, s, h, h);
  const std::vector<float> k = kernels::matmul(norm1, weights.wk, s, h, h);
  const std::vector<float> v = kernels::matmul(norm1, weights.wv, s, h, h);
  std::vector<float> context(s * h, 0.0F);
  attend(config, q, k, v, context);
  const std::vector<float> projected = kernels::matmul(context, weights.wo, s, h, h);
  const std::vector<float> residual1 = add(input, projected);
  const std::vector<float> norm2 = kernels::layer_norm(residual1, s, h, encoder_layer_norm_epsilon);
  std::vector<float> up = kernels::matmul(norm2, weights.w1, s, h, f);
  for (float& value : up) {
    value = kernels::gelu(value);
  }
  const std::vector<float> down = kernels::matmul(up, weights.w2, s, f, h);
  return add(residual1, down);
}

} // namespace orvik_compiler
