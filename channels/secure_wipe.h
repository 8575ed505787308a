// Overwriting what may hold the user's secrets (the VPN configuration, the
// settings document) before its memory goes back to the heap, where a crash
// dump would find it. Portable; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "channels/encodable_value.h"

namespace flutter {

// Zeroes `size` bytes through volatile stores, which the compiler may not
// drop as dead (what SecureZeroMemory does on Windows).
void SecureWipe(void* data, size_t size);

// Zeroes the whole buffer (its capacity, not only its size) and empties it;
// the buffer itself is kept until its owner frees it.
void WipeString(std::string& text);
void WipeBytes(std::vector<uint8_t>& bytes);

// Wipes every string and byte list in the value, inside lists and map values
// too. Map keys are left: a map cannot change its keys in place.
void WipeEncodableValue(EncodableValue& value);

}  // namespace flutter
