// Operator new and delete that count and watch (allocation_watch.h).
#include "support/allocation_watch.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace {

std::size_t cap = 0, counted = 0, watchedSize = 0;
const void* watched = nullptr;
allocation_watch::Freed state = allocation_watch::Freed::kNotYet;
// Called through a pointer, so that the compiler does not pair an inlined
// delete with the new expression it came from and warn.
void (*volatile release)(void*) = &std::free;

}  // namespace

void allocation_watch::SetCap(std::size_t bytes) { cap = bytes, counted = 0; }
void allocation_watch::Watch(const void* block, std::size_t size) {
  watched = block, watchedSize = size, state = Freed::kNotYet;
}
allocation_watch::Freed allocation_watch::Watched() { return state; }

void* operator new(std::size_t size) {
  if (cap != 0 && size > cap - std::min(counted, cap)) throw std::bad_alloc();
  counted += size;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  if (memory != nullptr && memory == watched) {
    const auto* bytes = static_cast<const unsigned char*>(memory);
    state = std::all_of(bytes, bytes + watchedSize, [](unsigned char b) { return b == 0; })
                ? allocation_watch::Freed::kZeroed
                : allocation_watch::Freed::kNotZeroed;
    watched = nullptr;
  }
  release(memory);
}
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }
