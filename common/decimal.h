// Reading a number given on a command line. Portable; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The value of `text` when it is digits only, not zero and at most `limit`;
// nothing otherwise (a sign, spaces, hex, an empty text, an overflow).
inline std::optional<std::uint64_t> PositiveDecimal(std::wstring_view text, std::uint64_t limit) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - L'0');
    if (value > (limit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (value == 0) return std::nullopt;
  return value;
}
