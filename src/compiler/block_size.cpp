// Block sizes and the data-limit error of the memory planners.

#include "block_size.hpp"

#include "address_space.hpp"

#include "orvik_compiler/compiler.hpp"

#include <stdexcept>
#include <string>

namespace orvik_compiler {

CompileError exceeds_data_limit(std::uint16_t tile, const Tensor& tensor) {
  return CompileError::memory("tile " + std::to_string(tile) + " exceeds data limit allocating " +
                              tensor.name);
}

Result<std::uint32_t> block_size(const Tensor& tensor, const Layout& layout) {
  if (layout.tiles.empty() || layout.alignment == 0) {
    throw std::invalid_argument("plan_memory needs layouts with tiles and an alignment");
  }
  // Tested before rounding: a share near 2^64 would wrap to a small block if rounded first.
  const std::uint64_t share = local_bytes(tensor, layout);
  if (share >= address_space_end) {
    return exceeds_data_limit(layout.tiles.front(), tensor);
  }
  const std::uint64_t size = align_up(share, layout.alignment);
  if (size >= address_space_end) {
    return exceeds_data_limit(layout.tiles.front(), tensor);
  }
  return static_cast<std::uint32_t>(size);
}

} // namespace orvik_compiler
