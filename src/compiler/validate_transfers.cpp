// The exchange check of one epoch's transfers.

#include "orvik_compiler/compiler.hpp"

#include "transfer_destination.hpp"

#include <algorithm>
#include <bit>
#include <optional>
#include <vector>

namespace orvik_compiler {

Result<void> validate_transfers(std::span<const Transfer> transfers) {
  // The destinations seen so far, in an open-addressed table at most half full: one allocation
  // for the whole epoch, where a node-based set would allocate once per transfer. Only inserted
  // into and tested, never iterated, so its order never shows.
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * transfers.size()));
  std::vector<std::optional<TransferDestination>> slots(capacity);
  const TransferDestinationHash hash;
  for (const Transfer& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return CompileError::graph("invalid exchange transfer");
    }
    const TransferDestination destination{transfer.destination_tile, transfer.tensor};
    std::size_t slot = hash(destination) & (capacity - 1);
    for (; slots[slot]; slot = (slot + 1) & (capacity - 1)) {
      if (*slots[slot] == destination) {
        return CompileError::graph("multiple sends target one tensor region in an epoch");
      }
    }
    slots[slot] = destination;
  }
  return {};
}

} // namespace orvik_compiler
