// The data folder's link check: real folders under Wine, links pretended.
#include "common/plain_folder.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/pretend_link.h"
#include "support/scratch_folder.h"

namespace fs = std::filesystem;

TEST(PlainFolder, LinkAttributesAreTheReparseBitOfAnExistingEntry) {
  EXPECT_FALSE(IsLinkAttributes(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_FALSE(IsLinkAttributes(INVALID_FILE_ATTRIBUTES));
  EXPECT_TRUE(IsLinkAttributes(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_TRUE(IsLinkAttributes(FILE_ATTRIBUTE_REPARSE_POINT));  // a file symbolic link
}

TEST(PlainFolder, RealFoldersPassWithOrWithoutLogs) {
  ScratchFolder data;
  EXPECT_NO_THROW(RequirePlainDataFolder(data.path()));
  fs::create_directory(data.path() / L"logs");
  EXPECT_NO_THROW(RequirePlainDataFolder(data.path()));
}

TEST(PlainFolder, LogsThatIsAFileIsLeftToTheWriterOfTheLog) {
  ScratchFolder data;
  std::ofstream(data.path() / L"logs") << "not a folder";
  EXPECT_NO_THROW(RequirePlainDataFolder(data.path()));
}

TEST(PlainFolder, DataFolderOrLogsThatIsALinkIsRefused) {
  ScratchFolder data;
  fs::create_directory(data.path() / L"logs");
  for (const fs::path& linked : {data.path(), data.path() / L"logs"}) {
    PretendLink link(linked);
    try {
      RequirePlainDataFolder(data.path());
      ADD_FAILURE() << "not refused: " << linked.string();
    } catch (const DataFolderIsLink& e) {
      EXPECT_STREQ(e.what(), "VPN data folder is a link; refusing to use it");
    }
  }
  EXPECT_NO_THROW(RequirePlainDataFolder(data.path())) << "the query is back to the real one";
}
