// The data folder's link check. Any thread.
#include "common/plain_folder.h"

#include <atomic>

namespace {

DWORD SystemAttributes(const wchar_t* path) { return GetFileAttributesW(path); }

std::atomic<FolderAttributesQuery> attributesQuery{&SystemAttributes};

}  // namespace

bool IsLinkAttributes(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void RequirePlainDataFolder(const std::filesystem::path& dataDir) {
  const FolderAttributesQuery query = attributesQuery.load();
  if (IsLinkAttributes(query(dataDir.c_str())) ||
      IsLinkAttributes(query((dataDir / L"logs").c_str()))) {
    throw DataFolderIsLink();
  }
}

void SetFolderAttributesQuery(FolderAttributesQuery query) {
  attributesQuery.store(query ? query : &SystemAttributes);
}
