// RFC 8259's tokens, read strictly from UTF-8 bytes: whitespace, literals,
// numbers and strings (escapes undone, surrogates paired, no overlong or
// invalid sequences). The structure above the tokens is the caller's. Plain
// code over bytes; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class JsonText {
 public:
  explicit JsonText(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ == text_.size(); }
  // Only when !AtEnd().
  char Peek() const { return text_[pos_]; }
  void Skip() { ++pos_; }
  void SkipSpace();

  // "true", "false" or "null" at the cursor.
  bool ReadWord(std::string_view word);
  bool ReadNumber();
  // The cursor is at the opening quote. `raw` is the text between the quotes
  // as written, and `escaped` says whether it holds an escape. False when the
  // string is not well formed.
  bool ReadString(std::string_view& raw, bool& escaped);
  // The same, with the string's text: `raw` itself when it holds no escape
  // (most strings), else its unescaped form written into `buffer`.
  bool ReadText(std::string_view& text, std::string& buffer);
  // Only checks the string.
  bool SkipString() {
    std::string_view raw;
    bool escaped = false;
    return ReadString(raw, escaped);
  }

 private:
  bool ReadDigits();
  bool ReadHex4(unsigned& value);
  bool ReadEscape();

  std::string_view text_;
  std::size_t pos_ = 0;
};
