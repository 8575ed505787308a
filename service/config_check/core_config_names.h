// What sing-box's configuration means by its member names and values: which
// members name files, folders or programs, how names match, which values leave
// the core's folder, and which parts of a configuration a client may use at
// all. Plain functions over strings; any thread.
#pragma once

#include <cstddef>
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
};

MemberKind ClassifyMember(std::string_view folded);

// The parts of a configuration whose "type" says what they are.
enum class TypedPart { Inbound, Outbound, Endpoint, DnsServer, RuleSet };

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

// True when the value of a file member is absolute, drive-relative, a UNC or
// device path, a "file:" URL, climbs out with "..", has a segment that
// Windows takes for a device ("NUL", "com1.txt"), or holds a '$': sing-box
// expands environment variables in some file members, and under SYSTEM
// "$SystemDrive" is the root of the machine. The core resolves anything else
// inside its working folder.
bool NamesFileOutsideFolder(std::string_view value);

// True for any other string that is shaped like a path outside the folder:
// "C:\" or "C:/", anything rooted at a backslash ("\\server", "\\?\",
// "\\.\", "\x"), "//server", or a "file:" URL. This catches a file member
// under a name no family predicts.
bool LooksLikePathOutsideFolder(std::string_view value);

// Whether a plugin's "key=value;..." options name a file outside the folder:
// every value follows the file rule, except "path", which is the URL path of
// a transport and follows the shape rule.
bool PluginOptionsNameFileOutsideFolder(std::string_view options);
