#pragma once

// A block that the planner has placed in one tile group's memory.

#include <cstdint>

namespace orvik_compiler {

/// One placed block: bytes [start, end) of the group's memory, live from phase `live_from` to
/// phase `live_until`, both included.
struct PlacedBlock {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;
};

} // namespace orvik_compiler
