// The reductions: the order of their additions, NaN, infinities and signed zeros, along a
// contiguous axis and along axes whose slices interleave, and every axis of a 3-D array.

#include "kernels/kernels.hpp"
#include "test_support.hpp"

namespace orvik_compiler {
namespace {

using kernels::Reduction;
using testing::bits;
using testing::sample_values;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

TEST_CASE("a reduction starts from the first value and takes the others in order", "[kernels]") {
  struct Case {
    Reduction reduction;
    const char* what;
    std::vector<float> values;
    float expected;
  };
  const Case cases[] = {
      {Reduction::sum, "sum of -0s stays -0", {-0.0F, -0.0F, -0.0F}, -0.0F},
      {Reduction::sum, "sum of +0 and -0", {0.0F, -0.0F}, 0.0F},
      {Reduction::sum, "sum of -0 and +0", {-0.0F, 0.0F}, 0.0F},
      {Reduction::sum, "sum of a single value", {-0.0F}, -0.0F},
      {Reduction::sum, "sum, 1e8 + 1 rounding back first", {1e8F, 1, -1e8F}, 0.0F},
      {Reduction::sum, "sum, -1e8 + 1e8 first", {1e8F, -1e8F, 1}, 1},
      {Reduction::sum, "sum of inf and -inf", {inf, 1, -inf}, nan},
      {Reduction::sum, "sum overflowing", {3e38F, 3e38F, -3e38F}, inf},
      {Reduction::sum, "sum with NaN", {1, nan, 2}, nan},
      {Reduction::mean, "mean", {1, 2, 3, 4}, 2.5F},
      {Reduction::mean, "mean of -0s", {-0.0F, -0.0F}, -0.0F},
      {Reduction::mean, "mean of an overflowing sum", {3e38F, 3e38F}, inf},
      {Reduction::mean, "mean, divided by the extent as a float", {1, 0, 0}, 1.0F / 3.0F},
      {Reduction::max, "max of -0 then +0", {-0.0F, 0.0F}, 0.0F},
      {Reduction::max, "max of +0 then -0", {0.0F, -0.0F}, 0.0F},
      {Reduction::max, "max of -0s", {-0.0F, -0.0F}, -0.0F},
      {Reduction::max, "max with NaN in the middle", {1, nan, 3}, nan},
      {Reduction::max, "max with NaN last", {1, 3, nan}, nan},
      {Reduction::max, "max with NaN first", {nan, 3, 1}, nan},
      {Reduction::max, "max of -inf alone", {-inf}, -inf},
      {Reduction::max, "max", {-5, 7, 2, 7, -inf}, 7},
      {Reduction::max, "max with inf", {-inf, inf, 1}, inf},
  };
  for (const Case& c : cases) {
    const auto extent = static_cast<std::uint64_t>(c.values.size());
    INFO(c.what);
    // As one contiguous row, and as the middle axis of [2, extent, 5] with the values in every
    // slice, where the slices advance side by side.
    CHECK(bits(kernels::reduce(c.reduction, c.values, 1, extent, 1)) ==
          bits(std::vector{c.expected}));
    std::vector<float> interleaved;
    for (std::uint64_t o = 0; o < 2; ++o) {
      for (const float value : c.values) {
        interleaved.insert(interleaved.end(), 5, value);
      }
    }
    CHECK(bits(kernels::reduce(c.reduction, interleaved, 2, extent, 5)) ==
          bits(std::vector<float>(10, c.expected)));
  }
}

TEST_CASE("reductions of a 3-D array along each axis", "[kernels]") {
  // x[i][j][k] = 12 i + 4 j + k for the shape [2, 3, 4].
  std::vector<float> x(24);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<float>(i);
  }
  CHECK(kernels::reduce(Reduction::sum, x, 1, 2, 12) ==
        std::vector<float>{12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34});
  CHECK(kernels::reduce(Reduction::sum, x, 2, 3, 4) ==
        std::vector<float>{12, 15, 18, 21, 48, 51, 54, 57});
  CHECK(kernels::reduce(Reduction::sum, x, 6, 4, 1) == std::vector<float>{6, 22, 38, 54, 70, 86});
  CHECK(kernels::reduce(Reduction::mean, x, 2, 3, 4) ==
        std::vector<float>{4, 5, 6, 7, 16, 17, 18, 19});
  CHECK(kernels::reduce(Reduction::max, x, 1, 2, 12) ==
        std::vector<float>{12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23});
  CHECK(kernels::reduce(Reduction::max, x, 6, 4, 1) == std::vector<float>{3, 7, 11, 15, 19, 23});
}

TEST_CASE("reductions equal the plain loop on every axis of larger arrays",
          "[kernels][differential]") {
  // [outer, extent, inner] around each axis of [3, 37, 19], with special values mixed in.
  const std::vector<float> x = sample_values(3 * 37 * 19, 31, 13);
  const std::uint64_t splits[][3] = {{1, 3, 703}, {3, 37, 19}, {111, 19, 1}};
  for (const auto& [outer, extent, inner] : splits) {
    for (const Reduction reduction : {Reduction::sum, Reduction::mean, Reduction::max}) {
      std::vector<float> expected(outer * inner);
      for (std::uint64_t o = 0; o < outer; ++o) {
        for (std::uint64_t i = 0; i < inner; ++i) {
          float kept = x[o * extent * inner + i];
          bool saw_nan = std::isnan(kept);
          for (std::uint64_t a = 1; a < extent; ++a) {
            const float next = x[(o * extent + a) * inner + i];
            saw_nan = saw_nan || std::isnan(next);
            if (reduction != Reduction::max) {
              kept = kept + next;
            } else if (next > kept || (next == kept && !std::signbit(next))) {
              kept = next;
            }
          }
          if (reduction == Reduction::mean) {
            kept = kept / static_cast<float>(extent);
          }
          expected[o * inner + i] = reduction == Reduction::max && saw_nan ? nan : kept;
        }
      }
      INFO("extent " << extent << ", inner " << inner << ", reduction "
                     << static_cast<int>(reduction));
      CHECK(bits(kernels::reduce(reduction, x, outer, extent, inner)) == bits(expected));
    }
  }
  CHECK_THROWS_AS(kernels::reduce(Reduction::sum, x, 3, 0, 19), std::out_of_range);
  CHECK_THROWS_AS(kernels::reduce(Reduction::max, x, 3, 38, 19), std::out_of_range);
}

} // namespace
} // namespace orvik_compiler
