// StandardCodecSerializer: EncodableValue to the standard codec's bytes and
// back. Immutable; any thread.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <utility>

#include "channels/standard_codec.h"

namespace flutter {

namespace {

static_assert(std::endian::native == std::endian::little,
              "typed lists are copied as raw little-endian bytes");

enum Tag : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,  // read as a string
  kFloat64 = 6,
  kString = 7,
  kUInt8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

// Depth of lists and maps being read on this thread.
thread_local int readNestingDepth = 0;

class NestingScope {
 public:
  NestingScope() { ++readNestingDepth; }
  ~NestingScope() { --readNestingDepth; }
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;
};

// How many list elements may still be reserved ahead of reading them, while
// a message is being read on this thread. Every element of every list takes
// at least its own tag byte, so a well-formed message never announces more
// elements in all its lists together than it has bytes: the budget starts at
// the bytes left when the outermost list or map begins, and each list takes
// its reservation out of it. A list announcing more than is left reserves
// what is left and grows as its elements really arrive. Without the budget,
// every level of a nested hostile message could reserve its own announced
// count against the same remaining bytes: gigabytes from a 1 MiB message.
thread_local size_t reservableElements = 0;

// Whether `count` items of at least `width` bytes each can still be in the
// stream. A size the message cannot hold is refused before anything is
// allocated for it, with the invalid-read line.
bool StreamCanHold(const ByteStreamReader* stream, size_t count, size_t width) {
  if (count <= stream->RemainingBytes() / width) return true;
  std::cerr << "Invalid read in StandardCodecByteStreamReader" << std::endl;
  return false;
}

// Whether a list or map must stop early because the message has ended. Its
// remaining elements would all read as null, each with a diagnostic line, and
// nested containers would repeat that at every level: a short hostile message
// could make millions of values and lines. The container ends where the
// message ends instead, with one line.
bool StreamExhausted(const ByteStreamReader* stream) {
  if (stream->RemainingBytes() != 0) return false;
  std::cerr << "Invalid read in StandardCodecByteStreamReader" << std::endl;
  return true;
}

template <typename T>
EncodableValue ReadTypedList(size_t count, ByteStreamReader* stream) {
  if (sizeof(T) > 1) stream->ReadAlignment(sizeof(T));
  if (!StreamCanHold(stream, count, sizeof(T))) return EncodableValue(std::vector<T>());
  if constexpr (sizeof(T) == 1) {
    if (const uint8_t* run = stream->BorrowBytes(count)) {
      return EncodableValue(std::vector<T>(run, run + count));
    }
  }
  std::vector<T> list(count);
  stream->ReadBytes(reinterpret_cast<uint8_t*>(list.data()), count * sizeof(T));
  return EncodableValue(std::move(list));
}

template <typename T>
void WriteTypedList(const std::vector<T>& list, ByteStreamWriter* stream) {
  if (list.empty()) return;  // no padding for an empty list
  if (sizeof(T) > 1) stream->WriteAlignment(sizeof(T));
  stream->WriteBytes(reinterpret_cast<const uint8_t*>(list.data()), list.size() * sizeof(T));
}

}  // namespace

StandardCodecSerializer::StandardCodecSerializer() = default;
StandardCodecSerializer::~StandardCodecSerializer() = default;

const StandardCodecSerializer& StandardCodecSerializer::GetInstance() {
  // Never destroyed: codecs and channels may use it until the process ends.
  static const StandardCodecSerializer* const instance = new StandardCodecSerializer();
  return *instance;
}

EncodableValue StandardCodecSerializer::ReadValue(ByteStreamReader* stream) const {
  const uint8_t type = stream->ReadByte();
  return ReadValueOfType(type, stream);
}

size_t StandardCodecSerializer::ReadSize(ByteStreamReader* stream) const {
  const uint8_t byte = stream->ReadByte();
  if (byte < 254) return byte;
  if (byte == 254) return stream->ReadInt16();
  return static_cast<uint32_t>(stream->ReadInt32());
}

void StandardCodecSerializer::WriteSize(size_t size, ByteStreamWriter* stream) const {
  if (size < 254) {
    stream->WriteByte(static_cast<uint8_t>(size));
  } else if (size <= 0xffff) {
    stream->WriteByte(254);
    stream->WriteInt16(static_cast<uint16_t>(size));
  } else {
    // Sizes are limited to 32 bits by the format.
    stream->WriteByte(255);
    stream->WriteInt32(static_cast<int32_t>(static_cast<uint32_t>(size)));
  }
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  switch (type) {
    case kNull:
      return EncodableValue();
    case kTrue:
      return EncodableValue(true);
    case kFalse:
      return EncodableValue(false);
    case kInt32:
      return EncodableValue(stream->ReadInt32());
    case kInt64:
      return EncodableValue(stream->ReadInt64());
    case kFloat64:
      stream->ReadAlignment(8);
      return EncodableValue(stream->ReadDouble());
    case kLargeInt:
    case kString: {
      const size_t size = ReadSize(stream);
      if (!StreamCanHold(stream, size, 1)) return EncodableValue(std::string());
      if (const uint8_t* run = stream->BorrowBytes(size)) {
        return EncodableValue(std::string(reinterpret_cast<const char*>(run), size));
      }
      std::string string(size, '\0');
      stream->ReadBytes(reinterpret_cast<uint8_t*>(string.data()), size);
      return EncodableValue(std::move(string));
    }
    case kUInt8List:
      return ReadTypedList<uint8_t>(ReadSize(stream), stream);
    case kInt32List:
      return ReadTypedList<int32_t>(ReadSize(stream), stream);
    case kInt64List:
      return ReadTypedList<int64_t>(ReadSize(stream), stream);
    case kFloat64List:
      return ReadTypedList<double>(ReadSize(stream), stream);
    case kFloat32List:
      return ReadTypedList<float>(ReadSize(stream), stream);
    case kList:
    case kMap: {
      if (readNestingDepth >= kMaxNestingDepth) {
        std::cerr << "Nesting too deep in StandardCodecSerializer::ReadValueOfType: more than "
                  << kMaxNestingDepth << " levels" << std::endl;
        return EncodableValue();
      }
      const bool outermost = readNestingDepth == 0;
      NestingScope scope;
      const size_t count = ReadSize(stream);
      if (outermost) {
        // A reader that cannot tell what is left gets no reservations at all.
        const size_t left = stream->RemainingBytes();
        reservableElements = left == SIZE_MAX ? 0 : left;
      }
      if (type == kList) {
        // Every element takes at least its tag byte.
        if (!StreamCanHold(stream, count, 1)) return EncodableValue(EncodableList());
        EncodableList list;
        const size_t reserved = std::min(count, reservableElements);
        reservableElements -= reserved;
        list.reserve(reserved);
        for (size_t i = 0; i < count; ++i) {
          if (StreamExhausted(stream)) break;
          list.push_back(ReadValue(stream));
        }
        return EncodableValue(std::move(list));
      }
      // Every entry takes at least a key tag and a value tag.
      if (!StreamCanHold(stream, count, 2)) return EncodableValue(EncodableMap());
      EncodableMap map;
      for (size_t i = 0; i < count; ++i) {
        if (StreamExhausted(stream)) break;
        EncodableValue key = ReadValue(stream);
        EncodableValue value = ReadValue(stream);
        map.emplace(std::move(key), std::move(value));  // a repeated key keeps the first entry
      }
      return EncodableValue(std::move(map));
    }
    default:
      std::cerr << "Unknown type in StandardCodecSerializer::ReadValueOfType: "
                << static_cast<int>(type) << std::endl;
      return EncodableValue();
  }
}

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
  switch (value.index()) {
    case 0:
      stream->WriteByte(kNull);
      return;
    case 1:
      stream->WriteByte(std::get<bool>(value) ? kTrue : kFalse);
      return;
    case 2:
      stream->WriteByte(kInt32);
      stream->WriteInt32(std::get<int32_t>(value));
      return;
    case 3:
      stream->WriteByte(kInt64);
      stream->WriteInt64(std::get<int64_t>(value));
      return;
    case 4:
      stream->WriteByte(kFloat64);
      stream->WriteAlignment(8);
      stream->WriteDouble(std::get<double>(value));
      return;
    case 5: {
      const auto& string = std::get<std::string>(value);
      stream->WriteByte(kString);
      WriteSize(string.size(), stream);
      stream->WriteBytes(reinterpret_cast<const uint8_t*>(string.data()), string.size());
      return;
    }
    case 6: {
      const auto& list = std::get<std::vector<uint8_t>>(value);
      stream->WriteByte(kUInt8List);
      WriteSize(list.size(), stream);
      WriteTypedList(list, stream);
      return;
    }
    case 7: {
      const auto& list = std::get<std::vector<int32_t>>(value);
      stream->WriteByte(kInt32List);
      WriteSize(list.size(), stream);
      WriteTypedList(list, stream);
      return;
    }
    case 8: {
      const auto& list = std::get<std::vector<int64_t>>(value);
      stream->WriteByte(kInt64List);
      WriteSize(list.size(), stream);
      WriteTypedList(list, stream);
      return;
    }
    case 9: {
      const auto& list = std::get<std::vector<double>>(value);
      stream->WriteByte(kFloat64List);
      WriteSize(list.size(), stream);
      WriteTypedList(list, stream);
      return;
    }
    case 10: {
      const auto& list = std::get<EncodableList>(value);
      stream->WriteByte(kList);
      WriteSize(list.size(), stream);
      for (const EncodableValue& element : list) WriteValue(element, stream);
      return;
    }
    case 11: {
      const auto& map = std::get<EncodableMap>(value);
      stream->WriteByte(kMap);
      WriteSize(map.size(), stream);
      for (const auto& [key, entry] : map) {
        WriteValue(key, stream);
        WriteValue(entry, stream);
      }
      return;
    }
    case 12:
      stream->WriteByte(kNull);
      std::cerr << "Unhandled custom type in StandardCodecSerializer::WriteValue. "
                << "Custom types require codec extensions." << std::endl;
      return;
    case 13: {
      const auto& list = std::get<std::vector<float>>(value);
      stream->WriteByte(kFloat32List);
      WriteSize(list.size(), stream);
      WriteTypedList(list, stream);
      return;
    }
    default:
      return;
  }
}

}  // namespace flutter
