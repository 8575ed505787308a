// What sing-box's configuration means by its member names: which members name
// files, folders or programs, how names match, and which values of a file
// member leave the core's folder. Plain functions over strings; any thread.
#pragma once

#include <string>
#include <string_view>

// A member name (escapes undone, valid UTF-8) in the form that compares equal
// for every spelling that sing-box's decoder takes for the same option.
std::string FoldMemberName(std::string_view name);

enum class MemberKind {
  Other,
  File,     // names a file or folder (a list of them, for some)
  Program,  // names a program for the core to run
  Path,     // "path": a file, except where it is a URL path
  Type,     // "type", which decides what "path" is in some objects
};

MemberKind ClassifyMember(std::string_view folded);

// sing-box compares type values exactly.
bool OutboundTypeHasUrlPath(std::string_view type);
bool DnsServerTypeHasUrlPath(std::string_view type);

// True when the value of a file member is absolute, drive-relative, a UNC or
// device path, a "file:" URL, climbs out with "..", or has a segment that
// Windows takes for a device ("NUL", "com1.txt"). The core resolves anything
// else inside its working folder.
bool NamesFileOutsideFolder(std::string_view value);
