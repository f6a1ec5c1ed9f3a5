#pragma once

// The size of the block that holds one share on a tile, and the error of a share that no tile
// window can hold: rules that lowering and every memory planner share.

#include "orvik_compiler/graph.hpp"
#include "orvik_compiler/schedule.hpp"

#include <cstdint>

namespace orvik_compiler {

/// "tile {tile} exceeds data limit allocating {name}".
CompileError exceeds_data_limit(std::uint16_t tile, const Tensor& tensor);

/// The bytes of every block of `tensor` under `layout`: its share padded to the layout's
/// alignment. A share or padded block of 2^32 bytes or more exceeds the data limit on the
/// layout's first tile. A layout without tiles or with an alignment of 0 throws
/// std::invalid_argument.
Result<std::uint32_t> block_size(const Tensor& tensor, const Layout& layout);

} // namespace orvik_compiler
