// Starting sing-box.exe through the privileged program. Window thread.
#pragma once

#include <string>

// Starts the core with the UI's configuration. False with `error` set (and an
// "error" event emitted, except for "already running") when it fails.
bool StartCore(const std::string& config, std::string& error);
