// The host kernels: their documented results, roundings and bounds.

#include "test_support.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace orvik_compiler {
namespace {

using Catch::Matchers::WithinAbs;

TEST_CASE("matmul sums each product from the left, starting from +0.0", "[kernels]") {
  CHECK(kernels::matmul(std::vector<float>{1, 2, 3, 4}, std::vector<float>{5, 6, 7, 8}, 2, 2, 2) ==
        std::vector<float>{19, 22, 43, 50});
  const std::vector<float> zeros = kernels::matmul({}, {}, 2, 0, 3);
  CHECK(zeros == std::vector<float>(6, 0.0F));
  CHECK_FALSE(std::signbit(zeros[0]));
  // The accumulation order is sum = product + sum: 1e8 + 1 - 1e8 in this order is 0 in floats,
  // while the reverse order of terms gives 1.
  CHECK(kernels::matmul(std::vector<float>{1e8F, 1, -1e8F}, std::vector<float>{1, 1, 1}, 1, 3, 1) ==
        std::vector<float>{0.0F});
  // Longer arrays are read only as far as the dimensions reach.
  CHECK(kernels::matmul(std::vector<float>{2, 9, 9}, std::vector<float>{3, 9}, 1, 1, 1) ==
        std::vector<float>{6});
}

TEST_CASE("layer_norm normalises each row with the population variance", "[kernels]") {
  const std::vector<float> row = kernels::layer_norm(std::vector<float>{1, 2, 3, 4}, 1, 4, 1e-5F);
  const std::vector<double> expected{-1.3416, -0.4472, 0.4472, 1.3416};
  for (std::size_t i = 0; i < 4; ++i) {
    CHECK_THAT(row[i], WithinAbs(expected[i], 1e-4));
  }
  CHECK(kernels::layer_norm(std::vector<float>{2, 2, 2, 2}, 1, 4, 1e-5F) ==
        std::vector<float>(4, 0.0F));
  // Values past rows x columns are not read and stay 0.0 in the result.
  const std::vector<float> partial =
      kernels::layer_norm(std::vector<float>{1, 3, 7, 7}, 1, 2, 1e-5F);
  CHECK(partial.size() == 4);
  CHECK(partial[2] == 0.0F);
  CHECK(partial[3] == 0.0F);
  CHECK(partial[0] == -partial[1]);
}

TEST_CASE("softmax_rows normalises in place without overflow", "[kernels]") {
  std::vector<float> big{1000, 1000};
  kernels::softmax_rows(big, 1, 2);
  CHECK(big == std::vector<float>{0.5F, 0.5F});
  std::vector<float> flat(4, 0.0F);
  kernels::softmax_rows(flat, 1, 4);
  CHECK(flat == std::vector<float>(4, 0.25F));
  std::vector<float> untouched{3, 1};
  kernels::softmax_rows(untouched, 0, 2);
  CHECK(untouched == std::vector<float>{3, 1});
  std::vector<float> two_rows{0, 0, 5, 7, 7};
  kernels::softmax_rows(two_rows, 2, 2);
  CHECK(two_rows[0] == 0.5F);
  CHECK(two_rows[4] == 7.0F);
}

TEST_CASE("gelu uses the tanh form with single-precision constants", "[kernels]") {
  CHECK(kernels::gelu(0.0F) == 0.0F);
  CHECK_THAT(kernels::gelu(1.0F), WithinAbs(0.841192, 1e-6));
  CHECK(kernels::gelu(10.0F) == 10.0F);
  const float negative = kernels::gelu(-10.0F);
  CHECK(negative == 0.0F);
  CHECK(std::signbit(negative));
  CHECK(std::bit_cast<std::uint32_t>(0.044715F) == 0x3D372713U);
  CHECK(std::bit_cast<std::uint32_t>(0.7978846F) == 0x3F4C422AU);
}

TEST_CASE("an array shorter than its dimensions stops before any access", "[kernels]") {
  const std::vector<float> three(3, 1.0F);
  CHECK_THROWS_AS(kernels::matmul(three, three, 2, 2, 1), std::out_of_range);
  CHECK_THROWS_AS(kernels::matmul(std::vector<float>(4, 1.0F), three, 2, 2, 2), std::out_of_range);
  CHECK_THROWS_AS(kernels::layer_norm(three, 2, 2, 1e-5F), std::out_of_range);
  std::vector<float> values(3, 1.0F);
  CHECK_THROWS_AS(kernels::softmax_rows(values, 2, 2), std::out_of_range);
  CHECK(values == three);
  // Dimensions whose product overflows are caught as well.
  const std::uint64_t huge = std::uint64_t{1} << 33U;
  CHECK_THROWS_AS(kernels::softmax_rows(values, huge, huge), std::overflow_error);
  // With no rows, right is never read, so an empty one is fine.
  CHECK(kernels::matmul({}, {}, 0, 5, 5).empty());
}

} // namespace
} // namespace orvik_compiler
