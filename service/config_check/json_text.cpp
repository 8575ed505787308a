// The token reader of the configuration check. Any thread.
#include "service/config_check/json_text.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

// The upper-case ASCII letters, by byte: one load in the loop over a name's
// bytes, rather than a compare.
constexpr auto kUpper = [] {
  std::array<unsigned char, 256> upper{};
  for (int c = 'A'; c <= 'Z'; ++c) upper[c] = 1;
  return upper;
}();

// A well-formed UTF-8 sequence at text[at] (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF): its length, or 0.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[at + i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Four hexadecimal digits at text[at], already checked.
unsigned Hex4(std::string_view text, std::size_t at) {
  unsigned value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    value = (value << 4) | static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  return value;
}

// The text of a string that ReadString accepted, its escapes undone.
void Unescape(std::string_view raw, std::string& out) {
  static constexpr std::string_view kEscaped = "\"\\/bfnrt";
  static constexpr std::string_view kPlain = "\"\\/\b\f\n\r\t";
  out.clear();
  for (std::size_t i = 0; i < raw.size();) {
    const std::size_t slash = std::min(raw.find('\\', i), raw.size());
    out.append(raw.substr(i, slash - i));
    if (slash == raw.size()) break;
    const char escape = raw[slash + 1];
    if (escape != 'u') {
      out += kPlain[kEscaped.find(escape)];
      i = slash + 2;
      continue;
    }
    std::uint32_t code = Hex4(raw, slash + 2);
    i = slash + 6;
    if (code >= 0xD800 && code <= 0xDBFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (Hex4(raw, i + 2) - 0xDC00);
      i += 6;
    }
    AppendUtf8(out, code);
  }
}

}  // namespace

bool JsonText::ReadWord(std::string_view word) {
  if (text_.substr(pos_, word.size()) != word) return false;
  pos_ += word.size();
  return true;
}

bool JsonText::ReadDigits() {
  const std::size_t start = pos_;
  while (!AtEnd() && Peek() >= '0' && Peek() <= '9') ++pos_;
  return pos_ > start;
}

// -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?
bool JsonText::ReadNumber() {
  if (!AtEnd() && Peek() == '-') ++pos_;
  if (AtEnd()) return false;
  if (Peek() == '0') {
    ++pos_;
  } else if (!ReadDigits()) {
    return false;
  }
  if (!AtEnd() && Peek() == '.') {
    ++pos_;
    if (!ReadDigits()) return false;
  }
  if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
    ++pos_;
    if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++pos_;
    if (!ReadDigits()) return false;
  }
  return true;
}

bool JsonText::ReadHex4(unsigned& value) {
  if (text_.size() - pos_ < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = text_[pos_++];
    value <<= 4;
    if (c >= '0' && c <= '9') {
      value |= static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
  }
  return true;
}

// The string at the cursor; `upper` is set when kWatchCase and a plain
// ASCII run held an upper-case letter (non-ASCII and escapes leave those
// runs, and are told by `escaped` and the caller's own test).
template <bool kWatchCase>
bool JsonText::Scan(std::string_view& raw, bool& escaped, bool& upper) {
  const std::size_t start = ++pos_;
  escaped = false;
  bool nonAscii = false;
  // Kept here rather than in `upper`, which the compiler would have to
  // update in memory for every byte.
  unsigned char upperSeen = 0;
  for (;;) {
    // A run of plain ASCII at once: most of a configuration is.
    while (!AtEnd()) {
      const auto c = static_cast<unsigned char>(Peek());
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      if constexpr (kWatchCase) upperSeen |= kUpper[c];
      ++pos_;
    }
    if (AtEnd()) return false;
    const auto c = static_cast<unsigned char>(Peek());
    if (c == '"') {
      raw = text_.substr(start, pos_ - start);
      ++pos_;
      if constexpr (kWatchCase) upper = upperSeen != 0 || nonAscii;
      return true;
    }
    if (c < 0x20) return false;
    if (c == '\\') {
      escaped = true;
      if (!ReadEscape()) return false;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text_, pos_);
    if (length == 0) return false;
    nonAscii = true;
    pos_ += length;
  }
}

bool JsonText::ReadString(std::string_view& raw, bool& escaped) {
  bool upper = false;
  return Scan<false>(raw, escaped, upper);
}

// ReadName, inline in the header, reads every member name through this.
template bool JsonText::Scan<true>(std::string_view& raw, bool& escaped, bool& upper);

std::string_view JsonText::Unescaped(std::string_view raw, std::string& buffer) {
  Unescape(raw, buffer);
  return buffer;
}

bool JsonText::ReadEscape() {
  ++pos_;
  if (AtEnd()) return false;
  const char escape = text_[pos_++];
  if (std::string_view("\"\\/bfnrt").find(escape) != std::string_view::npos) return true;
  if (escape != 'u') return false;
  unsigned code = 0;
  if (!ReadHex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) return false;
  if (code >= 0xD800 && code <= 0xDBFF) {
    unsigned low = 0;
    if (text_.substr(pos_, 2) != "\\u") return false;
    pos_ += 2;
    if (!ReadHex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
  }
  return true;
}
