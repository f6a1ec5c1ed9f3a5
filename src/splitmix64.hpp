#pragma once

// The finaliser of the SplitMix64 generator, for the tree priorities of the memory planner.

#include <cstdint>

namespace orvik_compiler {

/// The increment of SplitMix64's state: the generator's n-th value is
/// `splitmix64_mix(n * splitmix64_increment)`, counting from 1.
inline constexpr std::uint64_t splitmix64_increment = 0x9E3779B97F4A7C15ULL;

/// SplitMix64's output function: a bijection of 64-bit values in which every input bit flips
/// about half of the output bits.
constexpr std::uint64_t splitmix64_mix(std::uint64_t value) noexcept {
  value = (value ^ (value >> 30U)) * 0xBF58476D1CE4E5B9ULL;
  value = (value ^ (value >> 27U)) * 0x94D049BB133111EBULL;
  return value ^ (value >> 31U);
}

} // namespace orvik_compiler
