// Encoding and strict decoding of the service pipe's messages.
#include "protocol/broker_protocol.h"

#include <utility>
#include <variant>

#include "channels/byte_streams.h"
#include "channels/encodable_value.h"
#include "channels/secure_wipe.h"
#include "channels/standard_codec.h"

namespace tovix::broker {

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;

constexpr std::size_t kFields = 11;
constexpr std::int32_t kFirstKind = static_cast<std::int32_t>(Kind::Hello);
constexpr std::int32_t kLastKind = static_cast<std::int32_t>(Kind::Cleanup);

// Small values travel as 32-bit integers and large ones as 64-bit: either is
// taken where a number is expected.
std::optional<std::int64_t> Integer(const EncodableValue& value) {
  if (const auto* small = std::get_if<std::int32_t>(&value)) return *small;
  if (const auto* large = std::get_if<std::int64_t>(&value)) return *large;
  return std::nullopt;
}

const std::string* Text(const EncodableValue& value, std::size_t limit) {
  const auto* text = std::get_if<std::string>(&value);
  return text != nullptr && text->size() <= limit ? text : nullptr;
}

// The codec's values of a message hold copies of its text (the VPN
// configuration, on its way to the privileged side): each is wiped before
// its memory goes back, however the coding ends.
struct WipedOnExit {
  EncodableValue& value;
  ~WipedOnExit() { flutter::WipeEncodableValue(value); }
};

// At least the bytes the standard codec makes of `message`, so that the
// encoded bytes are written into one buffer and no grown-out-of copy of them
// is freed unwiped: a size up to 5 bytes and a type byte per value, 8 bytes
// per number, and alignment.
std::size_t EncodedBound(const Message& message) {
  std::size_t bound = 256 + message.text.size();
  for (const LogLine& line : message.lines) bound += 32 + line.tag.size() + line.text.size();
  return bound;
}

}  // namespace

std::vector<std::uint8_t> EncodeMessage(const Message& message) {
  EncodableList lines;
  lines.reserve(message.lines.size() * 2);
  for (const LogLine& line : message.lines) {
    lines.emplace_back(line.tag);
    lines.emplace_back(line.text);
  }
  // Built in place (an initializer list would copy each value, the text too,
  // into a temporary that is freed unwiped).
  EncodableValue value{EncodableList{}};
  const WipedOnExit wiped{value};
  EncodableList& fields = std::get<EncodableList>(value);
  fields.reserve(kFields);
  fields.emplace_back(message.id);
  fields.emplace_back(static_cast<std::int32_t>(message.kind));
  fields.emplace_back(message.reply);
  fields.emplace_back(message.ok);
  fields.emplace_back(message.flag);
  fields.emplace_back(static_cast<std::int64_t>(message.core));
  fields.emplace_back(static_cast<std::int64_t>(message.pid));
  fields.emplace_back(static_cast<std::int64_t>(message.process));
  fields.emplace_back(static_cast<std::int64_t>(message.output));
  fields.emplace_back(message.text);
  fields.emplace_back(std::move(lines));
  std::vector<std::uint8_t> bytes;
  bytes.reserve(EncodedBound(message));
  flutter::ByteBufferStreamWriter writer(&bytes);
  flutter::StandardCodecSerializer::GetInstance().WriteValue(value, &writer);
  return bytes;
}

std::optional<Message> DecodeMessage(const std::uint8_t* bytes, std::size_t size) {
  if (bytes == nullptr || size == 0 || size > kMaxMessageBytes) return std::nullopt;
  flutter::ByteBufferStreamReader reader(bytes, size);
  EncodableValue value = flutter::StandardCodecSerializer::GetInstance().ReadValue(&reader);
  const WipedOnExit wiped{value};
  // A read past the end yields a value all the same: only a value that used
  // exactly the message's bytes is one.
  if (reader.position() != size) return std::nullopt;
  const auto* fields = std::get_if<EncodableList>(&value);
  if (fields == nullptr || fields->size() != kFields) return std::nullopt;
  const EncodableList& f = *fields;

  Message message;
  const auto id = Integer(f[0]);
  const auto kind = Integer(f[1]);
  const auto* reply = std::get_if<bool>(&f[2]);
  const auto* ok = std::get_if<bool>(&f[3]);
  const auto* flag = std::get_if<bool>(&f[4]);
  const auto core = Integer(f[5]);
  const auto pid = Integer(f[6]);
  const auto process = Integer(f[7]);
  const auto output = Integer(f[8]);
  const std::string* text = Text(f[9], kMaxMessageBytes);
  const auto* lines = std::get_if<EncodableList>(&f[10]);
  if (!id || !kind || !reply || !ok || !flag || !core || !pid || !process || !output || !text ||
      !lines) {
    return std::nullopt;
  }
  if (*kind < kFirstKind || *kind > kLastKind || *core < 0 || *pid < 0 || *pid > 0xFFFFFFFFLL ||
      *process < 0 || *output < 0) {
    return std::nullopt;
  }
  if (lines->size() % 2 != 0 || lines->size() / 2 > kMaxLines) return std::nullopt;
  message.id = *id;
  message.kind = static_cast<Kind>(*kind);
  message.reply = *reply;
  message.ok = *ok;
  message.flag = *flag;
  message.core = static_cast<std::uint64_t>(*core);
  message.pid = static_cast<std::uint32_t>(*pid);
  message.process = static_cast<std::uint64_t>(*process);
  message.output = static_cast<std::uint64_t>(*output);
  message.text = *text;
  message.lines.reserve(lines->size() / 2);
  for (std::size_t i = 0; i < lines->size(); i += 2) {
    const std::string* tag = Text((*lines)[i], kMaxLineBytes);
    const std::string* line = Text((*lines)[i + 1], kMaxLineBytes);
    if (tag == nullptr || line == nullptr) return std::nullopt;
    message.lines.push_back(LogLine{*tag, *line});
  }
  return message;
}

}  // namespace tovix::broker
