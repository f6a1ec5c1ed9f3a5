// Rounding to an alignment within the 32-bit address space.

#include "address_space.hpp"

#include "orvik_compiler/compiler.hpp"

#include <stdexcept>

namespace orvik_compiler {

std::uint32_t align_u32(std::uint32_t value, std::uint32_t alignment) {
  if (alignment == 0) {
    throw std::invalid_argument("align_u32 with an alignment of 0");
  }
  const std::uint64_t aligned = align_up(value, alignment);
  if (aligned >= address_space_end) {
    throw std::overflow_error("align_u32 result overflows 32 bits");
  }
  return static_cast<std::uint32_t>(aligned);
}

} // namespace orvik_compiler
