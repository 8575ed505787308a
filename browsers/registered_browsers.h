// Browsers registered on the machine, from the registry. Window thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Executable paths (UTF-8) of the Start-menu registrations (machine, then
// user hive; 64-bit, then 32-bit view), then the http and https defaults.
std::vector<std::string> QueryRegisteredBrowsers();

// The executable of a shell open command ("quoted" or up to ".exe").
std::wstring ExtractExecutablePath(std::wstring_view command);
