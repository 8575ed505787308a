// Data folder and executable-relative paths.
#include "common/paths.h"

#include <windows.h>
#include <shlobj.h>

namespace fs = std::filesystem;

fs::path dataDir() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    return fs::temp_directory_path() / L"Kelpmarrow";
  }
  fs::path dir = fs::path(folder) / L"Kelpmarrow";
  fs::create_directories(dir);  // throws filesystem_error "create_directories"
  return dir;
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
