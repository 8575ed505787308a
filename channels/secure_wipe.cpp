// Wiping strings, byte buffers and encodable values. Any thread.
#include "channels/secure_wipe.h"

namespace flutter {

void SecureWipe(void* data, size_t size) {
  volatile unsigned char* byte = static_cast<volatile unsigned char*>(data);
  while (size-- > 0) *byte++ = 0;
}

void WipeString(std::string& text) {
  // Growing to the capacity never reallocates, and makes the whole buffer
  // part of the string, so that all of it may be written.
  text.resize(text.capacity());
  SecureWipe(text.data(), text.size());
  text.clear();
}

void WipeBytes(std::vector<uint8_t>& bytes) {
  bytes.resize(bytes.capacity());
  SecureWipe(bytes.data(), bytes.size());
  bytes.clear();
}

void WipeEncodableValue(EncodableValue& value) {
  if (auto* text = std::get_if<std::string>(&value)) {
    WipeString(*text);
  } else if (auto* bytes = std::get_if<std::vector<uint8_t>>(&value)) {
    WipeBytes(*bytes);
  } else if (auto* list = std::get_if<EncodableList>(&value)) {
    for (EncodableValue& element : *list) WipeEncodableValue(element);
  } else if (auto* map = std::get_if<EncodableMap>(&value)) {
    for (auto& entry : *map) WipeEncodableValue(entry.second);
  }
}

}  // namespace flutter
