// The settings document through the real channel: Tovix.exe under Wine with
// the stand-in UI writes it, the program ends, a new run reads it back. The
// data folder of the prefix is moved aside for the test and put back.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include "shell/whole_program.h"
#include "support/data_folder_aside.h"

namespace fs = std::filesystem;
using flutter::EncodableValue;
using whole_program::MethodCallHex;
using whole_program::ReplyTo;

namespace {

constexpr char kChannel[] = "kelpmarrow.secure/preferences";

class SecurePreferencesProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(aside_.SetAside());
    data_ = aside_.data();
  }
  void TearDown() override { aside_.Restore(); }
  std::string Call(const std::string& method, const EncodableValue& arguments) {
    return std::string("call ") + kChannel + " " + MethodCallHex(method, arguments);
  }

  DataFolderAside aside_;
  fs::path data_;
};

TEST_F(SecurePreferencesProgramTest, DocumentSurvivesARestart) {
  const std::string document = "{\"server\":\"n\xC3\xBC" "rnberg\",\"auto\":true}";
  whole_program::ScratchInstall install;

  auto first = install.Run({}, {Call("read", EncodableValue()), Call("write", EncodableValue(document)),
                                Call("write", EncodableValue(int32_t{5})), "close"},
                           60000, L"first");
  ASSERT_EQ(first.exitCode, std::optional<DWORD>(0u));
  auto before = ReplyTo(first.transcript, kChannel, 0);
  auto written = ReplyTo(first.transcript, kChannel, 1);
  auto refused = ReplyTo(first.transcript, kChannel, 2);
  ASSERT_TRUE(before && written && refused);
  EXPECT_EQ(before->kind, transcript::Reply::Kind::kSuccess);
  EXPECT_TRUE(before->value.IsNull()) << "nothing stored yet";
  EXPECT_EQ(written->kind, transcript::Reply::Kind::kSuccess);
  EXPECT_TRUE(written->value.IsNull());
  EXPECT_EQ(refused->kind, transcript::Reply::Kind::kError);
  EXPECT_EQ(refused->code, "bad_payload");
  EXPECT_EQ(refused->message, "Expected settings document");
  EXPECT_TRUE(fs::exists(data_ / L"preferences.dpapi"));

  auto second = install.Run({}, {Call("read", EncodableValue()), Call("Read", EncodableValue()),
                                 "close"},
                            60000, L"second");
  ASSERT_EQ(second.exitCode, std::optional<DWORD>(0u));
  auto read = ReplyTo(second.transcript, kChannel, 0);
  auto unknown = ReplyTo(second.transcript, kChannel, 1);
  ASSERT_TRUE(read && unknown);
  EXPECT_EQ(read->kind, transcript::Reply::Kind::kSuccess);
  const std::string* text = std::get_if<std::string>(&read->value);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(*text, document);
  EXPECT_EQ(unknown->kind, transcript::Reply::Kind::kEmpty) << "not implemented";
}

}  // namespace
