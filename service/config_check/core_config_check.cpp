// The configuration check: one pass over the text with an explicit stack of
// the open objects and arrays (never the C++ stack), validating RFC 8259 as it
// goes (json_text.h), knowing where each object stands (the top level, an
// outbound, the clash API...), and judging each member by its place, its name
// (core_config_names.h) and its value. Any thread.
#include "service/config_check/core_config_check.h"

#include <cstdint>
#include <optional>
#include <vector>

#include "service/config_check/core_config_names.h"
#include "service/config_check/json_text.h"

namespace {

using Kind = CoreConfigVerdict::Kind;

constexpr std::size_t kNoOwner = static_cast<std::size_t>(-1);

// Where an object stands, as far as the check cares.
enum class Place : std::uint8_t {
  Other,
  Root,
  Dns,
  Route,
  Experimental,
  ClashApi,
  Debug,
  Ntp,
  Typed,  // an inbound, outbound, endpoint, DNS server or rule set
  Free,   // header values: nothing inside names a file
};

// What a value means to the check.
enum class Role : std::uint8_t {
  // A string shaped like a path outside the folder is refused; the members
  // of an object are judged by their own names.
  Plain,
  // A string names a file or folder; so does every string in an array (lists
  // of files), nested arrays included. A number, true, false or null names
  // nothing (sing-box refuses them where it wants a name).
  File,
  Free,           // never a file: patterns, program paths, tags, headers
  Type,           // "type" of a typed part
  List,           // an array of typed parts, or null
  Services,       // an array that must be empty, or null
  Refused,        // refused whatever it is
  Controller,     // the clash API's address: a loopback one
  False,          // a switch that must be false
  PluginOptions,  // "key=value;..."
};

struct ValueRole {
  Role role = Role::Plain;
  Place child = Place::Other;           // what an object value is
  TypedPart part = TypedPart::Inbound;  // for Typed objects and List
  // For File: the open object whose "type" decides whether a refused value
  // counts ("path" of an outbound or DNS server), or kNoOwner.
  std::size_t owner = kNoOwner;
};

struct Refusal {
  std::size_t order = 0;  // members and elements read before it: document order
  Kind kind = Kind::Accepted;
  std::string pointer;
  bool shape = false;  // a pending "path" that is refused even as a URL path
};

enum class FrameState { Open, AfterItem, AfterComma };

struct Frame {
  bool isObject = false;
  FrameState state = FrameState::Open;
  std::size_t order = 0;  // that of the member or element it is the value of
  // Arrays.
  std::size_t index = 0;  // elements begun
  ValueRole elementRole;
  // Objects.
  Place place = Place::Other;
  TypedPart part = TypedPart::Inbound;
  // The member being read, escapes undone, and the same folded: views of the
  // text itself where they can be, else of the buffers.
  std::string_view memberName;
  std::string_view memberFolded;
  std::string nameBuffer;
  std::string foldBuffer;
  bool transport = false;  // the value of "transport": its "path" is a URL path
  bool typeSeen = false;
  bool typeExempts = false;        // its last "type" makes its "path" a URL path
  std::optional<Refusal> pending;  // its first refused "path" value, decided at '}'
};

bool HasUrlPathTypes(TypedPart part) {
  return part == TypedPart::Outbound || part == TypedPart::DnsServer;
}

bool TypeMakesPathAUrl(TypedPart part, std::string_view type) {
  if (part == TypedPart::Outbound) return OutboundTypeHasUrlPath(type);
  if (part == TypedPart::DnsServer) return DnsServerTypeHasUrlPath(type);
  return false;
}

ValueRole ListOf(TypedPart part) { return {Role::List, Place::Other, part}; }

class Checker {
 public:
  explicit Checker(std::string_view text) : text_(text), size_(text.size()) {
    // Frames never move, so that views of their buffers stay valid.
    stack_.reserve(kMaxCoreConfigDepth);
  }

