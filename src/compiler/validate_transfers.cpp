// The exchange check of one epoch's transfers.

#include "orvik_compiler/compiler.hpp"

#include <unordered_set>

namespace orvik_compiler {
namespace {

struct Destination {
  std::uint16_t tile;
  TensorId tensor;
  friend bool operator==(const Destination&, const Destination&) = default;
};

struct DestinationHash {
  std::size_t operator()(const Destination& destination) const noexcept {
    return std::hash<TensorId>{}(destination.tensor) * 65537U + destination.tile;
  }
};

} // namespace

Result<void> validate_transfers(std::span<const Transfer> transfers) {
  // Only inserted into and tested, never iterated, so its order never shows.
  std::unordered_set<Destination, DestinationHash> destinations;
  for (const Transfer& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return CompileError::graph("invalid exchange transfer");
    }
    if (!destinations.insert(Destination{transfer.destination_tile, transfer.tensor}).second) {
      return CompileError::graph("multiple sends target one tensor region in an epoch");
    }
  }
  return {};
}

} // namespace orvik_compiler
