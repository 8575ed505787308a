// The check that keeps the elevated host from writing through links: the data
// folder and its "logs" folder must be plain directories. Any program of the
// user can replace either with a junction or a symbolic link, which would
// turn each delete, create, truncate or replace the host does there into one
// somewhere else. Any thread.
#pragma once

#include <windows.h>

#include <filesystem>
#include <stdexcept>

inline constexpr char kDataFolderIsLinkMessage[] = "VPN data folder is a link; refusing to use it";

class DataFolderIsLink : public std::runtime_error {
 public:
  DataFolderIsLink() : std::runtime_error(kDataFolderIsLinkMessage) {}
};

// Whether the attributes read for a folder (GetFileAttributesW, which does
// not follow a link at the last component) show a link of any kind. A folder
// that does not exist is not a link.
bool IsLinkAttributes(DWORD attributes);

// Raises DataFolderIsLink when `dataDir` or `dataDir\logs` is a link. A
// missing "logs" is fine (the session log creates it); something other than a
// folder in either place is left to the operation that follows, which fails
// on it with its own answer.
void RequirePlainDataFolder(const std::filesystem::path& dataDir);

// Tests only: Wine shows neither junctions nor symbolic links as reparse
// points, so a test puts its own attribute query in place (null restores
// GetFileAttributesW).
using FolderAttributesQuery = DWORD (*)(const wchar_t* path);
void SetFolderAttributesQuery(FolderAttributesQuery query);
