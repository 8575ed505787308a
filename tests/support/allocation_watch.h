// Operator new and delete of the test program it is linked into
// (allocation_watch.cpp). One thread at a time.
#pragma once

#include <cstddef>

namespace allocation_watch {

// While not 0, operator new refuses (bad_alloc) what takes the bytes counted
// since past `cap`.
void SetCap(std::size_t cap);
// Notes whether the first `size` bytes of `block` are zero when it is freed.
void Watch(const void* block, std::size_t size);
enum class Freed { kNotYet, kZeroed, kNotZeroed };
Freed Watched();

}  // namespace allocation_watch
