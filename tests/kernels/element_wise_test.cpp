// The element-wise functions: their values at NaN, the infinities, the signed zeros, subnormals
// and the edges of each range, and every function against its C library call or plain branch
// over long arrays, also in place.

#include "kernels/kernels.hpp"
#include "test_support.hpp"

#include <math.h>

#include <algorithm>
#include <cfloat>
#include <functional>

namespace orvik_compiler {
namespace {

using kernels::BinaryFunction;
using kernels::UnaryFunction;
using testing::bits;
using testing::sample_values;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float subnormal = 1e-40F;
constexpr float smallest = 0x1p-149F;

float unary(UnaryFunction function, float x) {
  const std::vector<float> input{x};
  std::vector<float> result(1);
  kernels::apply(function, input, result);
  return result[0];
}

float binary(BinaryFunction function, float a, float b) {
  const std::vector<float> left{a};
  const std::vector<float> right{b};
  std::vector<float> result(1);
  kernels::apply(function, left, right, result);
  return result[0];
}

TEST_CASE("each function of one value at its special values and range edges", "[kernels]") {
  struct Case {
    UnaryFunction function;
    const char* name;
    float x;
    float expected;
  };
  const Case cases[] = {
      {UnaryFunction::erf, "erf", nan, nan},
      {UnaryFunction::erf, "erf", inf, 1},
      {UnaryFunction::erf, "erf", -inf, -1},
      {UnaryFunction::erf, "erf", 0.0F, 0.0F},
      {UnaryFunction::erf, "erf", -0.0F, -0.0F},
      {UnaryFunction::erf, "erf saturates", 4, 1},
      {UnaryFunction::erf, "erf saturates", -4, -1},
      {UnaryFunction::erf, "erf just below 1", 3.9F, 0x1.fffffep-1F},
      {UnaryFunction::erf, "erf of a subnormal", subnormal, 0x1.3a8bp-133F},
      {UnaryFunction::erf, "erf", 0.5F, 0x1.0a7ef6p-1F},
      {UnaryFunction::tanh, "tanh", nan, nan},
      {UnaryFunction::tanh, "tanh", inf, 1},
      {UnaryFunction::tanh, "tanh", -inf, -1},
      {UnaryFunction::tanh, "tanh", -0.0F, -0.0F},
      {UnaryFunction::tanh, "tanh saturates", 10, 1},
      {UnaryFunction::tanh, "tanh saturates", -10, -1},
      {UnaryFunction::tanh, "tanh just below 1", 9, 0x1.fffffep-1F},
      {UnaryFunction::tanh, "tanh of a subnormal is itself", subnormal, subnormal},
      {UnaryFunction::tanh, "tanh", 0.5F, 0x1.d9353ep-2F},
      {UnaryFunction::exp, "exp", nan, nan},
      {UnaryFunction::exp, "exp", inf, inf},
      {UnaryFunction::exp, "exp", -inf, 0.0F},
      {UnaryFunction::exp, "exp", -0.0F, 1},
      {UnaryFunction::exp, "exp of a subnormal", subnormal, 1},
      {UnaryFunction::exp, "exp", 1, 0x1.5bf0a8p+1F},
      {UnaryFunction::exp, "exp below overflow", 88.72283F, 0x1.ffff08p+127F},
      {UnaryFunction::exp, "exp overflows", 88.72284F, inf},
      {UnaryFunction::exp, "exp into the subnormals", -100, 0x1.bp-145F},
      {UnaryFunction::exp, "exp to the smallest subnormal", -103.9F, smallest},
      {UnaryFunction::exp, "exp underflows", -104, 0.0F},
      {UnaryFunction::log, "log", nan, nan},
      {UnaryFunction::log, "log", inf, inf},
      {UnaryFunction::log, "log", -inf, nan},
      {UnaryFunction::log, "log of +0", 0.0F, -inf},
      {UnaryFunction::log, "log of -0", -0.0F, -inf},
      {UnaryFunction::log, "log of a negative", -1, nan},
      {UnaryFunction::log, "log", 1, 0.0F},
      {UnaryFunction::log, "log of a subnormal", subnormal, -0x1.7069e4p+6F},
      {UnaryFunction::log, "log of the smallest subnormal", smallest, -0x1.9d1dap+6F},
      {UnaryFunction::log, "log of the largest float", FLT_MAX, 0x1.62e43p+6F},
      {UnaryFunction::sqrt, "sqrt", nan, nan},
      {UnaryFunction::sqrt, "sqrt", inf, inf},
      {UnaryFunction::sqrt, "sqrt", -inf, nan},
      {UnaryFunction::sqrt, "sqrt", 0.0F, 0.0F},
      {UnaryFunction::sqrt, "sqrt of -0", -0.0F, -0.0F},
      {UnaryFunction::sqrt, "sqrt of a negative", -1, nan},
      {UnaryFunction::sqrt, "sqrt", 4, 2},
      {UnaryFunction::sqrt, "sqrt rounds correctly", 2, 0x1.6a09e6p+0F},
      {UnaryFunction::sqrt, "sqrt of a subnormal", 0x1p-148F, 0x1p-74F},
      {UnaryFunction::reciprocal, "reciprocal of +0", 0.0F, inf},
      {UnaryFunction::reciprocal, "reciprocal of -0", -0.0F, -inf},
      {UnaryFunction::reciprocal, "reciprocal", inf, 0.0F},
      {UnaryFunction::reciprocal, "reciprocal", -inf, -0.0F},
      {UnaryFunction::reciprocal, "reciprocal", nan, nan},
      {UnaryFunction::reciprocal, "reciprocal", 3, 0x1.555556p-2F},
      {UnaryFunction::reciprocal, "reciprocal into the subnormals", FLT_MAX, 0x1p-128F},
      {UnaryFunction::reciprocal, "reciprocal of a subnormal overflows", subnormal, inf},
      {UnaryFunction::negate, "neg", 0.0F, -0.0F},
      {UnaryFunction::negate, "neg", -0.0F, 0.0F},
      {UnaryFunction::negate, "neg", inf, -inf},
      {UnaryFunction::negate, "neg", subnormal, -subnormal},
      {UnaryFunction::negate, "neg", nan, nan},
      {UnaryFunction::absolute, "abs", -0.0F, 0.0F},
      {UnaryFunction::absolute, "abs", -inf, inf},
      {UnaryFunction::absolute, "abs", -subnormal, subnormal},
      {UnaryFunction::absolute, "abs", -2.5F, 2.5F},
      {UnaryFunction::absolute, "abs", nan, nan},
      {UnaryFunction::relu, "relu keeps -0", -0.0F, -0.0F},
      {UnaryFunction::relu, "relu", 0.0F, 0.0F},
      {UnaryFunction::relu, "relu of a negative subnormal", -subnormal, 0.0F},
      {UnaryFunction::relu, "relu", subnormal, subnormal},
      {UnaryFunction::relu, "relu", -3, 0.0F},
      {UnaryFunction::relu, "relu", -inf, 0.0F},
      {UnaryFunction::relu, "relu", inf, inf},
      {UnaryFunction::relu, "relu keeps NaN", nan, nan},
      {UnaryFunction::sigmoid, "sigmoid", nan, nan},
      {UnaryFunction::sigmoid, "sigmoid", inf, 1},
      {UnaryFunction::sigmoid, "sigmoid", -inf, 0.0F},
      {UnaryFunction::sigmoid, "sigmoid", 0.0F, 0.5F},
      {UnaryFunction::sigmoid, "sigmoid", -subnormal, 0.5F},
      {UnaryFunction::sigmoid, "sigmoid", 1, 0x1.764d5p-1F},
      {UnaryFunction::sigmoid, "sigmoid rounds 1 + exp(-x) to 1", 17, 1},
      {UnaryFunction::sigmoid, "sigmoid into the subnormals", -88, 0x1.07b71p-127F},
      {UnaryFunction::sigmoid, "sigmoid with exp(-x) overflowing", -89, 0.0F},
  };
  for (const Case& c : cases) {
    INFO(c.name << "(" << c.x << ")");
    CHECK(bits(std::vector<float>{unary(c.function, c.x)}) == bits(std::vector{c.expected}));
  }
}

TEST_CASE("each function of two values at its special values", "[kernels]") {
  struct Case {
    BinaryFunction function;
    const char* name;
    float a;
    float b;
    float expected;
  };
  const Case cases[] = {
      {BinaryFunction::subtract, "sub", inf, inf, nan},
      {BinaryFunction::subtract, "sub of equal values is +0", -0.0F, -0.0F, 0.0F},
      {BinaryFunction::subtract, "sub", -0.0F, 0.0F, -0.0F},
      {BinaryFunction::subtract, "sub, left operand first", 1, 3, -2},
      {BinaryFunction::subtract, "sub", 1, nan, nan},
      {BinaryFunction::divide, "div", 1, 0.0F, inf},
      {BinaryFunction::divide, "div", 1, -0.0F, -inf},
      {BinaryFunction::divide, "div", 0.0F, 0.0F, nan},
      {BinaryFunction::divide, "div", inf, inf, nan},
      {BinaryFunction::divide, "div, left operand first", 1, 4, 0.25F},
      {BinaryFunction::divide, "div into the subnormals", 0x1p-126F, 4, 0x1p-128F},
      {BinaryFunction::maximum, "maximum", nan, 1, nan},
      {BinaryFunction::maximum, "maximum", 1, nan, nan},
      {BinaryFunction::maximum, "maximum", nan, -inf, nan},
      {BinaryFunction::maximum, "maximum", -inf, nan, nan},
      {BinaryFunction::maximum, "maximum of -0 and +0", -0.0F, 0.0F, 0.0F},
      {BinaryFunction::maximum, "maximum of +0 and -0", 0.0F, -0.0F, 0.0F},
      {BinaryFunction::maximum, "maximum", -0.0F, -0.0F, -0.0F},
      {BinaryFunction::maximum, "maximum", -inf, inf, inf},
      {BinaryFunction::maximum, "maximum", 3, 2, 3},
      {BinaryFunction::maximum, "maximum", 2, 3, 3},
      {BinaryFunction::maximum, "maximum", -subnormal, subnormal, subnormal},
      {BinaryFunction::minimum, "minimum", nan, 1, nan},
      {BinaryFunction::minimum, "minimum", 1, nan, nan},
      {BinaryFunction::minimum, "minimum", inf, nan, nan},
      {BinaryFunction::minimum, "minimum of -0 and +0", -0.0F, 0.0F, -0.0F},
      {BinaryFunction::minimum, "minimum of +0 and -0", 0.0F, -0.0F, -0.0F},
      {BinaryFunction::minimum, "minimum", 0.0F, 0.0F, 0.0F},
      {BinaryFunction::minimum, "minimum", inf, -inf, -inf},
      {BinaryFunction::minimum, "minimum", 3, 2, 2},
      {BinaryFunction::minimum, "minimum", subnormal, -subnormal, -subnormal},
      {BinaryFunction::power, "pow to 0 is 1, even of NaN", nan, 0.0F, 1},
      {BinaryFunction::power, "pow to -0 is 1", inf, -0.0F, 1},
      {BinaryFunction::power, "pow of 1 is 1, even to NaN", 1, nan, 1},
      {BinaryFunction::power, "pow of -1 to infinity is 1", -1, inf, 1},
      {BinaryFunction::power, "pow of a negative to a non-integer", -8, 1.0F / 3.0F, nan},
      {BinaryFunction::power, "pow of +0 to a negative odd integer", 0.0F, -1, inf},
      {BinaryFunction::power, "pow of -0 to a negative odd integer", -0.0F, -1, -inf},
      {BinaryFunction::power, "pow of -0 to a positive odd integer", -0.0F, 3, -0.0F},
      {BinaryFunction::power, "pow of a negative to an odd integer", -2, 3, -8},
      {BinaryFunction::power, "pow", 2, 0.5F, 0x1.6a09e6p+0F},
      {BinaryFunction::power, "pow to a subnormal result", 2, -149, smallest},
      {BinaryFunction::power, "pow overflows", 2, 128, inf},
      {BinaryFunction::power, "pow below 1 to infinity", 0.5F, inf, 0.0F},
      {BinaryFunction::power, "pow above 1 to -infinity", 2, -inf, 0.0F},
      {BinaryFunction::power, "pow of -infinity to an odd integer", -inf, 3, -inf},
      {BinaryFunction::power, "pow of -infinity to a negative odd integer", -inf, -3, -0.0F},
      {BinaryFunction::power, "pow", nan, 1, nan},
  };
  for (const Case& c : cases) {
    INFO(c.name << "(" << c.a << ", " << c.b << ")");
    CHECK(bits(std::vector<float>{binary(c.function, c.a, c.b)}) == bits(std::vector{c.expected}));
  }
}

/// The plain definition of maximum and minimum, with branches.
float plain_maximum(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) {
    return nan;
  }
  if (a == b) {
    return std::signbit(a) ? b : a;
  }
  return a > b ? a : b;
}

float plain_minimum(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) {
    return nan;
  }
  if (a == b) {
    return std::signbit(a) ? a : b;
  }
  return a < b ? a : b;
}

TEST_CASE("every function equals its C library call or plain branch on long arrays",
          "[kernels][differential]") {
  // 1003 values cross every vector width with a tail; one in five is NaN, an infinity, a signed
  // zero, a subnormal or a huge value, and the right operand's specials fall elsewhere.
  const std::vector<float> left = sample_values(1003, 21, 5);
  const std::vector<float> right = sample_values(1003, 22, 3);
  const std::pair<UnaryFunction, std::function<float(float)>> unary_cases[] = {
      {UnaryFunction::erf, [](float x) { return ::erff(x); }},
      {UnaryFunction::tanh, [](float x) { return ::tanhf(x); }},
      {UnaryFunction::exp, [](float x) { return ::expf(x); }},
      {UnaryFunction::log, [](float x) { return ::logf(x); }},
      {UnaryFunction::sqrt, [](float x) { return ::sqrtf(x); }},
      {UnaryFunction::reciprocal, [](float x) { return 1.0F / x; }},
      {UnaryFunction::negate, [](float x) { return -x; }},
      {UnaryFunction::absolute, [](float x) { return ::fabsf(x); }},
      {UnaryFunction::relu, [](float x) { return x < 0 ? 0.0F : x; }},
      {UnaryFunction::sigmoid, [](float x) { return 1.0F / (1.0F + ::expf(-x)); }},
  };
  for (const auto& [function, plain] : unary_cases) {
    INFO("unary function " << static_cast<int>(function));
    std::vector<float> expected(left.size());
    std::transform(left.begin(), left.end(), expected.begin(), plain);
    std::vector<float> result(left.size());
    kernels::apply(function, left, result);
    CHECK(bits(result) == bits(expected));
    std::vector<float> in_place = left;
    kernels::apply(function, in_place, in_place);
    CHECK(bits(in_place) == bits(expected));
  }
  const std::pair<BinaryFunction, std::function<float(float, float)>> binary_cases[] = {
      {BinaryFunction::add, [](float a, float b) { return a + b; }},
      {BinaryFunction::subtract, [](float a, float b) { return a - b; }},
      {BinaryFunction::multiply, [](float a, float b) { return a * b; }},
      {BinaryFunction::divide, [](float a, float b) { return a / b; }},
      {BinaryFunction::maximum, plain_maximum},
      {BinaryFunction::minimum, plain_minimum},
      {BinaryFunction::power, [](float a, float b) { return ::powf(a, b); }},
  };
  for (const auto& [function, plain] : binary_cases) {
    INFO("binary function " << static_cast<int>(function));
    std::vector<float> expected(left.size());
    std::transform(left.begin(), left.end(), right.begin(), expected.begin(), plain);
    std::vector<float> result(left.size());
    kernels::apply(function, left, right, result);
    CHECK(bits(result) == bits(expected));
    std::vector<float> in_place = right;
    kernels::apply(function, left, in_place, in_place);
    CHECK(bits(in_place) == bits(expected));
    std::vector<float> squares(left.size());
    std::transform(left.begin(), left.end(), left.begin(), squares.begin(), plain);
    in_place = left;
    kernels::apply(function, in_place, in_place, in_place);
    CHECK(bits(in_place) == bits(squares));
  }
  std::vector<float> longer(1004);
  CHECK_THROWS_AS(kernels::apply(UnaryFunction::exp, left, longer), std::out_of_range);
  CHECK_THROWS_AS(kernels::apply(BinaryFunction::power, left, longer, longer), std::out_of_range);
}

} // namespace
} // namespace orvik_compiler
