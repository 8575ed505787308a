// While it lives, the link check sees `folder` as a junction (Wine cannot
// make a folder that shows as a reparse point).
#pragma once

#include <filesystem>
#include <string>

#include "common/plain_folder.h"

struct PretendLink {
  static inline std::wstring linked;
  explicit PretendLink(const std::filesystem::path& folder) {
    linked = folder.native();
    SetFolderAttributesQuery([](const wchar_t* path) -> DWORD {
      return linked == path ? FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT
                            : GetFileAttributesW(path);
    });
  }
  ~PretendLink() { SetFolderAttributesQuery(nullptr); }
};
