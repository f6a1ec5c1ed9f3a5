// The exchange check of one epoch's transfers.

#include "orvik_compiler/compiler.hpp"

#include "validate_transfers.hpp"

#include <unordered_set>

namespace orvik_compiler {

Result<void> validate_transfers(std::span<const Transfer> transfers) {
  // Only inserted into and tested, never iterated, so its order never shows.
  std::unordered_set<TransferDestination, TransferDestinationHash> destinations;
  destinations.reserve(transfers.size());
  for (const Transfer& transfer : transfers) {
    if (transfer.source_tile == transfer.destination_tile || transfer.bytes == 0) {
      return CompileError::graph("invalid exchange transfer");
    }
    if (!destinations.insert(TransferDestination{transfer.destination_tile, transfer.tensor})
             .second) {
      return CompileError::graph("multiple sends target one tensor region in an epoch");
    }
  }
  return {};
}

} // namespace orvik_compiler
