// What sing-box's configuration means by its member names and values: which
// members name files, folders or programs, how names match, which values leave
// the core's folder, which parts of a configuration a client may use at all,
// and the words the check uses for where an object stands and what a value
// means. Plain functions over strings; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A member name (escapes undone, valid UTF-8) in the form that compares equal
// for every spelling that sing-box's decoder takes for the same option.
std::string FoldMemberName(std::string_view name);

// Same: `name` itself when it is folded already (most are), else its folded
// form written into `buffer`.
std::string_view FoldedMemberName(std::string_view name, std::string& buffer);

enum class MemberKind {
  Other,
  File,     // names a file or folder (a list of them, for some)
  Program,  // names a program for the core to run
  Path,     // "path": a file, except where it is a URL path
  Type,     // "type": what an object is, and what its "path" means
  Free,     // matches programs or holds a name people choose: never a file
  PluginOptions,  // "key=value;..." for a shadowsocks plugin
  Headers,        // HTTP headers: names and values people choose
};

MemberKind ClassifyMember(std::string_view folded);

// The parts of a configuration whose "type" says what they are.
enum class TypedPart : std::uint8_t { Inbound, Outbound, Endpoint, DnsServer, RuleSet };

// Depths are below kMaxCoreConfigDepth, so a byte holds one.
inline constexpr std::uint8_t kNoOwner = 0xFF;

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

// What a value means to the check. The first three take a value of any kind
// (the check asks no more of them before it reads one).
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
  std::uint8_t owner = kNoOwner;
};

// Whether a client may use `type` for that part. sing-box compares type
// values exactly. Only the kinds a VPN client needs are allowed: server-side
// inbounds, an outbound that runs a program and any type a later core adds
// are not. A DNS server without a "type" (the address form) is allowed;
// other parts need one.
bool AllowedType(TypedPart part, std::string_view type);
bool TypeRequired(TypedPart part);

// The members sing-box takes at the top level of a configuration.
bool IsTopLevelMember(std::string_view folded);
// The members of "experimental" a client may use.
bool IsAllowedExperimentalMember(std::string_view folded);

// A clash API controller address that only this machine can reach:
// "127.x.y.z:port", "[::1]:port" or "localhost:port".
bool IsLoopbackListenAddress(std::string_view address);

// sing-box compares type values exactly.
bool OutboundTypeHasUrlPath(std::string_view type);
bool DnsServerTypeHasUrlPath(std::string_view type);
// Whether some type of that part makes its "path" a URL path, and whether
// `type` does.
bool HasUrlPathTypes(TypedPart part);
bool TypeMakesPathAUrl(TypedPart part, std::string_view type);

// True when the value of a file member is absolute, drive-relative, a UNC or
// device path, a "file:" URL, climbs out with "..", has a segment that
// Windows takes for a device ("NUL", "com1.txt"), or holds a '$': sing-box
// expands environment variables in some file members, and under SYSTEM
// "$SystemDrive" is the root of the machine. The core resolves anything else
// inside its working folder.
bool NamesFileOutsideFolder(std::string_view value);

// Whether `value` starts with "file:", in any case.
bool IsFileUrl(std::string_view value);

// True for any other string that is shaped like a path outside the folder:
// "C:\" or "C:/", anything rooted at a backslash ("\\server", "\\?\",
// "\\.\", "\x"), "//server", or a "file:" URL. This catches a file member
// under a name no family predicts. Inline: the check asks it of nearly every
// string value, and the first byte or two rule most of them out.
inline bool LooksLikePathOutsideFolder(std::string_view value) {
  if (value.size() < 2) return !value.empty() && value[0] == '\\';
  const char first = value[0];
  if (first == '\\') return true;
  if (first == '/') return value[1] == '/';
  if (value[1] == ':') {
    const bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
    return value.size() >= 3 && letter && (value[2] == '\\' || value[2] == '/');
  }
  return (first == 'f' || first == 'F') && IsFileUrl(value);
}

// Whether a plugin's "key=value;..." options name a file outside the folder:
// every value follows the file rule, except "path", which is the URL path of
// a transport and follows the shape rule.
bool PluginOptionsNameFileOutsideFolder(std::string_view options);
