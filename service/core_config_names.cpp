// Which members of sing-box's configuration name files, and which of their
// values leave the core's folder. Any thread.
#include "service/core_config_names.h"

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Windows drops trailing dots and spaces from a name, so ".. " and "..." can
// climb like "..". No configuration needs a name made of dots only.
bool IsParentSegment(std::string_view segment) {
  if (segment.size() < 2 || segment[0] != '.' || segment[1] != '.') return false;
  return segment.find_first_not_of(". ") == std::string_view::npos;
}

// A name that Windows takes for a device in any folder: CON, PRN, AUX, NUL,
// COM0-9 and LPT0-9 (also with the superscript digits 1-3), CONIN$ and
// CONOUT$, in any case, whatever follows a '.' or ':' and with trailing
// spaces. Opened in the core's folder, it would reach the device.
bool IsDeviceSegment(std::string_view segment) {
  std::string_view stem = segment.substr(0, segment.find_first_of(".:"));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  if (stem.size() < 3 || stem.size() > 7) return false;
  std::string upper(stem);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
      upper == "CONOUT$") {
    return true;
  }
  if (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0) return false;
  const std::string_view digit = std::string_view(upper).substr(3);
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
         digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

}  // namespace

// Go's decoder, which sing-box uses, matches a member name to an option when
// both are equal under Unicode simple case folding. Every option name is
// ASCII, so a name matches one only if each of its characters folds into the
// ASCII letters, digits and '_' of that name. Besides ASCII itself, exactly
// two characters have a simple case fold into ASCII (Unicode CaseFolding.txt):
// the Kelvin sign U+212A (k) and the long s U+017F (s). Every other non-ASCII
// character keeps a name from matching any option, so it folds to a byte that
// no option name holds.
std::string FoldMemberName(std::string_view name) {
  std::string folded;
  folded.reserve(name.size());
  for (std::size_t i = 0; i < name.size();) {
    const auto lead = static_cast<unsigned char>(name[i]);
    if (lead < 0x80) {
      folded += (lead >= 'A' && lead <= 'Z') ? static_cast<char>(lead - 'A' + 'a') : name[i];
      ++i;
    } else if (name.substr(i, 3) == "\xE2\x84\xAA") {
      folded += 'k';
      i += 3;
    } else if (name.substr(i, 2) == "\xC5\xBF") {
      folded += 's';
      i += 2;
    } else {
      folded += '\x80';
      i += lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    }
  }
  return folded;
}

MemberKind ClassifyMember(std::string_view folded) {
  if (folded == "executable_path") return MemberKind::Program;
  if (folded == "path") return MemberKind::Path;
  if (folded == "type") return MemberKind::Type;
  // Named like files, but programs to match traffic by, an Android-only
  // option and a switch.
  if (folded == "process_path" || folded == "process_path_regex" || folded == "protect_path" ||
      folded == "tcp_multi_path") {
    return MemberKind::Other;
  }
  // Whole families, so that options of later sing-box releases are covered.
  if (EndsWith(folded, "_path") || EndsWith(folded, "_directory") || EndsWith(folded, "_file") ||
      EndsWith(folded, "_files") || folded == "output" || folded == "directory" ||
      folded == "external_ui") {
    return MemberKind::File;
  }
  return MemberKind::Other;
}

bool OutboundTypeHasUrlPath(std::string_view type) { return type == "http"; }

bool DnsServerTypeHasUrlPath(std::string_view type) { return type == "https" || type == "h3"; }

bool NamesFileOutsideFolder(std::string_view value) {
  if (value.empty()) return false;
  // Rooted ("\x", "/x"), UNC and device paths ("\\x", "//x", "\\?\", "\\.\").
  if (value[0] == '\\' || value[0] == '/') return true;
  // "C:\x", "C:/x", and "C:x", relative to that drive's own current folder.
  if (value.size() >= 2 && value[1] == ':' && IsAsciiLetter(value[0])) return true;
  if (value.size() >= 5) {
    std::string scheme(value.substr(0, 5));
    for (char& c : scheme) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (scheme == "file:") return true;
  }
  for (std::size_t start = 0;;) {
    const std::size_t end = value.find_first_of("\\/", start);
    const std::string_view segment =
        value.substr(start, end == std::string_view::npos ? end : end - start);
    if (IsParentSegment(segment) || IsDeviceSegment(segment)) return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}
