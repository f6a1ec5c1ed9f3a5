// The blocked kernels against the plain loops, bit for bit, on shapes that cross every block
// boundary, on empty dimensions and on non-finite values.

#include "kernels/kernels.hpp"
#include "test_support.hpp"
#include "testing/plain_kernels.hpp"

#include <cmath>
#include <limits>

namespace orvik_compiler {
namespace {

using testing::expect_value;

using testing::bits;
using testing::sample_values;

using MatmulPath = void (*)(kernels::MatrixView, kernels::MatrixView, std::span<float>,
                            std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t);

/// Both instruction paths where the processor has them; the dispatching entry point too.
std::vector<std::pair<const char*, MatmulPath>> matmul_paths() {
  std::vector<std::pair<const char*, MatmulPath>> paths{{"dispatched", &kernels::matmul_into},
                                                        {"generic", &kernels::matmul_into_generic}};
  if (kernels::processor_has_avx2()) {
    paths.emplace_back("avx2", &kernels::matmul_into_avx2);
  }
  if (kernels::processor_has_avx512()) {
    paths.emplace_back("avx512", &kernels::matmul_into_avx512);
  }
  return paths;
}

TEST_CASE("the blocked matmul equals the plain loop bit for bit", "[kernels][differential]") {
  struct Shape {
    std::uint64_t rows, inner, columns;
    std::size_t special_every;
  };
  // Empty dimensions; single elements; sizes just under, at and over the 6- and 16-row and
  // 16-column tiles, the 120- and 128-row and 512- and 1024-column blocks and the 256- and
  // 384-deep passes; non-finite values.
  const Shape shapes[] = {
      {0, 0, 0, 0},      {0, 5, 3, 0},       {3, 0, 5, 0},    {4, 5, 0, 0},     {1, 1, 1, 0},
      {5, 7, 15, 0},     {6, 16, 16, 0},     {7, 17, 17, 0},  {13, 255, 33, 0}, {12, 256, 32, 0},
      {11, 257, 31, 0},  {121, 9, 20, 0},    {3, 5, 513, 0},  {25, 600, 40, 0}, {9, 40, 30, 7},
      {20, 300, 18, 11}, {2, 3, 4, 1},       {17, 31, 47, 0}, {129, 20, 17, 0}, {4, 3, 1025, 0},
      {18, 385, 19, 0},  {33, 769, 1040, 5},
  };
  for (const Shape& shape : shapes) {
    const std::vector<float> left = sample_values(shape.rows * shape.inner, 1, shape.special_every);
    const std::vector<float> right =
        sample_values(shape.inner * shape.columns, 2, shape.special_every);
    const std::vector<std::uint32_t> expected =
        bits(testing::plain_matmul(left, right, shape.rows, shape.inner, shape.columns));
    INFO(shape.rows << " x " << shape.inner << " x " << shape.columns << ", special every "
                    << shape.special_every);
    CHECK(bits(kernels::matmul(left, right, shape.rows, shape.inner, shape.columns)) == expected);
    for (const auto& [name, path] : matmul_paths()) {
      INFO(name);
      std::vector<float> result(shape.rows * shape.columns, -1.0F);
      path({left, shape.inner}, {right, shape.columns}, result, shape.columns, shape.rows,
           shape.inner, shape.columns);
      CHECK(bits(result) == expected);
    }
  }
}

TEST_CASE("the blocked matmul reads strided views and writes only its block",
          "[kernels][differential]") {
  // left: rows 3 apart inside a wider array; right: the transpose of a stored matrix (rows
  // 1 apart, columns `inner` apart); result: rows 2 wider than the block, the gaps untouched.
  const std::uint64_t rows = 14;
  const std::uint64_t inner = 261;
  const std::uint64_t columns = 19;
  const std::vector<float> wide_left = sample_values(rows * (inner + 3), 3, 50);
  const std::vector<float> stored_right = sample_values(columns * inner, 4);
  std::vector<float> left;
  std::vector<float> right(inner * columns);
  for (std::uint64_t r = 0; r < rows; ++r) {
    left.insert(left.end(), wide_left.begin() + static_cast<std::ptrdiff_t>(r * (inner + 3)),
                wide_left.begin() + static_cast<std::ptrdiff_t>(r * (inner + 3) + inner));
  }
  for (std::uint64_t k = 0; k < inner; ++k) {
    for (std::uint64_t c = 0; c < columns; ++c) {
      right[k * columns + c] = stored_right[c * inner + k];
    }
  }
  const std::vector<float> expected = testing::plain_matmul(left, right, rows, inner, columns);
  for (const auto& [name, path] : matmul_paths()) {
    INFO(name);
    std::vector<float> result(rows * (columns + 2), 7.0F);
    path({wide_left, inner + 3}, {stored_right, 1, inner}, result, columns + 2, rows, inner,
         columns);
    for (std::uint64_t r = 0; r < rows; ++r) {
      const std::span<const float> row(result.data() + r * (columns + 2), columns);
      CHECK(bits(row) == bits(std::span(expected).subspan(r * columns, columns)));
      CHECK(result[r * (columns + 2) + columns] == 7.0F);
      CHECK(result[r * (columns + 2) + columns + 1] == 7.0F);
    }
  }
}

TEST_CASE("views too short for their dimensions stop before anything is written",
          "[kernels][differential]") {
  const std::vector<float> six = sample_values(6, 5);
  std::vector<float> result(4, 7.0F);
  // A 2 x 3 left with rows 4 apart needs 7 values.
  CHECK_THROWS_AS(kernels::matmul_into({six, 4}, {six, 2}, result, 2, 2, 3, 2), std::out_of_range);
  // A transposed right of 3 x 2 with columns 3 apart needs 6 values: fits; with 4 apart, 7.
  CHECK_NOTHROW(kernels::matmul_into({six, 3}, {six, 1, 3}, result, 2, 2, 3, 2));
  CHECK_THROWS_AS(kernels::matmul_into({six, 3}, {six, 1, 4}, result, 2, 2, 3, 2),
                  std::out_of_range);
  std::vector<float> short_result(3, 7.0F);
  CHECK_THROWS_AS(kernels::matmul_into({six, 3}, {six, 2}, short_result, 2, 2, 3, 2),
                  std::out_of_range);
  CHECK(short_result == std::vector<float>(3, 7.0F));
  const std::uint64_t huge = std::uint64_t{1} << 40U;
  // (2^40 - 1) rows of 2^40 values do not fit 64 bits.
  CHECK_THROWS_AS(kernels::matmul_into({six, huge}, {six, 2}, result, huge, huge, 3, 2),
                  std::overflow_error);
}

TEST_CASE("softmax along any axis equals the slice-by-slice loops", "[kernels][differential]") {
  struct Case {
    std::vector<std::uint64_t> shape;
    std::size_t axis;
    std::size_t special_every;
  };
  // Rows (the last axis), middle and first axes, slices wider than the 256 worked on side by
  // side, extents of 1, and rows holding NaN and infinities.
  const std::vector<Case> cases{
      {{3, 4, 5}, 0, 0}, {{3, 4, 5}, 1, 0}, {{3, 4, 5}, 2, 0}, {{2, 3, 600}, 1, 0},
      {{700, 2}, 0, 0},  {{4, 1, 3}, 1, 0}, {{1}, 0, 0},       {{5, 6, 7}, 1, 5},
      {{9, 13}, 1, 4},   {{9, 13}, 0, 4},
  };
  for (const Case& c : cases) {
    std::uint64_t count = 1;
    for (const std::uint64_t extent : c.shape) {
      count *= extent;
    }
    std::vector<float> data = sample_values(count, 6, c.special_every);
    for (float& value : data) {
      value = value * 40.0F; // wide enough that the maximum matters
    }
    const std::vector<float> expected = testing::plain_softmax(data, c.shape, c.axis);
    std::uint64_t outer = 1;
    for (std::size_t i = 0; i < c.axis; ++i) {
      outer *= c.shape[i];
    }
    const std::uint64_t inner = count / outer / c.shape[c.axis];
    INFO("rank " << c.shape.size() << ", axis " << c.axis << ", " << count << " values");
    kernels::softmax_along(data, outer, c.shape[c.axis], inner);
    CHECK(bits(data) == bits(expected));
  }
  std::vector<float> rows = sample_values(12, 7, 5);
  const std::vector<float> expected = testing::plain_softmax(rows, {3, 4}, 1);
  kernels::softmax_rows(rows, 3, 4);
  CHECK(bits(rows) == bits(expected));
}

TEST_CASE("layer_norm equals the plain loops", "[kernels][differential]") {
  // Fewer rows than are normalised side by side, a multiple of them, and one more.
  for (const std::uint64_t rows : {std::uint64_t{7}, std::uint64_t{16}, std::uint64_t{17}}) {
    for (const std::size_t special_every : {std::size_t{0}, std::size_t{9}}) {
      const std::vector<float> input = sample_values(rows * 33, 8, special_every);
      CHECK(bits(kernels::layer_norm(input, rows, 33, 1e-5F)) ==
            bits(testing::plain_layer_norm(input, rows, 33, 1e-5F)));
    }
  }
}

TEST_CASE("transpose moves output axis i from the input axis the permutation gives it",
          "[kernels][differential]") {
  struct Case {
    std::vector<std::uint64_t> shape;
    std::vector<std::uint64_t> permutation;
  };
  // Matrices smaller and larger than the 16 x 16 blocks, every permutation of three axes, the
  // identity, and an axis of extent 1.
  const std::vector<Case> cases{
      {{3, 5}, {1, 0}},
      {{37, 20}, {1, 0}},
      {{2, 3, 4}, {0, 1, 2}},
      {{2, 3, 4}, {0, 2, 1}},
      {{2, 3, 4}, {1, 0, 2}},
      {{2, 3, 4}, {1, 2, 0}},
      {{2, 3, 4}, {2, 0, 1}},
      {{2, 3, 4}, {2, 1, 0}},
      {{5, 1, 18, 17}, {3, 2, 0, 1}},
      {{7}, {0}},
  };
  for (const Case& c : cases) {
    const std::size_t rank = c.shape.size();
    std::uint64_t count = 1;
    for (const std::uint64_t extent : c.shape) {
      count *= extent;
    }
    const std::vector<float> input = sample_values(count, 9);
    // Direct computation: for each output position, its coordinates, and the input element at
    // the permuted coordinates.
    std::vector<float> expected(count);
    for (std::uint64_t out = 0; out < count; ++out) {
      std::vector<std::uint64_t> coordinate(rank);
      std::uint64_t rest = out;
      for (std::size_t axis = rank; axis-- > 0;) {
        const std::uint64_t extent = c.shape[c.permutation[axis]];
        coordinate[axis] = rest % extent;
        rest /= extent;
      }
      std::uint64_t in = 0;
      for (std::size_t input_axis = 0; input_axis < rank; ++input_axis) {
        std::uint64_t position = 0;
        for (std::size_t axis = 0; axis < rank; ++axis) {
          if (c.permutation[axis] == input_axis) {
            position = coordinate[axis];
          }
        }
        in = in * c.shape[input_axis] + position;
      }
      expected[out] = input[in];
    }
    INFO("rank " << rank << ", first axis " << c.permutation[0]);
    CHECK(bits(kernels::transpose<float>(input, c.shape, c.permutation)) == bits(expected));
  }
  const std::vector<float> six = sample_values(6, 10);
  const std::vector<std::uint64_t> shape{2, 3};
  CHECK_THROWS_AS(kernels::transpose<float>(six, shape, std::vector<std::uint64_t>{0, 0}),
                  std::out_of_range);
  CHECK_THROWS_AS(kernels::transpose<float>(six, shape, std::vector<std::uint64_t>{1}),
                  std::out_of_range);
  CHECK_THROWS_AS(
      kernels::transpose(std::span(six).first(5), shape, std::vector<std::uint64_t>{1, 0}),
      std::out_of_range);
}

TEST_CASE("element-wise add and multiply, also in place", "[kernels]") {
  std::vector<float> left{1e8F, -0.0F, 3.0F, std::numeric_limits<float>::infinity()};
  const std::vector<float> right{1.0F, 0.0F, 0.25F, -std::numeric_limits<float>::infinity()};
  std::vector<float> product(4);
  kernels::multiply(left, right, product);
  CHECK(bits(product) ==
        bits(std::vector<float>{1e8F, -0.0F, 0.75F, -std::numeric_limits<float>::infinity()}));
  kernels::add(left, right, left);
  CHECK(left[0] == 1e8F); // 1e8 + 1 rounds back to 1e8 in single precision
  CHECK_FALSE(std::signbit(left[1]));
  CHECK(left[2] == 3.25F);
  CHECK(std::isnan(left[3]));
  std::vector<float> longer(5);
  CHECK_THROWS_AS(kernels::add(left, right, longer), std::out_of_range);
}

TEST_CASE("the encoder reference equals its plain loops", "[reference][differential]") {
  // Heads of width 4 and 16, a width that is not a multiple of the heads, one token, sequences
  // that cross the 6-row tiles, and a weight or input holding non-finite values.
  const EncoderConfig configs[] = {
      {4, 8, 2, 16}, {5, 64, 4, 20}, {9, 10, 4, 7}, {1, 12, 3, 8}, {14, 24, 2, 40},
  };
  for (const EncoderConfig& config : configs) {
    INFO(testing::debug(config));
    const EncoderWeights weights = EncoderWeights::deterministic(config);
    const std::vector<float> input = sample_values(config.sequence * config.hidden, 11);
    CHECK(bits(expect_value(encoder_reference(config, input, weights))) ==
          bits(testing::plain_encoder_reference(config, input, weights)));
  }
  const EncoderConfig config{6, 8, 2, 12};
  EncoderWeights weights = EncoderWeights::deterministic(config);
  weights.wk[5] = std::numeric_limits<float>::infinity();
  const std::vector<float> input = sample_values(48, 12, 17);
  CHECK(bits(expect_value(encoder_reference(config, input, weights))) ==
        bits(testing::plain_encoder_reference(config, input, weights)));
}

} // namespace
} // namespace orvik_compiler
