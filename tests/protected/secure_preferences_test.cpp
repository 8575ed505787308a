// SecurePreferencesHandler called directly with method calls and a recording
// result, against the real data folder, DPAPI and files under Wine. The data
// folder of the prefix is moved aside for each test and put back afterwards.
#include "protected/secure_preferences.h"

#include <windows.h>
#include <shlobj.h>

#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "protected/protected_file.h"
#include "support/allocation_watch.h"
#include "support/data_folder_aside.h"
#include "support/pretend_link.h"

namespace fs = std::filesystem;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::MethodCall;

namespace {

struct Answer {
  enum Kind { kNone, kSuccess, kError, kNotImplemented } kind = kNone;
  int count = 0;
  bool hasValue = false;  // Success(value) rather than Success()
  EncodableValue value;
  std::string code, message;
  bool hasDetails = false;
};

class RecordingResult : public flutter::MethodResult {
 public:
  explicit RecordingResult(Answer* answer) : answer_(answer) {}

 protected:
  void SuccessInternal(const EncodableValue* result) override {
    answer_->kind = Answer::kSuccess;
    ++answer_->count;
    answer_->hasValue = result != nullptr;
    if (result) answer_->value = *result;
  }
  void ErrorInternal(const std::string& code, const std::string& message,
                     const EncodableValue* details) override {
    answer_->kind = Answer::kError;
    ++answer_->count;
    answer_->code = code;
    answer_->message = message;
    answer_->hasDetails = details != nullptr;
  }
  void NotImplementedInternal() override {
    answer_->kind = Answer::kNotImplemented;
    ++answer_->count;
  }

 private:
  Answer* answer_;
};

Answer Call(const std::string& method, std::optional<EncodableValue> arguments) {
  Answer answer;
  MethodCall call(method, arguments ? std::make_unique<EncodableValue>(std::move(*arguments))
                                    : nullptr);
  SecurePreferencesHandler(call, std::make_unique<RecordingResult>(&answer));
  EXPECT_EQ(answer.count, 1) << "every call is answered exactly once";
  return answer;
}

Answer Write(const std::string& document) { return Call("write", EncodableValue(document)); }
Answer Read() { return Call("read", EncodableValue()); }

// A success whose value is null (with or without an explicit value).
bool IsNullSuccess(const Answer& a) {
  return a.kind == Answer::kSuccess && (!a.hasValue || a.value.IsNull());
}

std::optional<std::string> DocumentOf(const Answer& a) {
  if (a.kind != Answer::kSuccess || !a.hasValue) return std::nullopt;
  const std::string* text = std::get_if<std::string>(&a.value);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

void ExpectUnavailable(const Answer& a) {
  EXPECT_EQ(a.kind, Answer::kError);
  EXPECT_EQ(a.code, "secure_storage");
  EXPECT_EQ(a.message, "Windows protected settings unavailable");
  EXPECT_FALSE(a.hasDetails);
}

void ExpectBadPayload(const Answer& a) {
  EXPECT_EQ(a.kind, Answer::kError);
  EXPECT_EQ(a.code, "bad_payload");
  EXPECT_EQ(a.message, "Expected settings document");
  EXPECT_FALSE(a.hasDetails);
}

class SecurePreferencesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(aside_.SetAside());
    data_ = aside_.data();
    file_ = data_ / L"preferences.dpapi";
  }
  void TearDown() override { aside_.Restore(); }

  DataFolderAside aside_;
  fs::path data_, file_;
};

TEST_F(SecurePreferencesTest, ReadBeforeAnyWriteIsNullAndCreatesOnlyTheFolder) {
  Answer a = Read();
  EXPECT_TRUE(IsNullSuccess(a));
  EXPECT_TRUE(fs::is_directory(data_));
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_TRUE(IsNullSuccess(Call("read", std::nullopt))) << "read ignores its arguments";
}

TEST_F(SecurePreferencesTest, WrittenDocumentReadsBackIdentically) {
  const std::string document("{\"theme\":\"dark\",\"name\":\"J\xC3\xBCrgen \xE2\x9C\x93\"}\0tail", 45);
  EXPECT_TRUE(IsNullSuccess(Write(document)));
  EXPECT_TRUE(fs::exists(file_));
  EXPECT_EQ(DocumentOf(Read()), document);
  EXPECT_EQ(ProtectedFile::Read(file_), document) << "stored as given, nothing added";

  EXPECT_TRUE(IsNullSuccess(Write("second")));
  EXPECT_EQ(DocumentOf(Read()), "second") << "a write replaces the whole document";
  for (const auto& entry : fs::directory_iterator(data_)) {
    EXPECT_EQ(entry.path().filename().native().find(L".pending-"), std::wstring::npos);
  }
}

