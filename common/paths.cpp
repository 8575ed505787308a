// Executable-relative paths.
#include "common/paths.h"

#include <windows.h>

namespace fs = std::filesystem;

std::wstring ExecutableFolderFile(std::wstring_view name) {
  constexpr DWORD kModulePathChars = 32768;
  std::wstring path(kModulePathChars, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), kModulePathChars);
  if (length == 0 || length >= kModulePathChars) return {};
  path.resize(length);
  const size_t slash = path.find_last_of(L'\\');
  if (slash == std::wstring::npos) return {};
  return path.substr(0, slash + 1).append(name);
}

fs::path ExecutableSiblingPath(std::wstring_view name) {
  wchar_t module[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  // A cut path (length == MAX_PATH) has no terminator; use what was written.
  fs::path folder = fs::path(std::wstring(module, length < MAX_PATH ? length : MAX_PATH)).parent_path();
  fs::path inBin = folder / L"bin" / fs::path(name);
  std::error_code ec;
  if (fs::exists(inBin, ec)) return inBin;
  return folder / fs::path(name);
}
