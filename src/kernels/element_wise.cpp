// The element-wise kernels: GELU of one value, and the sum and product of two arrays. Each
// value is computed on its own, every operation rounded to float before the next; the library
// is built without contraction into fused multiply-adds.

#include "kernels.hpp"

#include "require_length.hpp"

#include <cmath>

namespace orvik_compiler::kernels {
namespace {

constexpr float gelu_cubic = 0.044715F;
constexpr float sqrt_two_over_pi = 0.7978846F;

} // namespace

float gelu(float value) {
  const float half = 0.5F * value;
  const float square = value * value;
  const float cube = value * square;
  const float scaled_cube = gelu_cubic * cube;
  const float inner = value + scaled_cube;
  const float argument = sqrt_two_over_pi * inner;
  const float t = std::tanh(argument);
  const float one_plus_t = 1.0F + t;
  return half * one_plus_t;
}

void add(std::span<const float> left, std::span<const float> right, std::span<float> result) {
  require_length(left.size(), result.size(), "add", "left");
  require_length(right.size(), result.size(), "add", "right");
  for (std::size_t i = 0; i < result.size(); ++i) {
    result[i] = left[i] + right[i];
  }
}

void multiply(std::span<const float> left, std::span<const float> right, std::span<float> result) {
  require_length(left.size(), result.size(), "multiply", "left");
  require_length(right.size(), result.size(), "multiply", "right");
  for (std::size_t i = 0; i < result.size(); ++i) {
    result[i] = left[i] * right[i];
  }
}

} // namespace orvik_compiler::kernels
