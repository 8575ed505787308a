// The per-user data folder. Apart from the executable-relative paths, so that
// a program that needs only those (the privileged one) does not link shell32.
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
