// The conversions between floats and 32-bit integers at the edges of the integer range, and the
// text a refused value is written with.

#include "kernels/kernels.hpp"
#include "test_support.hpp"

namespace orvik_compiler {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr std::int32_t largest = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t lowest = std::numeric_limits<std::int32_t>::min();

TEST_CASE("integers convert to the nearest float, ties to even", "[kernels]") {
  const std::vector<std::int32_t> input{0,        -1,        16777216, 16777217,
                                        16777219, -16777217, largest,  lowest};
  CHECK(kernels::cast_to_f32(input) == std::vector<float>{0, -1, 16777216, 16777216, 16777220,
                                                          -16777216, 2147483648.0F,
                                                          -2147483648.0F});
}

TEST_CASE("floats truncate toward zero from -2^31 up to 2^31", "[kernels]") {
  const std::vector<float> input{-0.5F,     0.5F,          -0.0F,          1.9F,       -1.9F,
                                 0x1p-149F, 2147483520.0F, -2147483648.0F, 16777217.0F};
  CHECK(kernels::cast_to_i32(input) ==
        std::vector<std::int32_t>{0, 0, 0, 1, -1, 0, 2147483520, lowest, 16777216});
  CHECK(kernels::first_outside_i32(input) == std::nullopt);
}

TEST_CASE("the first float that does not fit, and its text", "[kernels]") {
  struct Case {
    std::vector<float> input;
    const char* text;
  };
  // 2^31 is the first float too large; -2147483904 the first below -2^31.
  std::vector<float> long_input(1001, 7.0F);
  long_input[998] = -inf;
  long_input[1000] = nan;
  const Case cases[] = {
      {{2147483648.0F}, "2147483648"},
      {{0, -2147483904.0F}, "-2147483904"},
      {{1, nan, inf}, "nan"},
      {{-nan}, "nan"},
      {{inf}, "inf"},
      {{-inf, nan}, "-inf"},
      {{3e9F}, "3e+09"},
      {{1e30F, 2147483648.0F}, "1e+30"},
      {long_input, "-inf"},
  };
  for (const Case& c : cases) {
    INFO(c.text);
    const std::optional<float> value = kernels::first_outside_i32(c.input);
    REQUIRE(value.has_value());
    CHECK(kernels::float_text(*value) == c.text);
    CHECK_THROWS_WITH(kernels::cast_to_i32(c.input),
                      std::string("cast_to_i32: ") + c.text + " does not fit I32");
  }
  CHECK(kernels::float_text(-0.0F) == "-0");
  CHECK(kernels::float_text(0.1F) == "0.1");
  CHECK(kernels::float_text(-1.17549435e-38F) == "-1.1754944e-38");
}

} // namespace
} // namespace orvik_compiler
