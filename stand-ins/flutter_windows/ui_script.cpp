// UI script directive parsing.
#include "stand-ins/flutter_windows/ui_script.h"

#include <charconv>

#include "stand-ins/flutter_windows/session_hex.h"

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
        words.size() == 3 ? session_hex::Parse(words[2]) : std::vector<uint8_t>{};
    if (!payload) return std::nullopt;
    directive.kind = UiDirective::Kind::kCall;
    directive.channel = std::string(words[1]);
    directive.payload = std::move(*payload);
    return directive;
  }
  return std::nullopt;
}

std::string ToHex(const std::vector<uint8_t>& bytes) { return session_hex::Format(bytes); }

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
