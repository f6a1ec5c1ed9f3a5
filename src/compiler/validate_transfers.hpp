#pragma once

// The key of the exchange check's hash table: a tensor arriving on a tile.

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
    std::uint64_t key = mix(destination.tensor.index) ^ destination.tile;
    return static_cast<std::size_t>(mix(key));
  }

private:
  /// The finaliser of the SplitMix64 generator: a bijection in which every input bit flips
  /// about half of the output bits.
  static std::uint64_t mix(std::uint64_t value) noexcept {
    value = (value ^ (value >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27U)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31U);
  }
};

} // namespace orvik_compiler
