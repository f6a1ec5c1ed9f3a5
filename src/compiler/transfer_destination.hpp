#pragma once

// The exchange check's search for a repeated destination: a tensor arriving twice on one tile.

#include "orvik_compiler/schedule.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvik_compiler {

/// The position of the first transfer whose destination tile and tensor an earlier transfer of
/// `transfers` has too, or `transfers.size()` when no two share one. Sorts the destinations with
/// their positions, so that the work is O(n log n) comparisons whatever the keys: no hash whose
/// collisions a chosen list could pile up. `comparisons`, when given, receives their count.
std::size_t first_repeated_destination(std::span<const Transfer> transfers,
                                       std::uint64_t* comparisons = nullptr);

} // namespace orvik_compiler
