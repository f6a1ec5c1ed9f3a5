// The exchange check of one epoch's transfers.

#include "orvik_compiler/compiler.hpp"

#include "transfer_destination.hpp"

#include <algorithm>
#include <tuple>
#include <vector>

namespace orvik_compiler {
namespace {

struct PositionedDestination {
  std::uint64_t tensor = 0;
  std::uint16_t tile = 0;
  std::size_t position = 0;
};

bool same_destination(const PositionedDestination& a, const PositionedDestination& b) {
  return a.tensor == b.tensor && a.tile == b.tile;
}

bool is_invalid(const Transfer& transfer) {
  return transfer.source_tile == transfer.destination_tile || transfer.bytes == 0;
}

} // namespace

std::size_t first_repeated_destination(std::span<const Transfer> transfers,
                                       std::uint64_t* comparisons) {
  std::vector<PositionedDestination> destinations;
  destinations.reserve(transfers.size());
  for (std::size_t position = 0; position < transfers.size(); ++position) {
    destinations.push_back(PositionedDestination{transfers[position].tensor.index,
                                                 transfers[position].destination_tile, position});
  }
  std::uint64_t compared = 0;
  std::sort(destinations.begin(), destinations.end(),
            [&compared](const PositionedDestination& a, const PositionedDestination& b) {
              ++compared;
              return std::tie(a.tensor, a.tile, a.position) <
                     std::tie(b.tensor, b.tile, b.position);
            });
  if (comparisons != nullptr) {
    *comparisons = compared;
  }
  // Equal destinations now sit together in the order of their positions: the second of each
  // run is that destination's first repeat, and the earliest of those is the list's.
  std::size_t first_repeat = transfers.size();
  for (std::size_t i = 1; i < destinations.size(); ++i) {
    if (same_destination(destinations[i - 1], destinations[i])) {
      first_repeat = std::min(first_repeat, destinations[i].position);
    }
  }
  return first_repeat;
}

Result<void> validate_transfers(std::span<const Transfer> transfers) {
  // The first offending transfer in list order decides, a transfer's own check before the
  // comparison with the earlier ones: a repeat decides only when it comes before every invalid
  // transfer.
  const auto invalid = std::find_if(transfers.begin(), transfers.end(), is_invalid);
  const auto valid_prefix = static_cast<std::size_t>(invalid - transfers.begin());
  if (first_repeated_destination(transfers.first(valid_prefix)) < valid_prefix) {
    return CompileError::graph("multiple sends target one tensor region in an epoch");
  }
  if (invalid != transfers.end()) {
    return CompileError::graph("invalid exchange transfer");
  }
  return {};
}

} // namespace orvik_compiler
