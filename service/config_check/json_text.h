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
  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
      ++pos_;
    }
  }

  // "true", "false" or "null" at the cursor.
  bool ReadWord(std::string_view word);
  bool ReadNumber();
  // The cursor is at the opening quote. `raw` is the text between the quotes
  // as written, and `escaped` says whether it holds an escape. False when the
  // string is not well formed.
  bool ReadString(std::string_view& raw, bool& escaped);
  // The same, with the string's text: `raw` itself when it holds no escape
  // (most strings), else its unescaped form written into `buffer`.
  bool ReadText(std::string_view& text, std::string& buffer) {
    bool escaped = false;
    if (!ReadString(text, escaped)) return false;
    if (escaped) text = Unescaped(text, buffer);
    return true;
  }
  // Only checks the string.
  bool SkipString() {
    std::string_view raw;
    bool escaped = false;
    return ReadString(raw, escaped);
  }
  // ReadText for a member name, telling also whether its text is written
  // exactly as it folds (no escape, no upper-case letter, nothing beyond
  // ASCII), which most names are: then it needs no folding.
  // Inline: the check reads one for every member.
  bool ReadName(std::string_view& text, std::string& buffer, bool& folded) {
    bool escaped = false;
    bool upper = false;
    if (!Scan<true>(text, escaped, upper)) return false;
    folded = !escaped && !upper;
    if (escaped) text = Unescaped(text, buffer);
    return true;
  }

 private:
  template <bool kWatchCase>
  bool Scan(std::string_view& raw, bool& escaped, bool& upper);
  static std::string_view Unescaped(std::string_view raw, std::string& buffer);
  bool ReadDigits();
  bool ReadHex4(unsigned& value);
  bool ReadEscape();

  std::string_view text_;
  std::size_t pos_ = 0;
};