  CoreConfigVerdict Run() {
    if (size_ > kMaxCoreConfigBytes || !Scan()) return {Kind::NotJson, {}};
    if (first_) return {first_->kind, std::move(first_->pointer)};
    return {};
  }

 private:
  bool Scan() {
    text_.SkipSpace();
    if (text_.AtEnd()) return false;
    // A configuration is an object; anything else is refused as a whole.
    if (text_.Peek() != '{') RefuseHere(Kind::OptionNotAllowed);
    if (!BeginValue({Role::Plain, Place::Root})) return false;
    while (depth_ > 0) {
      text_.SkipSpace();
      if (text_.AtEnd()) return false;
      Frame& top = Top();
      const char close = top.isObject ? '}' : ']';
      const char c = text_.Peek();
      if (top.state != FrameState::AfterComma && c == close) {
        Close();
        continue;
      }
      if (top.state == FrameState::AfterItem) {
        if (c != ',') return false;
        text_.Skip();
        top.state = FrameState::AfterComma;
        continue;
      }
      top.state = FrameState::AfterItem;
      if (!(top.isObject ? BeginMember() : BeginElement())) return false;
    }
    text_.SkipSpace();
    return text_.AtEnd();
  }

  Frame& Top() { return stack_[depth_ - 1]; }

  bool BeginElement() {
    Frame& top = Top();
    ++top.index;
    ++order_;
    const ValueRole role = top.elementRole;
    return BeginValue(role);
  }

  bool BeginMember() {
    Frame& top = Top();
    bool folded = false;
    if (text_.Peek() != '"' || !text_.ReadName(top.memberName, top.nameBuffer, folded)) {
      return false;
    }
    text_.SkipSpace();
    if (text_.AtEnd() || text_.Peek() != ':') return false;
    text_.Skip();
    text_.SkipSpace();
    ++order_;
    if (top.place == Place::Free) return BeginValue({Role::Free});
    top.memberFolded = folded ? top.memberName : FoldedMemberName(top.memberName, top.foldBuffer);
    return BeginValue(RoleOfMember(top));
  }

  // What the member being read may be, by where its object stands and by its
  // name. A member the place does not allow is refused here.
  ValueRole RoleOfMember(const Frame& top) {
    const std::string_view name = top.memberFolded;
    ValueRole role;
    switch (top.place) {
      case Place::Root:
        if (!IsTopLevelMember(name)) RefuseHere(Kind::OptionNotAllowed);
        if (name == "inbounds") return ListOf(TypedPart::Inbound);
        if (name == "outbounds") return ListOf(TypedPart::Outbound);
        if (name == "endpoints") return ListOf(TypedPart::Endpoint);
        if (name == "services") return {Role::Services};
        if (name == "dns") role.child = Place::Dns;
        if (name == "route") role.child = Place::Route;
        if (name == "experimental") role.child = Place::Experimental;
        if (name == "ntp") role.child = Place::Ntp;
        break;
      case Place::Dns:
        if (name == "servers") return ListOf(TypedPart::DnsServer);
        break;
      case Place::Route:
        if (name == "rule_set") return ListOf(TypedPart::RuleSet);
        break;
      case Place::Experimental:
        if (!IsAllowedExperimentalMember(name)) RefuseHere(Kind::OptionNotAllowed);
        if (name == "clash_api") role.child = Place::ClashApi;
        if (name == "debug") role.child = Place::Debug;
        break;
      case Place::ClashApi:
        // The web UI: downloaded and unpacked by the core (entries may climb
        // out of its folder), and served over HTTP from wherever it points.
        if (name == "external_ui" || name == "external_ui_download_url" ||
            name == "external_ui_download_detour") {
          RefuseHere(Kind::OptionNotAllowed);
        }
        if (name == "external_controller") return {Role::Controller};
        break;
      case Place::Debug:
        // Go's profiler over HTTP: heap dumps hold the owner's credentials.
        if (name == "listen") RefuseHere(Kind::OptionNotAllowed);
        break;
      case Place::Ntp:
        // The machine's clock, which the user may not set.
        if (name == "write_to_system") return {Role::False};
        break;
      default:
        break;
    }
    if (name == "headers") return {Role::Free};
    switch (ClassifyMember(name)) {
      case MemberKind::Program:
        RefuseHere(Kind::FileOutsideFolder);  // whatever its value
        break;
      case MemberKind::Path:
        if (top.transport) break;  // a URL path
        role.role = Role::File;
        if (top.place == Place::Typed && HasUrlPathTypes(top.part)) role.owner = depth_ - 1;
        break;
      case MemberKind::Type:
        if (top.place == Place::Typed) role.role = Role::Type;
        break;
      case MemberKind::File:
        role.role = Role::File;
        break;
      case MemberKind::Free:
        role.role = Role::Free;
        break;
      case MemberKind::PluginOptions:
        role.role = Role::PluginOptions;
        break;
      case MemberKind::Other:
        break;
    }
    return role;
  }

