// Operator new and delete that count and watch (allocation_watch.h).
#include "support/allocation_watch.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::size_t cap = 0, counted = 0, watchedSize = 0;
const void* watched = nullptr;
allocation_watch::Freed state = allocation_watch::Freed::kNotYet;
// Every block carries its size in a header of its own, so that a freed block
// can be searched whole.
constexpr std::size_t kHeader = 16;
char sought[64];
std::size_t soughtSize = 0, holding = 0;
// Called through a pointer, so that the compiler does not pair an inlined
// delete with the new expression it came from and warn.
void (*volatile release)(void*) = &std::free;

}  // namespace

void allocation_watch::SetCap(std::size_t bytes) { cap = bytes, counted = 0; }
void allocation_watch::Watch(const void* block, std::size_t size) {
  watched = block, watchedSize = size, state = Freed::kNotYet;
}
allocation_watch::Freed allocation_watch::Watched() { return state; }
void allocation_watch::SeekInFreed(std::string_view secret) {
  soughtSize = std::min(secret.size(), sizeof sought);
  // An empty view may have no data at all, which memcpy may not be given.
  if (soughtSize != 0) std::memcpy(sought, secret.data(), soughtSize);
  holding = 0;
}
std::size_t allocation_watch::FreedHolding() { return holding; }

void* operator new(std::size_t size) {
  if (cap != 0 && size > cap - std::min(counted, cap)) throw std::bad_alloc();
  counted += size;
  if (auto* memory = static_cast<unsigned char*>(std::malloc(kHeader + (size == 0 ? 1 : size)))) {
    std::memcpy(memory, &size, sizeof size);
    return memory + kHeader;
  }
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
  if (memory == nullptr) return;
  unsigned char* block = static_cast<unsigned char*>(memory) - kHeader;
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof size);
  const auto* bytes = static_cast<const unsigned char*>(memory);
  if (soughtSize != 0 &&
      std::search(bytes, bytes + size, sought, sought + soughtSize) != bytes + size) {
    ++holding;
  }
  release(block);
}
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }
