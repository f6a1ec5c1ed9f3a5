// The element-wise kernels: one loop per function of one or two arrays (tanh in tanh_gelu.cpp).
// Each value is computed on its own, every operation rounded to float before the next; the
// library is built without contraction into fused multiply-adds, and without errno from the
// math functions so that the square root vectorises.

#include "kernels.hpp"

#include "each_value.hpp"

#include "float_order.hpp"
#include "require_length.hpp"

#include <cmath>
#include <cstddef>

namespace orvik_compiler::kernels {
namespace {

float sigmoid(float value) {
  const float exponential = std::exp(-value);
  const float denominator = 1.0F + exponential;
  return 1.0F / denominator;
}

/// result[i] = function(left[i], right[i]), one pass the compiler sees whole.
template <class Function>
void each_pair(std::span<const float> left, std::span<const float> right, std::span<float> result,
               Function function) {
  const float* a = left.data();
  const float* b = right.data();
  float* out = result.data();
  const std::size_t count = result.size();
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = function(a[i], b[i]);
  }
}

} // namespace

void apply(BinaryFunction function, std::span<const float> left, std::span<const float> right,
           std::span<float> result) {
  require_length(left.size(), result.size(), "element-wise function", "left");
  require_length(right.size(), result.size(), "element-wise function", "right");
  switch (function) {
  case BinaryFunction::add:
    return each_pair(left, right, result, [](float a, float b) { return a + b; });
  case BinaryFunction::subtract:
    return each_pair(left, right, result, [](float a, float b) { return a - b; });
  case BinaryFunction::multiply:
    return each_pair(left, right, result, [](float a, float b) { return a * b; });
  case BinaryFunction::divide:
    return each_pair(left, right, result, [](float a, float b) { return a / b; });
  case BinaryFunction::maximum:
    return each_pair(left, right, result, maximum);
  case BinaryFunction::minimum:
    return each_pair(left, right, result, minimum);
  case BinaryFunction::power:
    return each_pair(left, right, result, [](float a, float b) { return std::pow(a, b); });
  }
}

void add(std::span<const float> left, std::span<const float> right, std::span<float> result) {
  apply(BinaryFunction::add, left, right, result);
}

void multiply(std::span<const float> left, std::span<const float> right, std::span<float> result) {
  apply(BinaryFunction::multiply, left, right, result);
}

void apply(UnaryFunction function, std::span<const float> input, std::span<float> result) {
  require_length(input.size(), result.size(), "element-wise function", "input");
  // The float overloads of <cmath> are the C library's float functions (erff, tanhf, ...).
  switch (function) {
  case UnaryFunction::erf:
    return each(input, result, [](float x) { return std::erf(x); });
  case UnaryFunction::tanh:
    return tanh_values(input, result);
  case UnaryFunction::exp:
    return each(input, result, [](float x) { return std::exp(x); });
  case UnaryFunction::log:
    return each(input, result, [](float x) { return std::log(x); });
  case UnaryFunction::sqrt:
    return each(input, result, [](float x) { return std::sqrt(x); });
  case UnaryFunction::reciprocal:
    return each(input, result, [](float x) { return 1.0F / x; });
  case UnaryFunction::negate:
    return each(input, result, [](float x) { return -x; });
  case UnaryFunction::absolute:
    return each(input, result, [](float x) { return std::fabs(x); });
  case UnaryFunction::relu:
    return each(input, result, [](float x) { return x < 0.0F ? 0.0F : x; });
  case UnaryFunction::sigmoid:
    return each(input, result, sigmoid);
  }
}

} // namespace orvik_compiler::kernels
