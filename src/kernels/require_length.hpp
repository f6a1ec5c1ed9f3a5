#pragma once

// The bounds check that every kernel makes before it reads or writes an array.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace orvik_compiler::kernels {

/// Throws std::out_of_range "<kernel>: <array> holds <length> values, the dimensions need
/// <needed>" when an array of `length` values is shorter than the `needed` its loops touch.
inline void require_length(std::size_t length, std::uint64_t needed, const char* kernel,
                           const char* array) {
  if (length < needed) {
    throw std::out_of_range(std::string(kernel) + ": " + array + " holds " +
                            std::to_string(length) + " values, the dimensions need " +
                            std::to_string(needed));
  }
}

} // namespace orvik_compiler::kernels
