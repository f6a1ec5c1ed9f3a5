#pragma once

// The larger and the smaller of two floats as the element-wise and reducing kernels define them:
// NaN when either is NaN, +0 above -0.

#include <bit>
#include <cmath>
#include <cstdint>

namespace orvik_compiler::kernels {

// Both are selections only, so that loops over them vectorise: a > b alone picks b when b is
// NaN, the last selection picks a when a is NaN, and equal values (only -0 and +0 differ among
// them) combine their bits so that the sign of +0 (of -0) wins. Arithmetic on a NaN inside a
// selection would keep the compiler from vectorising, since it may not speculate an operation
// that can trap.

/// NaN when either operand is NaN, otherwise the larger, +0 above -0.
inline float maximum(float a, float b) {
  const float tie =
      std::bit_cast<float>(std::bit_cast<std::uint32_t>(a) & std::bit_cast<std::uint32_t>(b));
  const float larger = a > b ? a : b;
  const float ordered = a == b ? tie : larger;
  return std::isnan(a) ? a : ordered;
}

/// NaN when either operand is NaN, otherwise the smaller, -0 below +0.
inline float minimum(float a, float b) {
  const float tie =
      std::bit_cast<float>(std::bit_cast<std::uint32_t>(a) | std::bit_cast<std::uint32_t>(b));
  const float smaller = a < b ? a : b;
  const float ordered = a == b ? tie : smaller;
  return std::isnan(a) ? a : ordered;
}

} // namespace orvik_compiler::kernels
