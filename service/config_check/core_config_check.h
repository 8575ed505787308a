// The privileged side's check of the sing-box configuration that the UI sends
// with "start", made before any core is launched. The core runs as SYSTEM (or
// an administrator), so what is not known to be harmless is refused: the text
// must be RFC 8259 JSON in UTF-8; only the parts and types a VPN client needs
// are allowed (no server-side inbound, no program-running outbound, no
// service, no web UI, no debug listener, no clock setting); and no member
// through which the core reads or writes files may name one outside the
// core's own folder, nor a program for it to run. A strict streaming scan,
// without a document tree; plain code over bytes, any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The host's limit on a configuration; a longer text is refused as not JSON
// (the host refuses it before it sends it, so the broker never meets one).
inline constexpr std::size_t kMaxCoreConfigBytes = 4194304;
// Objects and arrays open at once; one more is refused as not JSON. sing-box's
// own configurations nest about eight deep.
inline constexpr std::size_t kMaxCoreConfigDepth = 128;

struct CoreConfigVerdict {
  enum Kind { Accepted, NotJson, FileOutsideFolder, OptionNotAllowed };
  Kind kind = Accepted;
  // For a refusal: the RFC 6901 pointer of the first refused member (or
  // element of a list, or object without its "type") in document order, from
  // the names as written, unescaped; empty when the whole text is not an
  // object.
  std::string pointer;
};

CoreConfigVerdict CheckCoreConfig(std::string_view json);

// The reply text for a refused configuration: "configuration is not valid
// JSON", "configuration names a file outside the VPN folder: <pointer>", or
// "configuration uses an option the VPN service does not allow: <pointer>".
// Empty for an accepted one.
std::string CoreConfigRefusalMessage(const CoreConfigVerdict& verdict);
