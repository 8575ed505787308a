// Operator new and delete of the test program it is linked into
// (allocation_watch.cpp). One thread at a time.
#pragma once

#include <cstddef>
#include <string_view>

namespace allocation_watch {

// While not 0, operator new refuses (bad_alloc) what takes the bytes counted
// since past `cap`.
void SetCap(std::size_t cap);
// Notes whether the first `size` bytes of `block` are zero when it is freed.
void Watch(const void* block, std::size_t size);
enum class Freed { kNotYet, kZeroed, kNotZeroed };
Freed Watched();

// From now on, counts the blocks that are freed still holding `secret` (at
// most 64 bytes; empty stops counting). The count since the last call.
void SeekInFreed(std::string_view secret);
std::size_t FreedHolding();

}  // namespace allocation_watch
