// The batched product against the plain loop on every batch, bit for bit.

#include "kernels/kernels.hpp"
#include "test_support.hpp"
#include "testing/plain_kernels.hpp"

namespace orvik_compiler {
namespace {

using kernels::RightOperand;
using testing::bits;
using testing::sample_values;

TEST_CASE("each batch of batch_matmul is the plain product", "[kernels][differential]") {
  struct Case {
    std::uint64_t batches, rows, inner, columns;
    std::size_t special_every;
  };
  // Odd sizes, one batch, one row, and sizes that cross the 6 x 16 tiles, the 256-deep passes
  // and the 120-row blocks once the shared operand's batches are stacked.
  const Case cases[] = {
      {1, 1, 1, 1, 0},    {3, 7, 19, 17, 0}, {2, 1, 5, 3, 0},     {5, 13, 9, 33, 4},
      {4, 31, 300, 9, 0}, {7, 3, 1, 2, 0},   {9, 20, 17, 21, 11},
  };
  for (const Case& c : cases) {
    const std::uint64_t left_size = c.rows * c.inner;
    const std::uint64_t right_size = c.inner * c.columns;
    const std::uint64_t result_size = c.rows * c.columns;
    const std::vector<float> left = sample_values(c.batches * left_size, 41, c.special_every);
    const std::vector<float> right = sample_values(c.batches * right_size, 42, c.special_every);
    INFO(c.batches << " x " << c.rows << " x " << c.inner << " x " << c.columns);
    const std::vector<float> batched = kernels::batch_matmul(left, right, RightOperand::batched,
                                                             c.batches, c.rows, c.inner, c.columns);
    const std::vector<float> shared =
        kernels::batch_matmul(left, std::span(right).first(right_size), RightOperand::shared,
                              c.batches, c.rows, c.inner, c.columns);
    REQUIRE(batched.size() == c.batches * result_size);
    REQUIRE(shared.size() == c.batches * result_size);
    for (std::uint64_t b = 0; b < c.batches; ++b) {
      INFO("batch " << b);
      const std::span<const float> left_batch = std::span(left).subspan(b * left_size, left_size);
      const std::vector<float> expected_batched =
          testing::plain_matmul(left_batch, std::span(right).subspan(b * right_size, right_size),
                                c.rows, c.inner, c.columns);
      const std::vector<float> expected_shared = testing::plain_matmul(
          left_batch, std::span(right).first(right_size), c.rows, c.inner, c.columns);
      CHECK(bits(std::span(batched).subspan(b * result_size, result_size)) ==
            bits(expected_batched));
      CHECK(bits(std::span(shared).subspan(b * result_size, result_size)) == bits(expected_shared));
    }
  }
}

TEST_CASE("batch_matmul refuses operands shorter than their batches", "[kernels]") {
  const std::vector<float> twelve(12, 1.0F);
  // Two batches of 2 x 3 by 3 x 2 need 12 values on each side, or 6 for a shared right.
  CHECK(kernels::batch_matmul(twelve, std::span(twelve).first(6), RightOperand::shared, 2, 2, 3,
                              2) == std::vector<float>(8, 3.0F));
  CHECK_THROWS_AS(
      kernels::batch_matmul(twelve, std::span(twelve).first(11), RightOperand::batched, 2, 2, 3, 2),
      std::out_of_range);
  CHECK_THROWS_AS(
      kernels::batch_matmul(std::span(twelve).first(11), twelve, RightOperand::shared, 2, 2, 3, 2),
      std::out_of_range);
}

} // namespace
} // namespace orvik_compiler
