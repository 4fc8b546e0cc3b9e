// Replaces the program's global operator new and delete, to count heap bytes and to make a
// chosen allocation fail. Replacements are definitions of the whole program, so include this in
// exactly one source file of a test or benchmark executable.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace marlune::test_support {

// Heap bytes in use (as the allocator counts them, padding included) and the most in use at
// once since the last reset of `peak_heap_bytes`.
inline std::size_t live_heap_bytes = 0;
inline std::size_t peak_heap_bytes = 0;

// When armed (>= 0), the allocation that many allocations from now throws std::bad_alloc.
inline long allocations_before_failure = -1;

}  // namespace marlune::test_support

void* operator new(std::size_t size) {
  namespace ts = marlune::test_support;
  if (ts::allocations_before_failure >= 0 && ts::allocations_before_failure-- == 0) {
    throw std::bad_alloc();
  }
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  ts::live_heap_bytes += malloc_usable_size(p);
  ts::peak_heap_bytes = std::max(ts::peak_heap_bytes, ts::live_heap_bytes);
  return p;
}

// Kept out of line: the compiler would otherwise see free() applied to the result of a `new`
// expression once a delete is inlined, and warn.
[[gnu::noinline]] static void release_allocation(void* p) noexcept {
  if (p == nullptr) return;
  marlune::test_support::live_heap_bytes -= malloc_usable_size(p);
  std::free(p);
}

void operator delete(void* p) noexcept {
  release_allocation(p);
}

void operator delete(void* p, std::size_t) noexcept {
  release_allocation(p);
}
