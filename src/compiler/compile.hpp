#pragma once

// The compile driver's own rules, which the schedule verifier checks again: the option check
// and the peak table.

#include "orvik_compiler/compiler.hpp"

#include <cstdint>
#include <map>
#include <span>

namespace orvik_compiler {

/// "invalid compiler options" for a tile count of 0 or an empty data window.
Result<void> check_options(const CompilerOptions& options);

/// The highest block end above `data_base` of every tile that holds a block, each computed in
/// 32 bits; tiles without blocks have no entry. Linear in the allocations and the highest tile.
std::map<std::uint16_t, std::uint32_t> peak_per_tile(std::span<const Allocation> allocations,
                                                     const CompilerOptions& options);

} // namespace orvik_compiler