TEST_F(SecurePreferencesTest, EmptyDocumentReadsBackAsEmptyString) {
  EXPECT_TRUE(IsNullSuccess(Write("")));
  Answer a = Read();
  ASSERT_TRUE(a.hasValue);
  EXPECT_EQ(DocumentOf(a), std::optional<std::string>(""));
}

TEST_F(SecurePreferencesTest, WriteWithoutAStringIsBadPayloadAndKeepsTheDocument) {
  ASSERT_TRUE(IsNullSuccess(Write("earlier")));
  ExpectBadPayload(Call("write", std::nullopt));
  ExpectBadPayload(Call("write", EncodableValue()));
  ExpectBadPayload(Call("write", EncodableValue(int32_t{7})));
  ExpectBadPayload(Call("write", EncodableValue(int64_t{1} << 40)));
  ExpectBadPayload(Call("write", EncodableValue(true)));
  ExpectBadPayload(
      Call("write", EncodableValue(EncodableMap{{EncodableValue("a"), EncodableValue("b")}})));
  ExpectBadPayload(Call("write", EncodableValue(EncodableList{EncodableValue("doc")})));
  ExpectBadPayload(Call("write", EncodableValue(std::vector<uint8_t>{'d', 'o', 'c'})));
  EXPECT_EQ(DocumentOf(Read()), "earlier");
}

TEST_F(SecurePreferencesTest, LargestDocumentIsStoredAndOneByteMoreIsRefused) {
  const std::string largest(4194304, 'L');
  EXPECT_TRUE(IsNullSuccess(Write(largest)));
  EXPECT_EQ(DocumentOf(Read()), largest);

  ExpectUnavailable(Write(std::string(4194305, 'M')));
  EXPECT_EQ(DocumentOf(Read()), largest) << "the earlier document stays";
}

TEST_F(SecurePreferencesTest, UnreadableFilesAreSecureStorageErrors) {
  fs::create_directories(data_);
  std::ofstream(file_, std::ios::binary) << "not a protected blob";
  ExpectUnavailable(Read());
  EXPECT_TRUE(fs::exists(file_)) << "a damaged file is left alone";

  std::ofstream(file_, std::ios::binary | std::ios::trunc).close();
  ExpectUnavailable(Read());

  // A write replaces what could not be read.
  EXPECT_TRUE(IsNullSuccess(Write("repaired")));
  EXPECT_EQ(DocumentOf(Read()), "repaired");

  fs::remove(file_);
  fs::create_directories(file_);  // a folder under the file's name
  ExpectUnavailable(Read());
  ExpectUnavailable(Write("cannot replace a folder"));
}

TEST_F(SecurePreferencesTest, OtherMethodNamesAreNotImplemented) {
  ASSERT_TRUE(IsNullSuccess(Write("kept")));
  for (const char* name : {"Read", "WRITE", "", "read ", "delete"}) {
    EXPECT_EQ(Call(name, EncodableValue("x")).kind, Answer::kNotImplemented) << name;
  }
  EXPECT_EQ(DocumentOf(Read()), "kept");
}

TEST_F(SecurePreferencesTest, DataFolderThatCannotBeCreatedIsSecureStorageForEveryCall) {
  // A plain file where the data folder belongs.
  std::ofstream(data_, std::ios::binary) << "blocking";
  ExpectUnavailable(Read());
  ExpectUnavailable(Write("doc"));
  ExpectUnavailable(Call("Read", std::nullopt));
  ExpectUnavailable(Call("write", EncodableValue(int32_t{1})));
  fs::remove(data_);
}

}  // namespace

TEST_F(SecurePreferencesTest, WriteIntoALinkedDataFolderIsSecureStorageAndWritesNothing) {
  ASSERT_TRUE(IsNullSuccess(Write("earlier")));
  for (const fs::path& linked : {data_, data_ / L"logs"}) {
    PretendLink link(linked);
    ExpectUnavailable(Write("through the link"));
  }
  EXPECT_EQ(DocumentOf(Read()), "earlier");
}

TEST_F(SecurePreferencesTest, DocumentReadBackIsWipedOnceAnswered) {
  ASSERT_TRUE(IsNullSuccess(Write(std::string(300, 'p'))));
  struct WatchingResult : flutter::MethodResult {  // watches the handler's copy
    void SuccessInternal(const EncodableValue* value) override {
      allocation_watch::Watch(std::get<std::string>(*value).data(), 300);
    }
    void ErrorInternal(const std::string&, const std::string&, const EncodableValue*) override {}
    void NotImplementedInternal() override {}
  };
  SecurePreferencesHandler(MethodCall("read", nullptr), std::make_unique<WatchingResult>());
  EXPECT_EQ(allocation_watch::Watched(), allocation_watch::Freed::kZeroed);
}
