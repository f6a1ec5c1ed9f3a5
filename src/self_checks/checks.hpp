#pragma once

// The self-checks of the library's main promises. Each check passes by returning and fails by
// throwing CheckFailure with its failure text.

#include <stdexcept>
#include <string>

namespace orvik_compiler::tests {

/// A failed assertion of a check, carrying the check's failure text.
class CheckFailure : public std::runtime_error {
public:
  explicit CheckFailure(const std::string& text) : std::runtime_error(text) {}
};

/// The encoder graph compiles twice to equal schedules of at least one phase per operation
/// whose every tile peak stays below the default data window.
void encoder_graph_compiles_deterministically();

/// The host reference of a small encoder layer is repeatable, finite, and sums to its known
/// value.
void encoder_reference_is_finite_and_repeatable();

/// No two allocations on one tile with overlapping lifetimes share a byte.
void live_allocations_do_not_overlap();

} // namespace orvik_compiler::tests
