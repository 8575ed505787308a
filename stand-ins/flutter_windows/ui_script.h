// Parsing of the UI script's directives (one a line). Plain functions, any
// thread. Never part of the product.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct UiDirective {
  enum class Kind { kSkip, kCall, kWait, kSleep, kClose };
  Kind kind = Kind::kSkip;
  std::string channel;
  std::vector<uint8_t> payload;  // kCall
  std::uint32_t milliseconds = 0;  // kWait, kSleep
};

// Blank lines and lines starting with '#' give kSkip; a line that is not a
// directive gives nullopt.
std::optional<UiDirective> ParseUiDirective(std::string_view line);

// Lower-case hexadecimal of bytes.
std::string ToHex(const std::vector<uint8_t>& bytes);

// Text safe for one transcript line: control bytes become "\xNN".
std::string TranscriptSafe(std::string_view text);
