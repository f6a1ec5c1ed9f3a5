#pragma once

// The inverse of the SplitMix64 finaliser, for building keys whose hashes a test chooses.

#include <cstdint>

namespace orvik_compiler::testing {

/// The value whose `splitmix64_mix` is `value`: each xor-shift and multiplication undone in
/// reverse order.
constexpr std::uint64_t splitmix64_unmix(std::uint64_t value) {
  const auto unshift = [](std::uint64_t shifted, unsigned bits) {
    std::uint64_t original = shifted;
    for (unsigned known = bits; known < 64; known += bits) {
      original = shifted ^ (original >> bits);
    }
    return original;
  };
  const auto inverse = [](std::uint64_t odd) {
    std::uint64_t result = 1;
    for (int step = 0; step < 6; ++step) {
      result *= 2 - odd * result; // Newton's iteration for the inverse modulo 2^64
    }
    return result;
  };
  value = unshift(value, 31) * inverse(0x94D049BB133111EBULL);
  value = unshift(value, 27) * inverse(0xBF58476D1CE4E5B9ULL);
  return unshift(value, 30);
}

} // namespace orvik_compiler::testing
