#pragma once

// A tile's byte addresses: 32-bit, so every block ends below 2^32, and blocks start at aligned
// addresses.

#include <cstdint>

namespace orvik_compiler {

/// No block on a tile may reach this address: byte addresses are 32-bit.
inline constexpr std::uint64_t address_space_end = std::uint64_t{1} << 32U;

/// `value` rounded up to a multiple of `alignment`, in 64 bits: exact for any `value` below
/// 2^32 and any non-zero 32-bit alignment.
inline std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment) {
  // Compiled layouts align to powers of two, which need no division.
  if ((alignment & (alignment - 1)) == 0) {
    return (value + alignment - 1) & ~std::uint64_t{alignment - 1};
  }
  return (value + alignment - 1) / alignment * alignment;
}

} // namespace orvik_compiler
