#pragma once

// Size arithmetic that stops with std::overflow_error instead of wrapping.

#include <cstdint>
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

} // namespace orvik_compiler::checked
