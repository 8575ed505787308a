// Which members of sing-box's configuration name files, which of their
// values leave the core's folder, and which parts a client may use. Any
// thread.
#include "service/config_check/core_config_names.h"

#include <algorithm>
#include <array>

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

template <std::size_t N>
bool IsOneOf(std::string_view value, const std::array<std::string_view, N>& allowed) {
  return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

constexpr std::array<std::string_view, 5> kInboundTypes = {"tun", "mixed", "socks", "http",
                                                           "direct"};
constexpr std::array<std::string_view, 20> kOutboundTypes = {
    "direct",   "block",     "dns",   "selector", "urltest",   "socks",  "http",
    "shadowsocks", "shadowsocksr", "vmess", "trojan", "naive", "wireguard", "hysteria",
    "hysteria2", "vless", "tuic", "shadowtls", "anytls", "ssh"};
constexpr std::array<std::string_view, 2> kEndpointTypes = {"wireguard", "tailscale"};
constexpr std::array<std::string_view, 11> kDnsServerTypes = {
    "udp", "tcp", "tls", "https", "quic", "h3", "local", "hosts", "fakeip", "dhcp", "tailscale"};
constexpr std::array<std::string_view, 3> kRuleSetTypes = {"inline", "local", "remote"};
constexpr std::array<std::string_view, 11> kTopLevelMembers = {
    "$schema", "log", "dns", "ntp", "certificate", "endpoints", "inbounds", "outbounds", "route",
    "services", "experimental"};
constexpr std::array<std::string_view, 4> kExperimentalMembers = {"cache_file", "clash_api",
                                                                  "v2ray_api", "debug"};

// A decimal port, 0 to 65535, as Go's listener takes it.
bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

// 127.x.y.z in the dotted form Go parses: four decimal parts up to 255,
// without leading zeros.
bool IsLoopbackIpv4(std::string_view host) {
  int parts = 0;
  for (std::size_t start = 0;; ++parts) {
    const std::size_t dot = host.find('.', start);
    const std::string_view part = host.substr(start, dot == std::string_view::npos ? dot : dot - start);
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    unsigned value = 0;
    for (const char c : part) {
      if (!IsDigit(c)) return false;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255 || (parts == 0 && value != 127)) return false;
    if (dot == std::string_view::npos) return parts == 3;
    start = dot + 1;
  }
}

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
  std::string buffer;
  return std::string(FoldedMemberName(name, buffer));
}

std::string_view FoldedMemberName(std::string_view name, std::string& buffer) {
  // Member names are most of what a configuration holds, and nearly all are
  // written folded already.
  // Only upper-case ASCII letters and non-ASCII bytes can change.
  bool needs = false;
  for (const char c : name) needs |= (c >= 'A' && c <= 'Z') || (c & 0x80) != 0;
  if (!needs) return name;
  std::string& folded = buffer;
  folded.resize(name.size());
  std::size_t out = 0;
  for (std::size_t i = 0; i < name.size();) {
    const auto lead = static_cast<unsigned char>(name[i]);
    if (lead < 0x80) {
      folded[out++] = (lead >= 'A' && lead <= 'Z') ? static_cast<char>(lead - 'A' + 'a') : name[i];
      ++i;
    } else if (name.substr(i, 3) == "\xE2\x84\xAA") {
      folded[out++] = 'k';
      i += 3;
    } else if (name.substr(i, 2) == "\xC5\xBF") {
      folded[out++] = 's';
      i += 2;
    } else {
      folded[out++] = '\x80';
      i += lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    }
  }
  folded.resize(out);
  return folded;
}

