// Whole-file store protected with DPAPI for the current user, replaced
// atomically. Stateless; any thread.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace ProtectedFile {

// Raises std::runtime_error with "Settings too large", "Could not protect
// settings", "Could not save protected settings" or "Could not commit
// protected settings", or filesystem_error "create_directories".
void Write(const std::filesystem::path& path, std::string_view data);

// No value when the file does not exist. Raises std::runtime_error with
// "Protected settings unavailable", "Invalid protected settings", "Could not
// read protected settings", "Could not unlock protected settings", or
// filesystem_error "file_size".
std::optional<std::string> Read(const std::filesystem::path& path);

}  // namespace ProtectedFile
