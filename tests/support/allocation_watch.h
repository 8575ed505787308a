// Replaces the global operator new and delete of the test program it is
// linked into (allocation_watch.cpp), to see what the code under test asks
// of the heap and what it leaves in memory it gives back. One thread at a
// time.
#pragma once

#include <cstddef>

namespace allocation_watch {

// While not 0, operator new on this thread refuses (std::bad_alloc) a
// request that would take the bytes counted since past the cap; 0 stops.
void SetCap(std::size_t cap);

// When `block` is next freed, whether its first `size` bytes were all zero is
// recorded; anything watched before is forgotten.
void Watch(const void* block, std::size_t size);

enum class Freed { kNotYet, kZeroed, kNotZeroed };
Freed Watched();

}  // namespace allocation_watch
