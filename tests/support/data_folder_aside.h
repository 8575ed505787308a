// Moves the user's real data folder (%LOCALAPPDATA%\Kelpmarrow) aside for the
// length of a test, so that the test starts without one, and puts it back
// afterwards in place of whatever the test left there.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <string>
#include <system_error>

class DataFolderAside {
 public:
  // False when the local application data folder cannot be found.
  bool SetAside() {
    wchar_t local[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local))) return false;
    data_ = std::filesystem::path(local) / L"Kelpmarrow";
    saved_ = std::filesystem::path(local) /
             (L"Kelpmarrow.saved-" + std::to_wstring(::GetCurrentProcessId()));
    if (std::filesystem::exists(data_)) std::filesystem::rename(data_, saved_);
    return true;
  }
  void Restore() {
    std::error_code error;
    std::filesystem::remove_all(data_, error);
    if (std::filesystem::exists(saved_)) std::filesystem::rename(saved_, data_);
  }
  const std::filesystem::path& data() const { return data_; }

 private:
  std::filesystem::path data_, saved_;
};
