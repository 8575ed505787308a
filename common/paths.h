// Where the host keeps its files and finds the programs shipped beside it.
// Any thread.
#pragma once

#include <filesystem>
#include <string_view>

// The per-user data folder, "%LOCALAPPDATA%\Kelpmarrow", recomputed at every
// use and created with its parents (failure: filesystem_error
// "create_directories"). Without a local application data folder the user's
// temporary folder is used, with "Kelpmarrow" appended, and not created.
std::filesystem::path dataDir();

// <exe folder>\bin\<name> when that exists, else <exe folder>\<name>.
std::filesystem::path ExecutableSiblingPath(std::wstring_view name);
