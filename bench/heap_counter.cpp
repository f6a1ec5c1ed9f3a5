// The counting operator new and delete. The benchmarks run on one thread, so plain counters do.

#include "heap_counter.hpp"

#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace orvik_compiler::bench {
namespace {

HeapUsage usage;

void* allocate(std::size_t size) {
  void* block = std::malloc(std::max<std::size_t>(size, 1));
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  usage.in_use += malloc_usable_size(block);
  usage.peak = std::max(usage.peak, usage.in_use);
  return block;
}

void release(void* block) noexcept {
  if (block == nullptr) {
    return;
  }
  usage.in_use -= malloc_usable_size(block);
  std::free(block);
}

} // namespace

HeapUsage heap_usage() {
  return usage;
}

void reset_heap_peak() {
  usage.peak = usage.in_use;
}

} // namespace orvik_compiler::bench

// Every replaceable form but the aligned ones, which pair among themselves: a form left to the
// runtime may come from another allocator than `release`'s (a sanitizer's, say).
void* operator new(std::size_t size) {
  return orvik_compiler::bench::allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return orvik_compiler::bench::allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return operator new(size, nothrow);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  orvik_compiler::bench::release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  orvik_compiler::bench::release(block);
}
void* operator new[](std::size_t size) {
  return orvik_compiler::bench::allocate(size);
}
void operator delete(void* block) noexcept {
  orvik_compiler::bench::release(block);
}
void operator delete[](void* block) noexcept {
  orvik_compiler::bench::release(block);
}
void operator delete(void* block, std::size_t) noexcept {
  orvik_compiler::bench::release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  orvik_compiler::bench::release(block);
}
