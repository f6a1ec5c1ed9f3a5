// The host reference evaluation of one encoder layer.

#include "orvik_compiler/encoder.hpp"

#include "../checked_arithmetic.hpp"
#include "../kernels/kernels.hpp"
#include "invalid_encoder_dimensions.hpp"

#include <cmath>

namespace orvik_compiler {
namespace {

/// Writes each head's scaled dot-product attention into its own columns of `context`. The
/// head's scores are the product of its columns of q with the transpose of its columns of k,
/// read in place, and its context the product of the probabilities with its columns of v: the
/// plain loops' sums, term for term, computed by the blocked matrix product.
void attend(const EncoderConfig& config, const std::vector<float>& q, const std::vector<float>& k,
            const std::vector<float>& v, std::vector<float>& context) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t d = h / config.heads;
  const float divisor = std::sqrt(static_cast<float>(d));
  if (s == 0) {
    return; // no tokens: the arrays are empty and there is nothing to attend to
  }
  for (std::uint64_t head = 0; head < config.heads; ++head) {
    const std::uint64_t first_column = head * d;
    std::vector<float> scores(s * s, 0.0F);
    const std::span<const float> q_head = std::span(q).subspan(first_column);
    const std::span<const float> k_head = std::span(k).subspan(first_column);
    const std::span<const float> v_head = std::span(v).subspan(first_column);
    kernels::matmul_into({q_head, h}, {k_head, 1, h}, scores, s, s, d, s);
    for (float& score : scores) {
      score = score / divisor;
    }
    kernels::softmax_rows(scores, s, s);
    kernels::matmul_into({scores, s}, {v_head, h}, std::span(context).subspan(first_column), h, s,
                         s, d);
  }
}

std::vector<float> add(std::span<const float> left, std::span<const float> right) {
  std::vector<float> sum(left.size());
  kernels::add(left, right, sum);
  return sum;
}

} // namespace

Result<std::vector<float>> encoder_reference(EncoderConfig config, std::span<const float> input,
                                             EncoderWeightsView weights) {
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
  kernels::gelu_values(up, up);
  const std::vector<float> down = kernels::matmul(up, weights.w2, s, f, h);
  return add(residual1, down);
}

} // namespace orvik_compiler
