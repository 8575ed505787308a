// Byte readers and writers of the standard codec. Every multi-byte number is
// little-endian; alignment counts from the first byte of the message. Any
// thread (one reader or writer per message).
#include "channels/byte_streams.h"

#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>

namespace flutter {

namespace {

void ReportInvalidRead() {
  std::cerr << "Invalid read in StandardCodecByteStreamReader" << std::endl;
}

}  // namespace

ByteStreamReader::~ByteStreamReader() = default;

size_t ByteStreamReader::RemainingBytes() const { return std::numeric_limits<size_t>::max(); }

const uint8_t* ByteStreamReader::BorrowBytes(size_t) { return nullptr; }

uint16_t ByteStreamReader::ReadInt16() {
  uint8_t bytes[2] = {};
  ReadBytes(bytes, sizeof(bytes));
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

int32_t ByteStreamReader::ReadInt32() {
  uint8_t bytes[4] = {};
  ReadBytes(bytes, sizeof(bytes));
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[i];
  return static_cast<int32_t>(value);
}

int64_t ByteStreamReader::ReadInt64() {
  uint8_t bytes[8] = {};
  ReadBytes(bytes, sizeof(bytes));
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return static_cast<int64_t>(value);
}

double ByteStreamReader::ReadDouble() {
  const uint64_t bits = static_cast<uint64_t>(ReadInt64());
  double value;
  static_assert(sizeof(value) == sizeof(bits));
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

ByteStreamWriter::~ByteStreamWriter() = default;

void ByteStreamWriter::WriteInt16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  WriteBytes(bytes, sizeof(bytes));
}

void ByteStreamWriter::WriteInt32(int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
  WriteBytes(bytes, sizeof(bytes));
}

void ByteStreamWriter::WriteInt64(int64_t value) {
  const uint64_t bits = static_cast<uint64_t>(value);
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
  WriteBytes(bytes, sizeof(bytes));
}

void ByteStreamWriter::WriteDouble(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  WriteInt64(static_cast<int64_t>(bits));
}

uint8_t ByteBufferStreamReader::ReadByte() {
  if (location_ >= size_) {
    ReportInvalidRead();
    return 0;
  }
  return bytes_[location_++];
}

void ByteBufferStreamReader::ReadBytes(uint8_t* buffer, size_t length) {
  if (length > RemainingBytes()) {
    ReportInvalidRead();
    return;
  }
  if (length == 0) return;
  std::memcpy(buffer, bytes_ + location_, length);
  location_ += length;
}

void ByteBufferStreamReader::ReadAlignment(uint8_t alignment) {
  if (alignment == 0) return;
  const size_t mod = location_ % alignment;
  if (mod != 0) location_ += alignment - mod;
}

const uint8_t* ByteBufferStreamReader::BorrowBytes(size_t length) {
  if (length == 0 || length > RemainingBytes()) return nullptr;
  const uint8_t* run = bytes_ + location_;
  location_ += length;
  return run;
}

size_t ByteBufferStreamReader::RemainingBytes() const {
  return location_ >= size_ ? 0 : size_ - location_;
}

void ByteBufferStreamWriter::WriteByte(uint8_t byte) { bytes_->push_back(byte); }

void ByteBufferStreamWriter::WriteBytes(const uint8_t* bytes, size_t length) {
  if (length == 0) return;
  bytes_->insert(bytes_->end(), bytes, bytes + length);
}

void ByteBufferStreamWriter::WriteAlignment(uint8_t alignment) {
  if (alignment == 0) return;
  const size_t mod = bytes_->size() % alignment;
  if (mod != 0) bytes_->insert(bytes_->end(), alignment - mod, 0);
}

}  // namespace flutter
