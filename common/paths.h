// Where the host keeps its files and finds the programs shipped beside it.
// Any thread.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The per-user data folder, "%LOCALAPPDATA%\Kelpmarrow", recomputed at every
// use and created with its parents (failure: filesystem_error
// "create_directories"). Without a local application data folder the user's
// temporary folder is used, with "Kelpmarrow" appended, and not created.
std::filesystem::path dataDir();

// <exe folder>\<name>: a program shipped beside this one. Empty when this
// program's own path cannot be read whole.
std::wstring ExecutableFolderFile(std::wstring_view name);

// <exe folder>\bin\<name> when that exists, else <exe folder>\<name>.
std::filesystem::path ExecutableSiblingPath(std::wstring_view name);
