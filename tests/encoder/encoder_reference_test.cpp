// The host reference evaluation of the encoder layer.

#include "test_support.hpp"

#include <bit>
#include <cmath>

namespace orvik_compiler {
namespace {

using testing::expect_error;
using testing::expect_value;

std::vector<float> ramp(std::size_t count) {
  std::vector<float> input;
  for (std::size_t i = 0; i < count; ++i) {
    input.push_back((static_cast<float>(i) - 9.0F) / 16.0F);
  }
  return input;
}

std::vector<std::uint32_t> bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> result;
  for (const float value : values) {
    result.push_back(std::bit_cast<std::uint32_t>(value));
  }
  return result;
}

TEST_CASE("the reference checks its input size and head count", "[reference]") {
  const EncoderConfig config{4, 8, 2, 16};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const CompileError mismatch = CompileError::graph("encoder input size mismatch");
  CHECK(expect_error(encoder_reference(config, ramp(31), weights)) == mismatch);
  CHECK(expect_error(encoder_reference(config, ramp(33), weights)) == mismatch);
  // s x h wraps to 0 here; the empty input must not be taken for a match.
  const EncoderConfig wrapping{std::uint64_t{1} << 32U, std::uint64_t{1} << 32U, 1, 1};
  CHECK(expect_error(encoder_reference(wrapping, {}, weights)) == mismatch);
  CHECK(expect_error(encoder_reference({4, 8, 0, 16}, ramp(32), weights)) ==
        CompileError::graph("invalid encoder dimensions"));
  // Short weights are a fatal caller error, never a read outside them.
  EncoderWeights short_weights = weights;
  short_weights.w2.pop_back();
  CHECK_THROWS_AS(encoder_reference(config, ramp(32), short_weights), std::out_of_range);
}

TEST_CASE("weights read through views give the owned weights' result", "[reference]") {
  // The six matrices back to back in one buffer, read where they lie: the same bits as the
  // owning record, and a view one value short is refused as a short array is.
  const EncoderConfig config{4, 8, 2, 16};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  std::vector<float> buffer;
  for (const std::vector<float>* matrix :
       {&weights.wq, &weights.wk, &weights.wv, &weights.wo, &weights.w1, &weights.w2}) {
    buffer.insert(buffer.end(), matrix->begin(), matrix->end());
  }
  const std::span<const float> all(buffer);
  EncoderWeightsView view{all.subspan(0, 64),   all.subspan(64, 64),   all.subspan(128, 64),
                          all.subspan(192, 64), all.subspan(256, 128), all.subspan(384, 128)};
  CHECK(bits(expect_value(encoder_reference(config, ramp(32), view))) ==
        bits(expect_value(encoder_reference(config, ramp(32), weights))));
  view.w1 = view.w1.first(127);
  CHECK_THROWS_AS(encoder_reference(config, ramp(32), view), std::out_of_range);
}

TEST_CASE("the reference refuses only heads of 0 and evaluates what else the graph refuses",
          "[reference]") {
  // Each of these the graph refuses with the same message; the reference evaluates them: no
  // tokens, no width, and a width that the heads do not divide.
  const EncoderConfig graph_only[] = {{0, 8, 2, 16}, {4, 0, 2, 16}, {3, 6, 4, 8}};
  for (const EncoderConfig& config : graph_only) {
    INFO(testing::debug(config));
    CHECK(expect_error(encoder_graph(config)) == CompileError::graph("invalid encoder dimensions"));
    const std::vector<float> output = expect_value(encoder_reference(
        config, ramp(config.sequence * config.hidden), EncoderWeights::deterministic(config)));
    CHECK(output.size() == config.sequence * config.hidden);
    for (const float value : output) {
      CHECK(std::isfinite(value));
    }
  }
}

TEST_CASE("intermediate sizes that overflow stop before anything is allocated", "[reference]") {
  // sequence x hidden is 0, so the input matches, but sequence x sequence scores wrap to 0.
  const EncoderConfig config{std::uint64_t{1} << 32U, 0, 1, 0};
  CHECK_THROWS_AS(encoder_reference(config, {}, EncoderWeights::deterministic(config)),
                  std::overflow_error);
}

TEST_CASE("the small encoder is repeatable and identical across rows of equal input",
          "[reference]") {
  const EncoderConfig config{4, 8, 2, 16};
  const EncoderWeights weights = EncoderWeights::deterministic(config);
  const std::vector<float> first = expect_value(encoder_reference(config, ramp(32), weights));
  const std::vector<float> second = expect_value(encoder_reference(config, ramp(32), weights));
  REQUIRE(first.size() == 32);
  CHECK(bits(first) == bits(second));
  // Rows of the input differ by exactly 0.5, so the normalised rows, every attention
  // probability (0.25) and the projected rows are identical: each output row is the one
  // before plus 0.5 through both residuals.
  for (std::size_t r = 1; r < 4; ++r) {
    for (std::size_t c = 0; c < 8; ++c) {
      CHECK(first[r * 8 + c] - first[(r - 1) * 8 + c] == 0.5F);
    }
  }
  float sum = -0.0F;
  for (const float value : first) {
    sum = sum + value;
  }
  CHECK(std::bit_cast<std::uint32_t>(sum) == 0x42D6EDB0U);
}

TEST_CASE("one token attends only to itself", "[reference]") {
  // With s = 1 every probability is 1, so the context is v; feeding the same layer with and
  // without attention through wo = identity shows it: residual1 = input + v.
  const EncoderConfig config{1, 4, 2, 4};
  EncoderWeights weights = EncoderWeights::deterministic(config);
  weights.wo = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  std::fill(weights.w1.begin(), weights.w1.end(), 0.0F); // gelu(0) = 0, so down is 0
  const std::vector<float> input{0.5F, -1.0F, 2.0F, 0.25F};
  const std::vector<float> result = expect_value(encoder_reference(config, input, weights));
  const std::vector<float> norm = kernels::layer_norm(input, 1, 4, 1e-5F);
  const std::vector<float> v = kernels::matmul(norm, weights.wv, 1, 4, 4);
  for (std::size_t i = 0; i < 4; ++i) {
    CHECK(result[i] == input[i] + (v[i] + 0.0F));
  }
}

TEST_CASE("columns beyond the last whole head get no attention", "[reference]") {
  // h = 10 with H = 4 gives heads of width 2 over columns 0 to 7; columns 8 and 9 of the
  // context stay 0. With wo = identity and no feed-forward, result = input + context.
  const EncoderConfig config{3, 10, 4, 1};
  EncoderWeights weights = EncoderWeights::deterministic(config);
  weights.wo.assign(100, 0.0F);
  for (std::size_t i = 0; i < 10; ++i) {
    weights.wo[i * 10 + i] = 1.0F;
  }
  std::fill(weights.w1.begin(), weights.w1.end(), 0.0F);
  std::vector<float> input;
  for (int i = 0; i < 30; ++i) {
    input.push_back(static_cast<float>(i % 7) - 3.0F);
  }
  const std::vector<float> result = expect_value(encoder_reference(config, input, weights));
  for (std::size_t r = 0; r < 3; ++r) {
    CHECK(result[r * 10 + 8] == input[r * 10 + 8]);
    CHECK(result[r * 10 + 9] == input[r * 10 + 9]);
    bool attended = false;
    for (std::size_t c = 0; c < 8; ++c) {
      attended = attended || result[r * 10 + c] != input[r * 10 + c];
    }
    CHECK(attended);
  }
}

} // namespace
} // namespace orvik_compiler
