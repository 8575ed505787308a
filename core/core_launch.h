// Starting sing-box.exe through the privileged program. The start's worker
// (async_start.h); never at the same time as a stop.
#pragma once

#include <string>

// Starts the core with the UI's configuration. False with `error` set (and an
// "error" event emitted, except for "already running") when it fails.
bool StartCore(const std::string& config, std::string& error);
