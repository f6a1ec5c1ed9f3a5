#pragma once

// The size of the block that holds one share on a tile, and the error of a block that no tile
// window can hold: the rules that every memory planner shares.

#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/schedule.hpp"

#include <cstdint>

namespace orvik_compiler {

/// No block on a tile may reach this address: byte addresses are 32-bit.
inline constexpr std::uint64_t address_space_end = std::uint64_t{1} << 32U;

/// `value` rounded up to a multiple of `alignment`, in 64 bits: exact for any `value` below
/// 2^32 and any non-zero 32-bit alignment.
inline std::uint64_t align_up(std::uint64_t value, std::uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

/// "tile {tile} exceeds data limit allocating {name}".
CompileError exceeds_data_limit(std::uint16_t tile, const Tensor& tensor);

/// The bytes of every block of `tensor` under `layout`: its share padded to the layout's
/// alignment. A share or padded block of 2^32 bytes or more exceeds the data limit on the
/// layout's first tile. A layout without tiles or with an alignment of 0 throws
/// std::invalid_argument.
Result<std::uint32_t> block_size(const Tensor& tensor, const Layout& layout);

} // namespace orvik_compiler