  // The cursor is past any space. Scalars are read whole; a container is
  // opened.
  bool BeginValue(const ValueRole& role) {
    if (text_.AtEnd()) return false;
    const char c = text_.Peek();
    switch (role.role) {
      case Role::List:
      case Role::Services:
        if (c != '[' && c != 'n') RefuseHere(Kind::OptionNotAllowed);
        break;
      case Role::Type:
        Top().typeSeen = true;
        Top().typeExempts = false;
        if (c != '"') RefuseHere(Kind::OptionNotAllowed);
        break;
      case Role::Controller:
        if (c != '"') RefuseHere(Kind::OptionNotAllowed);
        break;
      case Role::False:
        if (c != 'f') RefuseHere(Kind::OptionNotAllowed);
        break;
      case Role::Refused:
        RefuseHere(Kind::OptionNotAllowed);
        break;
      default:
        if (role.child == Place::Typed && c != '{') RefuseHere(Kind::OptionNotAllowed);
        break;
    }
    switch (c) {
      case '{':
      case '[':
        return Open(c == '{', role);
      case '"':
        return ReadStringValue(role);
      case 't':
        return text_.ReadWord("true");
      case 'f':
        return text_.ReadWord("false");
      case 'n':
        return text_.ReadWord("null");
      default:
        return text_.ReadNumber();
    }
  }

  bool ReadStringValue(const ValueRole& role) {
    switch (role.role) {
      case Role::Free:
      case Role::List:
      case Role::Services:
      case Role::False:
        return text_.SkipString();
      default:
        break;
    }
    if (!text_.ReadText(value_, valueBuffer_)) return false;
    switch (role.role) {
      case Role::File:
        if (NamesFileOutsideFolder(value_)) RefuseFile(role.owner);
        break;
      case Role::Type:
        Top().typeExempts = TypeMakesPathAUrl(Top().part, value_);
        if (!TypeAllowed(Top().part, value_)) RefuseHere(Kind::OptionNotAllowed);
        break;
      case Role::Controller:
        if (!IsLoopbackListenAddress(value_)) RefuseHere(Kind::OptionNotAllowed);
        break;
      case Role::PluginOptions:
        if (PluginOptionsNameFileOutsideFolder(value_)) RefuseHere(Kind::FileOutsideFolder);
        break;
      default:
        if (LooksLikePathOutsideFolder(value_)) RefuseHere(Kind::FileOutsideFolder);
        break;
    }
    return true;
  }

  bool Open(bool isObject, const ValueRole& role) {
    if (depth_ >= kMaxCoreConfigDepth) return false;
    const bool transport = depth_ > 0 && Top().isObject && Top().memberFolded == "transport";
    text_.Skip();
    if (depth_ == stack_.size()) stack_.emplace_back();
    // Frames are reused, so that their buffers keep their storage.
    Frame& frame = stack_[depth_++];
    std::string names = std::move(frame.nameBuffer), folds = std::move(frame.foldBuffer);
    frame = Frame{};
    frame.nameBuffer = std::move(names);
    frame.foldBuffer = std::move(folds);
    frame.isObject = isObject;
    frame.order = order_;
    frame.part = role.part;
    frame.transport = transport;
    if (isObject) {
      frame.place = role.role == Role::Free ? Place::Free : role.child;
    } else if (role.role == Role::List) {
      frame.elementRole = {Role::Plain, Place::Typed, role.part};
    } else if (role.role == Role::Services) {
      frame.elementRole = {Role::Refused};
    } else if (role.role == Role::File || role.role == Role::Free) {
      frame.elementRole = role;
    }
    return true;
  }

