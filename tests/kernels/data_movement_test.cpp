// The data-moving kernels: where each value lands, for floats and integers, and the bounds they
// refuse.

#include "kernels/kernels.hpp"
#include "test_support.hpp"

#include <bit>
#include <optional>

namespace orvik_compiler {
namespace {

using testing::bits;
using Shape = std::vector<std::uint64_t>;
using Ints = std::vector<std::int32_t>;

/// 0, 1, 2, ... as integers.
Ints counting(std::uint64_t count) {
  Ints values(count);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<std::int32_t>(i);
  }
  return values;
}

std::uint64_t product(const Shape& shape) {
  std::uint64_t count = 1;
  for (const std::uint64_t extent : shape) {
    count *= extent;
  }
  return count;
}

/// The broadcast one output position at a time: its coordinates, aligned at the right with the
/// input's, an input extent of 1 reading coordinate 0.
Ints plain_broadcast(const Ints& input, const Shape& shape, const Shape& target) {
  Ints output(product(target));
  const std::size_t missing = target.size() - shape.size();
  for (std::uint64_t out = 0; out < output.size(); ++out) {
    std::uint64_t rest = out;
    std::uint64_t in = 0;
    std::uint64_t step = 1;
    for (std::size_t axis = target.size(); axis-- > 0;) {
      const std::uint64_t coordinate = rest % target[axis];
      rest /= target[axis];
      if (axis >= missing) {
        const std::uint64_t extent = shape[axis - missing];
        in += (extent == 1 ? 0 : coordinate) * step;
        step *= extent;
      }
    }
    output[out] = input[in];
  }
  return output;
}

TEST_CASE("broadcast repeats each extent 1 and each missing axis", "[kernels]") {
  CHECK(kernels::broadcast<std::int32_t>(Ints{1, 2, 3}, Shape{3}, Shape{2, 3}) ==
        Ints{1, 2, 3, 1, 2, 3});
  CHECK(kernels::broadcast<std::int32_t>(Ints{1, 2}, Shape{2, 1}, Shape{2, 3}) ==
        Ints{1, 1, 1, 2, 2, 2});
  CHECK(kernels::broadcast<std::int32_t>(Ints{7}, Shape{}, Shape{2, 2}) == Ints{7, 7, 7, 7});
  CHECK(kernels::broadcast<std::int32_t>(Ints{7}, Shape{}, Shape{}) == Ints{7});
  CHECK(kernels::broadcast<std::int32_t>(Ints{1, 2, 3}, Shape{1, 3, 1}, Shape{2, 3, 2}) ==
        Ints{1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3});
  // Floats move with their bits: -0 and a NaN's payload stay.
  const float payload = std::bit_cast<float>(0x7FC01234U);
  const std::vector<float> floats{-0.0F, payload};
  const std::vector<float> repeated = kernels::broadcast<float>(floats, Shape{2}, Shape{2, 2});
  CHECK(std::bit_cast<std::uint32_t>(repeated[2]) == 0x80000000U);
  CHECK(std::bit_cast<std::uint32_t>(repeated[3]) == 0x7FC01234U);
  // Mixed runs of repeated and copied axes, against the coordinate loop.
  const std::pair<Shape, Shape> cases[] = {
      {{3, 1, 4}, {2, 3, 5, 4}},    {{1, 1}, {3, 2}}, {{5, 1, 1, 2}, {5, 3, 2, 2}},
      {{1, 4, 1, 3}, {2, 4, 3, 3}}, {{2, 3}, {2, 3}}, {{1}, {4, 1, 3}},
  };
  for (const auto& [shape, target] : cases) {
    INFO(shape_text(shape) << " to " << shape_text(target));
    const Ints input = counting(product(shape));
    CHECK(kernels::broadcast<std::int32_t>(input, shape, target) ==
          plain_broadcast(input, shape, target));
  }
  CHECK_THROWS_AS(kernels::broadcast<std::int32_t>(Ints{1, 2}, Shape{1, 2}, Shape{2}),
                  std::out_of_range);
  CHECK_THROWS_AS(kernels::broadcast<std::int32_t>(Ints{1, 2}, Shape{2}, Shape{3}),
                  std::out_of_range);
  CHECK_THROWS_AS(kernels::broadcast<std::int32_t>(Ints{1}, Shape{2}, Shape{2}), std::out_of_range);
}

TEST_CASE("slice keeps start, start + step, ... below stop along its axis", "[kernels]") {
  // x = 0 .. 9 as [2, 5].
  const Ints x = counting(10);
  CHECK(kernels::slice<std::int32_t>(x, 2, 5, 1, 1, 5, 2) == Ints{1, 3, 6, 8});
  CHECK(kernels::slice<std::int32_t>(x, 2, 5, 1, 0, 5, 1) == x);
  CHECK(kernels::slice<std::int32_t>(x, 2, 5, 1, 4, 5, 1) == Ints{4, 9});
  CHECK(kernels::slice<std::int32_t>(x, 2, 5, 1, 2, 5, 9) == Ints{2, 7});
  CHECK(kernels::slice<std::int32_t>(x, 1, 2, 5, 1, 2, 1) == Ints{5, 6, 7, 8, 9});
  // [2, 3, 2] sliced on its middle axis keeps pairs.
  const std::vector<float> y{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  CHECK(kernels::slice<float>(y, 2, 3, 2, 0, 3, 2) == std::vector<float>{0, 1, 4, 5, 6, 7, 10, 11});
  CHECK_THROWS_AS(kernels::slice<std::int32_t>(x, 2, 5, 1, 0, 6, 1), std::out_of_range);
  CHECK_THROWS_AS(kernels::slice<std::int32_t>(x, 2, 5, 1, 3, 3, 1), std::out_of_range);
  CHECK_THROWS_AS(kernels::slice<std::int32_t>(x, 2, 5, 1, 0, 5, 0), std::out_of_range);
  CHECK_THROWS_AS(kernels::slice<std::int32_t>(x, 3, 5, 1, 0, 5, 1), std::out_of_range);
}

TEST_CASE("concat joins runs of each input in turn", "[kernels]") {
  const Ints a = counting(4);           // [2, 2]
  const Ints b{10, 11, 12, 13, 14, 15}; // [2, 3] along axis 1, or [3, 2] along axis 0
  const std::vector<std::span<const std::int32_t>> along_columns{a, b};
  CHECK(kernels::concat<std::int32_t>(along_columns, Shape{2, 3}, 2, 1) ==
        Ints{0, 1, 10, 11, 12, 2, 3, 13, 14, 15});
  CHECK(kernels::concat<std::int32_t>(along_columns, Shape{2, 3}, 1, 2) ==
        Ints{0, 1, 2, 3, 10, 11, 12, 13, 14, 15});
  const std::vector<std::span<const std::int32_t>> twice{a, a};
  CHECK(kernels::concat<std::int32_t>(twice, Shape{2, 2}, 2, 1) == Ints{0, 1, 0, 1, 2, 3, 2, 3});
  const std::vector<float> f{-0.0F, 1};
  const std::vector<std::span<const float>> one{f};
  CHECK(bits(kernels::concat<float>(one, Shape{2}, 1, 1)) == bits(f));
  CHECK_THROWS_AS(kernels::concat<std::int32_t>(along_columns, Shape{2}, 2, 1), std::out_of_range);
  CHECK_THROWS_AS(kernels::concat<std::int32_t>(along_columns, Shape{3, 3}, 2, 1),
                  std::out_of_range);
}

TEST_CASE("gather copies the indexed rows in index order", "[kernels]") {
  // A table of 4 rows of 2.
  const Ints table{0, 1, 10, 11, 20, 21, 30, 31};
  CHECK(kernels::gather<std::int32_t>(table, 4, 2, Ints{3, 0, 1, 1}) ==
        Ints{30, 31, 0, 1, 10, 11, 10, 11});
  CHECK(bits(kernels::gather<float>(std::vector<float>{0.5F, -0.0F, 2}, 3, 1, Ints{2, 1})) ==
        bits(std::vector<float>{2, -0.0F}));
  CHECK(kernels::gather<std::int32_t>(table, 4, 2, Ints{}).empty());
  CHECK_THROWS_WITH(kernels::gather<std::int32_t>(table, 4, 2, Ints{0, -1}),
                    "gather: index -1 is outside [0, 4)");
  CHECK_THROWS_AS(kernels::gather<std::int32_t>(table, 5, 2, Ints{0}), std::out_of_range);
}

TEST_CASE("the first index outside the rows, in index order", "[kernels]") {
  constexpr std::int32_t largest = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();
  struct Case {
    Ints indices;
    std::uint64_t rows;
    std::optional<std::int32_t> expected;
  };
  // Long arrays put the bad index past the vector loop's first blocks; negative indices are
  // never wrapped; row counts at and past 2^31 hold every non-negative index.
  Ints long_indices(1001, 3);
  long_indices[997] = 4;
  long_indices[999] = -1;
  const Case cases[] = {
      {{0, 1, 2, 3}, 4, std::nullopt},
      {{0, 7, -1}, 4, 7},
      {{-1, 7}, 4, -1},
      {{4}, 4, 4},
      {{0}, 0, 0},
      {long_indices, 4, 4},
      {{largest}, std::uint64_t{1} << 31U, std::nullopt},
      {{largest}, std::uint64_t{1} << 40U, std::nullopt},
      {{0, largest}, std::uint64_t{largest}, largest},
      {{lowest}, std::uint64_t{1} << 40U, lowest},
  };
  for (const Case& c : cases) {
    INFO(c.indices.size() << " indices, " << c.rows << " rows");
    CHECK(kernels::first_index_outside(c.indices, c.rows) == c.expected);
  }
}

} // namespace
} // namespace orvik_compiler
