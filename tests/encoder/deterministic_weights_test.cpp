// The deterministic weights, pinned by their bits.

#include "test_support.hpp"

#include <bit>

namespace orvik_compiler {
namespace {

float from_double(double value) {
  return static_cast<float>(value);
}

TEST_CASE("the default weights start with the documented values", "[weights]") {
  const EncoderWeights weights = EncoderWeights::deterministic(EncoderConfig{});
  CHECK(weights.wq.size() == 4096);
  CHECK(weights.w1.size() == 16384);
  CHECK(weights.w2.size() == 16384);
  struct Case {
    const std::vector<float>* matrix;
    double first[3];
  };
  // Each decimal identifies one float; the comparison is of the bits.
  const std::vector<Case> cases{
      {&weights.wq, {-0.3358757197856903, -0.0353553406894207, 0.2651650309562683}},
      {&weights.wk, {0.2121320366859436, 0.5126523971557617, 0.8131728172302246}},
      {&weights.wv, {0.7601397633552551, -0.7247844338417053, -0.4242640733718872}},
      {&weights.wo, {-0.4772970676422119, -0.1767766922712326, 0.1237436830997467}},
      {&weights.w1, {0.0707106813788414, 0.3712310492992401, 0.6717514395713806}},
      {&weights.w2, {0.30935922265052795, -0.43310290575027466, -0.2828427255153656}},
  };
  for (const Case& c : cases) {
    for (std::size_t i = 0; i < 3; ++i) {
      CHECK(std::bit_cast<std::uint32_t>((*c.matrix)[i]) ==
            std::bit_cast<std::uint32_t>(from_double(c.first[i])));
    }
  }
  // wk is wq shifted by 85 along the flat index.
  for (std::size_t i = 0; i + 85 < weights.wq.size(); i += 97) {
    CHECK(std::bit_cast<std::uint32_t>(weights.wk[i]) ==
          std::bit_cast<std::uint32_t>(weights.wq[i + 85]));
  }
}

TEST_CASE("weights too large for the address space are an overflow, not a length error",
          "[weights]") {
  // 2^62 elements of 4 bytes: the element count fits 64 bits, the bytes do not.
  CHECK_THROWS_AS(EncoderWeights::deterministic({1, std::uint64_t{1} << 31U, 1, 1}),
                  std::overflow_error);
}

TEST_CASE("weights depend on hidden and feed_forward only", "[weights]") {
  const EncoderWeights eight = EncoderWeights::deterministic({4, 8, 2, 16});
  const std::vector<float> expected{-0.95F, -0.1F, 0.75F, 1.6F, 2.45F, -1.75F};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    CHECK(eight.wq[i] == expected[i]);
  }
  CHECK(EncoderWeights::deterministic({99, 8, 1, 16}) == eight);
  const EncoderWeights no_ffn = EncoderWeights::deterministic({4, 8, 2, 0});
  CHECK(no_ffn.w1.empty());
  CHECK(no_ffn.w2.empty());
  CHECK(no_ffn.wo == eight.wo);
}

} // namespace
} // namespace orvik_compiler
