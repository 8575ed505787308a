// Makes the host's link check see one folder as a junction, for as long as
// the object lives: Wine cannot make a folder that shows as a reparse point.
// Everything else is answered by the file system.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "common/plain_folder.h"

class PretendLink {
 public:
  explicit PretendLink(const std::filesystem::path& folder) {
    Linked() = folder.native();
    SetFolderAttributesQuery(&Query);
  }
  ~PretendLink() { SetFolderAttributesQuery(nullptr); }
  PretendLink(const PretendLink&) = delete;
  PretendLink& operator=(const PretendLink&) = delete;

 private:
  static std::wstring& Linked() {
    static std::wstring path;
    return path;
  }
  static DWORD Query(const wchar_t* path) {
    if (Linked() == path) return FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return GetFileAttributesW(path);
  }
};