  void Close() {
    text_.Skip();
    Frame& top = Top();
    if (top.pending && (!top.typeExempts || top.pending->shape)) Commit(std::move(*top.pending));
    if (top.place == Place::Typed && !top.typeSeen && TypeRequired(top.part) &&
        CouldComeFirst(top.order)) {
      Commit({top.order, Kind::OptionNotAllowed, PointerTo(depth_ - 1)});
    }
    --depth_;
  }

  // AllowedType, remembering the last type allowed for each part: a
  // subscription's outbounds are mostly of one type.
  bool TypeAllowed(TypedPart part, std::string_view type) {
    std::string& last = lastAllowed_[static_cast<std::size_t>(part)];
    if (!last.empty() && type == last) return true;
    if (!AllowedType(part, type)) return false;
    last.assign(type);
    return true;
  }

  // Only a refusal that may be the first in document order is worth its
  // pointer: building one for every refused member of a hostile text would
  // take time in the square of its size.
  bool CouldComeFirst(std::size_t order) const { return !first_ || order < first_->order; }

  // The member or element being read is refused.
  void RefuseHere(Kind kind) {
    if (CouldComeFirst(order_)) Commit({order_, kind, PointerTo(depth_)});
  }

  // A file value is refused now, or when its owner object closes without a
  // "type" that makes it a URL path.
  void RefuseFile(std::size_t owner) {
    if (owner == kNoOwner) return RefuseHere(Kind::FileOutsideFolder);
    Frame& frame = stack_[owner];
    const bool shape = LooksLikePathOutsideFolder(value_);
    if (frame.pending) {
      frame.pending->shape = frame.pending->shape || shape;
    } else if (CouldComeFirst(order_)) {
      frame.pending = Refusal{order_, Kind::FileOutsideFolder, PointerTo(depth_), shape};
    }
  }

  void Commit(Refusal refusal) {
    if (CouldComeFirst(refusal.order)) first_ = std::move(refusal);
  }

  // RFC 6901: the names as written, escapes undone, '~' and '/' escaped.
  std::string PointerTo(std::size_t frames) const {
    std::string pointer;
    for (std::size_t i = 0; i < frames; ++i) {
      pointer += '/';
      if (!stack_[i].isObject) {
        pointer += std::to_string(stack_[i].index - 1);
        continue;
      }
      for (const char c : stack_[i].memberName) {
        pointer += c == '~'   ? std::string_view("~0")
                   : c == '/' ? std::string_view("~1")
                              : std::string_view(&c, 1);
      }
    }
    return pointer;
  }

  JsonText text_;
  std::size_t size_;
  std::vector<Frame> stack_;  // the open containers are the first depth_
  std::size_t depth_ = 0;
  std::string_view value_;  // the string value being judged
  std::string valueBuffer_;
  std::size_t order_ = 0;
  std::optional<Refusal> first_;  // the first refused member in document order
  std::string lastAllowed_[5];    // by TypedPart
};

}  // namespace

CoreConfigVerdict CheckCoreConfig(std::string_view json) { return Checker(json).Run(); }

std::string CoreConfigRefusalMessage(const CoreConfigVerdict& verdict) {
  switch (verdict.kind) {
    case Kind::NotJson:
      return "configuration is not valid JSON";
    case Kind::FileOutsideFolder:
      return "configuration names a file outside the VPN folder: " + verdict.pointer;
    case Kind::OptionNotAllowed:
      return "configuration uses an option the VPN service does not allow: " + verdict.pointer;
    case Kind::Accepted:
      break;
  }
  return {};
}