MemberKind ClassifyMember(std::string_view folded) {
  if (folded.empty()) return MemberKind::Other;
  // By the last letter first: every name below ends in one of these, and
  // this runs for every member of a configuration.
  switch (folded.back()) {
    case 'h':
      if (folded == "executable_path") return MemberKind::Program;
      if (folded == "path") return MemberKind::Path;
      // Programs to match traffic by; an Android-only option; a switch.
      if (folded == "process_path") return MemberKind::Free;
      if (folded == "protect_path" || folded == "tcp_multi_path") return MemberKind::Other;
      return EndsWith(folded, "_path") ? MemberKind::File : MemberKind::Other;
    case 'e':
      if (folded == "type") return MemberKind::Type;
      return EndsWith(folded, "_file") ? MemberKind::File : MemberKind::Other;
    case 's':
      if (folded == "headers") return MemberKind::Headers;
      if (folded == "plugin_opts") return MemberKind::PluginOptions;
      return EndsWith(folded, "_files") ? MemberKind::File : MemberKind::Other;
    case 'y':
      return folded == "directory" || EndsWith(folded, "_directory") ? MemberKind::File
                                                                     : MemberKind::Other;
    case 't':
      return folded == "output" ? MemberKind::File : MemberKind::Other;
    case 'i':
      return folded == "external_ui" ? MemberKind::File : MemberKind::Other;
    case 'g':
      // A name people choose: a tag "A:1" or "C:/x" is just a name.
      return folded == "tag" ? MemberKind::Free : MemberKind::Other;
    case 'x':
      return EndsWith(folded, "_regex") ? MemberKind::Free : MemberKind::Other;
    default:
      return MemberKind::Other;
  }
}

bool IsFileUrl(std::string_view value) {
  if (value.size() < 5) return false;
  for (std::size_t i = 0; i < 5; ++i) {
    const char c = value[i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != "file:"[i]) return false;
  }
  return true;
}

bool OutboundTypeHasUrlPath(std::string_view type) { return type == "http"; }

bool DnsServerTypeHasUrlPath(std::string_view type) { return type == "https" || type == "h3"; }

bool HasUrlPathTypes(TypedPart part) {
  return part == TypedPart::Outbound || part == TypedPart::DnsServer;
}

bool TypeMakesPathAUrl(TypedPart part, std::string_view type) {
  if (part == TypedPart::Outbound) return OutboundTypeHasUrlPath(type);
  if (part == TypedPart::DnsServer) return DnsServerTypeHasUrlPath(type);
  return false;
}

bool NamesFileOutsideFolder(std::string_view value) {
  if (value.empty()) return false;
  // Rooted ("\x", "/x"), UNC and device paths ("\\x", "//x", "\\?\", "\\.\").
  if (value[0] == '\\' || value[0] == '/') return true;
  // "C:\x", "C:/x", and "C:x", relative to that drive's own current folder.
  if (value.size() >= 2 && value[1] == ':' && IsAsciiLetter(value[0])) return true;
  if (IsFileUrl(value) || value.find('$') != std::string_view::npos) return true;
  for (std::size_t start = 0;;) {
    const std::size_t end = value.find_first_of("\\/", start);
    const std::string_view segment =
        value.substr(start, end == std::string_view::npos ? end : end - start);
    if (IsParentSegment(segment) || IsDeviceSegment(segment)) return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

bool PluginOptionsNameFileOutsideFolder(std::string_view options) {
  for (std::size_t start = 0; start <= options.size();) {
    const std::size_t end = std::min(options.find(';', start), options.size());
    const std::string_view item = options.substr(start, end - start);
    const std::size_t equals = item.find('=');
    if (equals != std::string_view::npos) {
      const std::string_view value = item.substr(equals + 1);
      if (item.substr(0, equals) == "path" ? LooksLikePathOutsideFolder(value)
                                           : NamesFileOutsideFolder(value)) {
        return true;
      }
    }
    start = end + 1;
  }
  return false;
}

bool AllowedType(TypedPart part, std::string_view type) {
  switch (part) {
    case TypedPart::Inbound:
      return IsOneOf(type, kInboundTypes);
    case TypedPart::Outbound:
      return IsOneOf(type, kOutboundTypes);
    case TypedPart::Endpoint:
      return IsOneOf(type, kEndpointTypes);
    case TypedPart::DnsServer:
      return IsOneOf(type, kDnsServerTypes);
    case TypedPart::RuleSet:
      return IsOneOf(type, kRuleSetTypes);
  }
  return false;
}

bool TypeRequired(TypedPart part) { return part != TypedPart::DnsServer; }

bool IsTopLevelMember(std::string_view folded) { return IsOneOf(folded, kTopLevelMembers); }

bool IsAllowedExperimentalMember(std::string_view folded) {
  return IsOneOf(folded, kExperimentalMembers);
}

bool IsLoopbackListenAddress(std::string_view address) {
  const std::size_t colon = address.rfind(':');
  if (colon == std::string_view::npos || !IsPort(address.substr(colon + 1))) return false;
  const std::string_view host = address.substr(0, colon);
  if (host == "[::1]") return true;
  std::string lower(host);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower == "localhost" || IsLoopbackIpv4(host);
}
