// The byte sources and sinks the standard codec runs on: abstract readers and
// writers and their buffer implementations. Created per message on the stack
// of the operation that needs them; not shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flutter {

class ByteStreamReader {
 public:
  ByteStreamReader() = default;
  virtual ~ByteStreamReader();

  // Past the end: a diagnostic line and 0.
  virtual uint8_t ReadByte() = 0;
  // Past the end: a diagnostic line, nothing copied, position unchanged.
  virtual void ReadBytes(uint8_t* buffer, size_t length) = 0;
  // Advances to the next multiple of alignment (counted from the start);
  // checks nothing.
  virtual void ReadAlignment(uint8_t alignment) = 0;
  // How many bytes can still be read, so that a size announced in the stream
  // can be checked before anything is allocated for it. Readers that cannot
  // tell answer SIZE_MAX.
  virtual size_t RemainingBytes() const;
  // The next `length` bytes in place, skipped over; null (nothing read) when
  // they are not all there or the reader cannot lend them. Lets a string or
  // byte list be built with a single copy.
  virtual const uint8_t* BorrowBytes(size_t length);

  uint16_t ReadInt16();
  int32_t ReadInt32();
  int64_t ReadInt64();
  double ReadDouble();
};

class ByteStreamWriter {
 public:
  ByteStreamWriter() = default;
  virtual ~ByteStreamWriter();

  virtual void WriteByte(uint8_t byte) = 0;
  virtual void WriteBytes(const uint8_t* bytes, size_t length) = 0;
  // Pads with zero bytes to a multiple of alignment (counted from the start).
  virtual void WriteAlignment(uint8_t alignment) = 0;

  void WriteInt16(uint16_t value);
  void WriteInt32(int32_t value);
  void WriteInt64(int64_t value);
  void WriteDouble(double value);
};

// Reads a buffer it does not own; the position starts at 0.
class ByteBufferStreamReader : public ByteStreamReader {
 public:
  ByteBufferStreamReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

  uint8_t ReadByte() override;
  void ReadBytes(uint8_t* buffer, size_t length) override;
  void ReadAlignment(uint8_t alignment) override;
  size_t RemainingBytes() const override;
  const uint8_t* BorrowBytes(size_t length) override;

  size_t position() const { return location_; }

 private:
  const uint8_t* bytes_;
  size_t size_;
  size_t location_ = 0;
};

// Appends to a vector the caller owns.
class ByteBufferStreamWriter : public ByteStreamWriter {
 public:
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : bytes_(buffer) {}

  void WriteByte(uint8_t byte) override;
  void WriteBytes(const uint8_t* bytes, size_t length) override;
  void WriteAlignment(uint8_t alignment) override;

 private:
  std::vector<uint8_t>* bytes_;
};

}  // namespace flutter
