// The global operator new and delete of a test program that watches its
// allocations (see allocation_watch.h).
#include "support/allocation_watch.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t cap = 0;
thread_local std::size_t counted = 0;
const void* watchedBlock = nullptr;
std::size_t watchedSize = 0;
allocation_watch::Freed watchedState = allocation_watch::Freed::kNotYet;

// Called through pointers the compiler cannot see into, so that it does not
// pair an inlined delete with the new expression it came from.
void* (*volatile acquire)(std::size_t) = &std::malloc;
void (*volatile release)(void*) = &std::free;

void Release(void* memory) noexcept {
  if (memory != nullptr && memory == watchedBlock) {
    const auto* bytes = static_cast<const unsigned char*>(memory);
    watchedState = std::all_of(bytes, bytes + watchedSize, [](unsigned char b) { return b == 0; })
                       ? allocation_watch::Freed::kZeroed
                       : allocation_watch::Freed::kNotZeroed;
    watchedBlock = nullptr;
  }
  release(memory);
}

}  // namespace

namespace allocation_watch {

void SetCap(std::size_t bytes) {
  cap = bytes;
  counted = 0;
}

void Watch(const void* block, std::size_t size) {
  watchedBlock = block;
  watchedSize = size;
  watchedState = Freed::kNotYet;
}

Freed Watched() { return watchedState; }

}  // namespace allocation_watch

void* operator new(std::size_t size) {
  if (cap != 0) {
    if (size > cap - std::min(counted, cap)) throw std::bad_alloc();
    counted += size;
  }
  if (void* memory = acquire(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { Release(memory); }
void operator delete(void* memory, std::size_t) noexcept { Release(memory); }
