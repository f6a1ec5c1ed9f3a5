// Layout choice: how many tiles hold each tensor and the label of its split.

#include "orvik_compiler/compiler.hpp"

#include "../checked_arithmetic.hpp"

#include <algorithm>
#include <stdexcept>

namespace orvik_compiler {
namespace {

constexpr std::uint64_t bytes_per_tile_step = 1024;
constexpr std::uint32_t layout_alignment = 16;

std::uint64_t byte_count(const Tensor& tensor) {
  return checked::multiply(tensor.elements(), tensor.dtype.size(), "tensor byte count");
}

Sharding choose_sharding(const Tensor& tensor) {
  const std::size_t rank = tensor.shape.size();
  if (tensor.kind == TensorKind::Weight && rank == 2) {
    return Sharding::Columns;
  }
  if (rank >= 3) {
    return Sharding::Heads;
  }
  if (rank == 2) {
    return Sharding::Rows;
  }
  return Sharding::Replicated;
}

} // namespace

std::uint16_t layout_tile_count(const Tensor& tensor, std::uint16_t tile_count) {
  const std::uint64_t bytes = byte_count(tensor);
  const std::uint64_t blocks = bytes / bytes_per_tile_step + (bytes % bytes_per_tile_step != 0);
  // Clamped in 64 bits, so the narrowing below cannot wrap.
  return static_cast<std::uint16_t>(
      std::clamp<std::uint64_t>(blocks, 1, std::max<std::uint16_t>(tile_count, 1)));
}

Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count) {
  Layout layout{tensor.id, {}, choose_sharding(tensor), layout_alignment};
  layout.tiles.resize(layout_tile_count(tensor, tile_count));
  for (std::size_t i = 0; i < layout.tiles.size(); ++i) {
    layout.tiles[i] = static_cast<std::uint16_t>(i);
  }
  return layout;
}

std::uint64_t local_bytes(const Tensor& tensor, const Layout& layout) {
  const std::uint64_t shares = layout.tiles.size();
  if (shares == 0) {
    throw std::invalid_argument("local_bytes of a layout with no tiles");
  }
  const std::uint64_t bytes = byte_count(tensor);
  return bytes / shares + (bytes % shares != 0);
}

} // namespace orvik_compiler
