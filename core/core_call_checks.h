// The argument checks of the "noteStopCause" and "noteHealth" methods of the
// "kelpmarrow.vpn/core" channel: pure functions over the call's arguments, no
// Windows header (also built natively). Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "channels/encodable_value.h"

// Longest "noteHealth" text that is logged, in UTF-8 bytes.
inline constexpr std::size_t kMaxHealthNoteBytes = 240;

// The "[stop_cause]" log text ("<cause> action=<action>") when the arguments
// are a map whose "cause" is one of the accepted causes and whose "action" is
// a 32-bit integer; nothing otherwise.
std::optional<std::string> StopCauseLogText(const flutter::EncodableValue* arguments);

// True when the text is 1 to 240 bytes of letters, digits and " _=.:,()/-".
bool PassesHealthFilter(std::string_view text);

// The "[health]" log text: the argument string itself when it passes the
// filter; nothing for any other argument.
std::optional<std::string> HealthLogText(const flutter::EncodableValue* arguments);
