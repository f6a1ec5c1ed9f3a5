#pragma once

// Size arithmetic that stops with std::overflow_error instead of wrapping.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace orvik_compiler::checked {

/// a * b, or std::overflow_error naming `what` when the product does not fit 64 bits.
inline std::uint64_t multiply(std::uint64_t a, std::uint64_t b, const char* what) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw std::overflow_error(std::string(what) + " overflows 64 bits");
  }
  return product;
}

/// `count`, or std::overflow_error naming `what` when an array of that many floats would not fit
/// the address space, so that sizes are checked before an allocation is tried.
inline std::uint64_t float_count(std::uint64_t count, const char* what) {
  const std::uint64_t bytes = multiply(count, sizeof(float), what);
  if (bytes > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
    throw std::overflow_error(std::string(what) + " overflows the address space");
  }
  return count;
}

/// a + b, or std::overflow_error naming `what` when the sum does not fit 64 bits.
inline std::uint64_t add(std::uint64_t a, std::uint64_t b, const char* what) {
  std::uint64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    throw std::overflow_error(std::string(what) + " overflows 64 bits");
  }
  return sum;
}

} // namespace orvik_compiler::checked
