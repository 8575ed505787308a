// UI script directive parsing.
#include "stand-ins/flutter_windows/ui_script.h"

#include <charconv>

namespace {

std::vector<std::string_view> SplitWords(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::vector<uint8_t>> ParseHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = HexDigit(hex[i]);
    int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return bytes;
}

std::optional<std::uint32_t> ParseMilliseconds(std::string_view text) {
  std::uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<UiDirective> ParseUiDirective(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
    line.remove_suffix(1);
  }
  std::vector<std::string_view> words = SplitWords(line);
  UiDirective directive;
  if (words.empty() || words[0][0] == '#') return directive;

  if (words[0] == "close" && words.size() == 1) {
    directive.kind = UiDirective::Kind::kClose;
    return directive;
  }
  if (words[0] == "sleep" && words.size() == 2) {
    auto ms = ParseMilliseconds(words[1]);
    if (!ms) return std::nullopt;
    directive.kind = UiDirective::Kind::kSleep;
    directive.milliseconds = *ms;
    return directive;
  }
  if (words[0] == "wait" && words.size() == 3) {
    auto ms = ParseMilliseconds(words[2]);
    if (!ms) return std::nullopt;
    directive.kind = UiDirective::Kind::kWait;
    directive.channel = std::string(words[1]);
    directive.milliseconds = *ms;
    return directive;
  }
  if (words[0] == "call" && (words.size() == 2 || words.size() == 3)) {
    std::optional<std::vector<uint8_t>> payload =
        words.size() == 3 ? ParseHex(words[2]) : std::vector<uint8_t>{};
    if (!payload) return std::nullopt;
    directive.kind = UiDirective::Kind::kCall;
    directive.channel = std::string(words[1]);
    directive.payload = std::move(*payload);
    return directive;
  }
  return std::nullopt;
}

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (uint8_t byte : bytes) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 15]);
  }
  return hex;
}

std::string TranscriptSafe(std::string_view text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 15]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}
