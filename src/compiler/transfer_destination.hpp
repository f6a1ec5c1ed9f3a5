#pragma once

// The key of the exchange check's hash table: a tensor arriving on a tile.

#include "../splitmix64.hpp"

#include "orvik_compiler/graph.hpp"

#include <cstddef>
#include <cstdint>

namespace orvik_compiler {

struct TransferDestination {
  std::uint16_t tile = 0;
  TensorId tensor;

  friend bool operator==(const TransferDestination&, const TransferDestination&) = default;
};

/// Mixes both halves of the key through a full 64-bit finaliser, so that keys whose tensor and
/// tile trade off against each other (tensor ids chosen to cancel the tile numbers) still
/// spread over the buckets, and the check stays linear on any transfer list.
struct TransferDestinationHash {
  std::size_t operator()(const TransferDestination& destination) const noexcept {
    const std::uint64_t key = splitmix64_mix(destination.tensor.index) ^ destination.tile;
    return static_cast<std::size_t>(splitmix64_mix(key));
  }
};

} // namespace orvik_compiler
