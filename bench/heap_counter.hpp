#pragma once

// Heap accounting for the benchmark: this executable replaces the global operator new and
// delete with versions that count the bytes in use and their high-water mark.

#include <cstddef>

namespace orvik_compiler::bench {

/// The heap as the replaced operators see it, in usable bytes of the blocks handed out.
struct HeapUsage {
  std::size_t in_use = 0;
  /// The most bytes in use at one time since the last `reset_heap_peak`.
  std::size_t peak = 0;
};

HeapUsage heap_usage();

/// Starts a new high-water mark at the bytes in use now.
void reset_heap_peak();

} // namespace orvik_compiler::bench
