// The configuration check: one pass over the text with an explicit stack of
// the open objects and arrays (never the C++ stack), validating RFC 8259 as it
// goes and classifying each member by its name (core_config_names.h) and by
// where it stands. Any thread.
#include "service/core_config_check.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "service/core_config_names.h"

namespace {

constexpr std::size_t kNoOwner = static_cast<std::size_t>(-1);

// What a value means to the check.
enum class Role {
  Plain,  // nothing (the members of an object inside are still checked by name)
  // A string names a file or folder; so does every string in an array (lists
  // of files), nested arrays included. An object's members are checked by
  // their own names; a number, true, false or null names nothing (sing-box
  // refuses them where it wants a name).
  File,
  Type,  // "type" of an object whose "path" depends on it
};

struct ValueRole {
  Role role = Role::Plain;
  // For File: the open object whose "type" decides whether a refused value
  // counts ("path" of an outbound or DNS server), or kNoOwner.
  std::size_t owner = kNoOwner;
};

// Objects whose "path" is a URL path for some values of their "type".
enum class TypedPlace { None, Outbound, DnsServer };

struct Refusal {
  std::size_t order = 0;  // members and elements read before it: document order
  std::string pointer;
};

enum class FrameState { Open, AfterItem, AfterComma };

struct Frame {
  bool isObject = false;
  FrameState state = FrameState::Open;
  std::size_t pointerBase = 0;  // length of the pointer to this container
  // Arrays.
  std::size_t index = 0;
  ValueRole elementRole;
  // Objects.
  std::string memberFolded;  // folded name of the member being read
  bool transport = false;    // the value of "transport": its "path" is a URL path
  TypedPlace place = TypedPlace::None;
  bool typeExempts = false;        // its last "type" makes its "path" a URL path
  std::optional<Refusal> pending;  // its first refused "path" value, decided at '}'
};

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

bool TypeMakesPathAUrl(TypedPlace place, std::string_view type) {
  if (place == TypedPlace::Outbound) return OutboundTypeHasUrlPath(type);
  if (place == TypedPlace::DnsServer) return DnsServerTypeHasUrlPath(type);
  return false;
}

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  CoreConfigVerdict Run() {
    if (text_.size() > kMaxCoreConfigBytes || !Scan()) return {CoreConfigVerdict::NotJson, {}};
    if (first_) return {CoreConfigVerdict::FileOutsideFolder, std::move(first_->pointer)};
    return {};
  }

 private:
  bool Scan() {
    SkipSpace();
    if (!BeginValue({})) return false;
    while (!stack_.empty()) {
      SkipSpace();
      if (AtEnd()) return false;
      Frame& top = stack_.back();
      const char close = top.isObject ? '}' : ']';
      const char c = text_[pos_];
      if (top.state != FrameState::AfterComma && c == close) {
        if (!Close()) return false;
        continue;
      }
      if (top.state == FrameState::AfterItem) {
        if (c != ',') return false;
        ++pos_;
        top.state = FrameState::AfterComma;
        continue;
      }
      top.state = FrameState::AfterItem;
      if (!(top.isObject ? BeginMember() : BeginElement())) return false;
    }
    SkipSpace();
    return AtEnd();
  }

