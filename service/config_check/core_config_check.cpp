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

static_assert(kMaxCoreConfigDepth <= kNoOwner, "an owner's depth must fit ValueRole::owner");

struct Refusal {
  std::size_t order = 0;  // members and elements read before it: document order
  Kind kind = Kind::Accepted;
  std::string pointer;
  bool shape = false;  // a pending "path" that is refused even as a URL path
};

struct Frame {
  bool isObject = false;
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
  // What the scan does after a run of items.
  enum class Step { Fail, Opened, Closed };

  bool Scan() {
    text_.SkipSpace();
    if (text_.AtEnd()) return false;
    // A configuration is an object; anything else is refused as a whole.
    if (text_.Peek() != '{') RefuseHere(Kind::OptionNotAllowed);
    if (!BeginValue({Role::Plain, Place::Root})) return false;
    // Whether the top container was just opened, or else resumes after an
    // item of its own that was a container.
    bool opened = true;
    while (depth_ > 0) {
      Frame& top = Top();
      text_.SkipSpace();
      if (text_.AtEnd()) return false;
      const char c = text_.Peek();
      if (c == (top.isObject ? '}' : ']')) {
        Close();
        opened = false;
        continue;
      }
      if (!opened) {
        if (c != ',') return false;
        text_.Skip();
        text_.SkipSpace();
      }
      const Step step = top.isObject ? ReadMembers(top) : ReadElements(top);
      if (step == Step::Fail) return false;
      opened = step == Step::Opened;
    }
    text_.SkipSpace();
    return text_.AtEnd();
  }

  // The members of the top object from the cursor on, until one is an object
  // or array (now open on top of it) or the object closes. Most members are
  // scalars, read here one after another.
  Step ReadMembers(Frame& top) {
    const std::size_t depth = depth_;
    do {
      if (!BeginMember(top)) return Step::Fail;
      if (depth_ != depth) return Step::Opened;
    } while (ReadSeparator());
    return CloseAfterItems('}');
  }

  // The same for the elements of the top array.
  Step ReadElements(Frame& top) {
    const std::size_t depth = depth_;
    do {
      ++top.index;
      ++order_;
      if (!BeginValue(top.elementRole)) return Step::Fail;
      if (depth_ != depth) return Step::Opened;
    } while (ReadSeparator());
    return CloseAfterItems(']');
  }

  // After a scalar item: true past a comma and the space after it, else false
  // with the cursor where the container should close.
  bool ReadSeparator() {
    text_.SkipSpace();
    if (text_.AtEnd() || text_.Peek() != ',') return false;
    text_.Skip();
    text_.SkipSpace();
    return true;
  }

  Step CloseAfterItems(char close) {
    if (text_.AtEnd() || text_.Peek() != close) return Step::Fail;
    Close();
    return Step::Closed;
  }

  Frame& Top() { return stack_[depth_ - 1]; }

  bool BeginMember(Frame& top) {
    bool folded = false;
    if (text_.AtEnd() || text_.Peek() != '"' ||
        !text_.ReadName(top.memberName, top.nameBuffer, folded)) {
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
    switch (ClassifyMember(name)) {
      case MemberKind::Headers:
        return {Role::Free};
      case MemberKind::Program:
        RefuseHere(Kind::FileOutsideFolder);  // whatever its value
        break;
      case MemberKind::Path:
        if (top.transport) break;  // a URL path
        role.role = Role::File;
        if (top.place == Place::Typed && HasUrlPathTypes(top.part)) {
          role.owner = static_cast<std::uint8_t>(depth_ - 1);
        }
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
  bool BeginValue(ValueRole role) {
    if (text_.AtEnd()) return false;
    const char c = text_.Peek();
    // Most values are plain, files or free, and can be anything.
    if (role.role > Role::Free || role.child == Place::Typed) JudgeStart(role, c);
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

  // What the first character of a value of the other roles says.
  void JudgeStart(ValueRole role, char c) {
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
  }

  bool ReadStringValue(ValueRole role) {
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
    // Frames are reused, so that their buffers keep their storage: all but
    // the buffers is set afresh here.
    Frame& frame = stack_[depth_++];
    frame.isObject = isObject;
    frame.order = order_;
    frame.index = 0;
    frame.elementRole = {};
    frame.place = Place::Other;
    frame.part = role.part;
    frame.memberName = {};
    frame.memberFolded = {};
    frame.transport = transport;
    frame.typeSeen = false;
    frame.typeExempts = false;
    frame.pending.reset();
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
  void RefuseFile(std::uint8_t owner) {
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
