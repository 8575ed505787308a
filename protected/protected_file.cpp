// DPAPI-protected whole-file store. Any thread.
#include "protected/protected_file.h"

#include <stdexcept>

namespace ProtectedFile {

void Write(const std::filesystem::path&, std::string_view) {
  throw std::runtime_error("Could not protect settings");
}

std::optional<std::string> Read(const std::filesystem::path&) { return std::nullopt; }

}  // namespace ProtectedFile