  bool AtEnd() const { return pos_ == text_.size(); }
  char Peek() const { return text_[pos_]; }

  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) {
      ++pos_;
    }
  }

  bool BeginElement() {
    Frame& top = stack_.back();
    pointer_.resize(top.pointerBase);
    pointer_ += '/';
    pointer_ += std::to_string(top.index++);
    ++order_;
    return BeginValue(top.elementRole);
  }

  bool BeginMember() {
    std::string name;
    if (Peek() != '"' || !ReadString(&name)) return false;
    SkipSpace();
    if (AtEnd() || Peek() != ':') return false;
    ++pos_;
    SkipSpace();
    ++order_;
    Frame& top = stack_.back();
    pointer_.resize(top.pointerBase);
    AppendPointerToken(name);
    top.memberFolded = FoldMemberName(name);

    ValueRole role;
    switch (ClassifyMember(top.memberFolded)) {
      case MemberKind::Program:
        Refuse(kNoOwner);  // whatever its value
        break;
      case MemberKind::Path:
        if (top.transport) break;  // a URL path
        role.role = Role::File;
        if (top.place != TypedPlace::None) role.owner = stack_.size() - 1;
        break;
      case MemberKind::Type:
        if (top.place != TypedPlace::None) role.role = Role::Type;
        break;
      case MemberKind::File:
        role.role = Role::File;
        break;
      case MemberKind::Other:
        break;
    }
    return BeginValue(role);
  }

  // pos_ is past any space. Scalars are read whole; a container is opened.
  bool BeginValue(ValueRole role) {
    if (AtEnd()) return false;
    if (role.role == Role::Type) stack_.back().typeExempts = false;
    switch (Peek()) {
      case '{':
      case '[':
        return Open(Peek() == '{', role);
      case '"': {
        if (role.role == Role::Plain) return ReadString(nullptr);
        std::string value;
        if (!ReadString(&value)) return false;
        if (role.role == Role::Type) {
          stack_.back().typeExempts = TypeMakesPathAUrl(stack_.back().place, value);
        } else if (NamesFileOutsideFolder(value)) {
          Refuse(role.owner);
        }
        return true;
      }
      case 't':
        return ReadWord("true");
      case 'f':
        return ReadWord("false");
      case 'n':
        return ReadWord("null");
      default:
        return ReadNumber();
    }
  }

  bool Open(bool isObject, ValueRole role) {
    if (stack_.size() >= kMaxCoreConfigDepth) return false;
    ++pos_;
    Frame frame;
    frame.isObject = isObject;
    frame.pointerBase = pointer_.size();
    if (!isObject) {
      // A list of files (its nested lists too); a "type" that is no string.
      if (role.role == Role::File) frame.elementRole = role;
    } else {
      const std::size_t depth = stack_.size();
      const auto memberOf = [&](std::size_t at, std::string_view name) {
        return stack_[at].isObject && stack_[at].memberFolded == name;
      };
      frame.transport = depth > 0 && memberOf(depth - 1, "transport");
      // Outbounds and DNS servers stand only in the top-level "outbounds" and
      // "dns.servers" lists; an object elsewhere with the same "type" is no
      // outbound or server, and its "path" stays a file.
      if (depth == 2 && memberOf(0, "outbounds") && !stack_[1].isObject) {
        frame.place = TypedPlace::Outbound;
      } else if (depth == 3 && memberOf(0, "dns") && memberOf(1, "servers") &&
                 !stack_[2].isObject) {
        frame.place = TypedPlace::DnsServer;
      }
    }
    stack_.push_back(std::move(frame));
    return true;
  }

  bool Close() {
    ++pos_;
    Frame& top = stack_.back();
    if (top.pending && !top.typeExempts) Commit(std::move(*top.pending));
    stack_.pop_back();
    return true;
  }

  // The value at pointer_ is refused now, or when its owner object closes
  // without a "type" that makes it a URL path.
  void Refuse(std::size_t owner) {
    if (owner == kNoOwner) {
      if (!first_ || order_ < first_->order) first_ = Refusal{order_, pointer_};
    } else if (!stack_[owner].pending) {
      stack_[owner].pending = Refusal{order_, pointer_};
    }
  }

  void Commit(Refusal refusal) {
    if (!first_ || refusal.order < first_->order) first_ = std::move(refusal);
  }

  void AppendPointerToken(std::string_view name) {
    pointer_ += '/';
    for (const char c : name) {
      if (c == '~') {
        pointer_ += "~0";
      } else if (c == '/') {
        pointer_ += "~1";
      } else {
        pointer_ += c;
      }
    }
  }

  bool ReadWord(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool ReadDigits() {
    const std::size_t start = pos_;
    while (!AtEnd() && Peek() >= '0' && Peek() <= '9') ++pos_;
    return pos_ > start;
  }

  // -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?
  bool ReadNumber() {
    if (Peek() == '-') ++pos_;
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

  bool ReadHex4(std::uint32_t& value) {
    if (text_.size() - pos_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }

  // pos_ is at the opening quote. The text with its escapes undone goes to
  // out, if given.
  bool ReadString(std::string* out) {
    ++pos_;
    while (!AtEnd()) {
      const auto c = static_cast<unsigned char>(Peek());
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (!ReadEscape(out)) return false;
      } else if (c < 0x80) {
        if (out) *out += static_cast<char>(c);
        ++pos_;
      } else {
        const std::size_t length = Utf8SequenceLength(text_, pos_);
        if (length == 0) return false;
        if (out) out->append(text_.substr(pos_, length));
        pos_ += length;
      }
    }
    return false;
  }

  bool ReadEscape(std::string* out) {
    ++pos_;
    if (AtEnd()) return false;
    char plain = 0;
    switch (text_[pos_++]) {
      case '"':
        plain = '"';
        break;
      case '\\':
        plain = '\\';
        break;
      case '/':
        plain = '/';
        break;
      case 'b':
        plain = '\b';
        break;
      case 'f':
        plain = '\f';
        break;
      case 'n':
        plain = '\n';
        break;
      case 'r':
        plain = '\r';
        break;
      case 't':
        plain = '\t';
        break;
      case 'u': {
        std::uint32_t code = 0;
        if (!ReadHex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
          std::uint32_t low = 0;
          if (text_.substr(pos_, 2) != "\\u") return false;
          pos_ += 2;
          if (!ReadHex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out) AppendUtf8(*out, code);
        return true;
      }
      default:
        return false;
    }
    if (out) *out += plain;
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::vector<Frame> stack_;
  std::string pointer_;  // to the member or element being read
  std::size_t order_ = 0;
  std::optional<Refusal> first_;  // the first refused member in document order
};

}  // namespace

CoreConfigVerdict CheckCoreConfig(std::string_view json) { return Scanner(json).Run(); }

std::string CoreConfigRefusalMessage(const CoreConfigVerdict& verdict) {
  switch (verdict.kind) {
    case CoreConfigVerdict::NotJson:
      return "configuration is not valid JSON";
    case CoreConfigVerdict::FileOutsideFolder:
      return "configuration names a file outside the VPN folder: " + verdict.pointer;
    case CoreConfigVerdict::Accepted:
      break;
  }
  return {};
}
