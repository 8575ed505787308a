// Renders UI session transcripts readable: channel messages decoded with the
// standard codec instead of hexadecimal. Also used by the whole-program tests
// to decode replies. Portable, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/encodable_value.h"

namespace transcript {

std::optional<std::vector<uint8_t>> FromHex(std::string_view hex);

// A value as compact JSON-like text: strings quoted, maps {k: v}, lists [..].
std::string DescribeValue(const flutter::EncodableValue& value);

// One reply envelope, decoded.
struct Reply {
  enum class Kind { kEmpty, kSuccess, kError, kUndecodable };
  Kind kind = Kind::kUndecodable;
  flutter::EncodableValue value;  // kSuccess: the result; kError: the details
  std::string code;
  std::string message;
};
Reply DecodeReply(const std::vector<uint8_t>& bytes);

// Text for one transcript line: "reply", "send" and "call"-like lines get
// their payload decoded (method call, envelope or event); others are
// returned unchanged.
std::string RenderLine(std::string_view line);

}  // namespace transcript
