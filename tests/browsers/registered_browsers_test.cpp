// QueryRegisteredBrowsers against the real registry under Wine. Each test
// starts from empty registration and UserChoice keys: whatever was there is
// saved in memory first and put back afterwards, and the test's own ProgIds
// are removed.
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "browsers/registered_browsers.h"
#include "common/text.h"
#include "common/unique_resource.h"

namespace {

constexpr wchar_t kMachine64[] = L"SOFTWARE\\Clients\\StartMenuInternet";
constexpr wchar_t kMachine32[] = L"SOFTWARE\\WOW6432Node\\Clients\\StartMenuInternet";
constexpr wchar_t kChoiceHttp[] =
    L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoice";
constexpr wchar_t kChoiceHttps[] =
    L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\https\\UserChoice";

// A key with its values and sub-keys, kept in memory.
struct KeySnapshot {
  bool existed = false;
  std::vector<std::pair<std::wstring, std::pair<DWORD, std::vector<BYTE>>>> values;
  std::vector<std::pair<std::wstring, KeySnapshot>> children;
};

KeySnapshot Capture(HKEY root, const std::wstring& path) {
  KeySnapshot snapshot;
  tovix::UniqueHkey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return snapshot;
  snapshot.existed = true;
  for (DWORD i = 0;; ++i) {
    wchar_t name[16384];
    DWORD nameChars = 16384, type = 0, bytes = 0;
    if (RegEnumValueW(key.get(), i, name, &nameChars, nullptr, &type, nullptr, &bytes) !=
        ERROR_SUCCESS) {
      break;
    }
    std::vector<BYTE> data(bytes);
    nameChars = 16384;
    RegEnumValueW(key.get(), i, name, &nameChars, nullptr, &type, data.data(), &bytes);
    snapshot.values.push_back({std::wstring(name, nameChars), {type, data}});
  }
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD nameChars = 256;
    if (RegEnumKeyExW(key.get(), i, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    std::wstring child(name, nameChars);
    snapshot.children.push_back({child, Capture(root, path + L"\\" + child)});
  }
  return snapshot;
}

void Restore(HKEY root, const std::wstring& path, const KeySnapshot& snapshot) {
  if (!snapshot.existed) return;
  tovix::UniqueHkey key;
  RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
  for (const auto& [name, value] : snapshot.values) {
    RegSetValueExW(key.get(), name.c_str(), 0, value.first, value.second.data(),
                   static_cast<DWORD>(value.second.size()));
  }
  for (const auto& [name, child] : snapshot.children) Restore(root, path + L"\\" + name, child);
}

void SetValue(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text,
              DWORD type = REG_SZ) {
  LSTATUS status =
      RegSetKeyValueW(root, path.c_str(), name, type, text.c_str(),
                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  ASSERT_EQ(status, ERROR_SUCCESS) << status;
}

void Register(HKEY root, const std::wstring& key, const std::wstring& browser,
              const std::wstring& command, DWORD type = REG_SZ) {
  SetValue(root, key + L"\\" + browser + L"\\shell\\open\\command", nullptr, command, type);
}

std::string Utf8(const std::wstring& text) { return ToUtf8(text); }

class RegisteredBrowsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pid_ = std::to_wstring(GetCurrentProcessId());
    places_ = {{HKEY_LOCAL_MACHINE, kMachine64}, {HKEY_LOCAL_MACHINE, kMachine32},
               {HKEY_CURRENT_USER, kMachine64},  {HKEY_CURRENT_USER, kMachine32},
               {HKEY_CURRENT_USER, kChoiceHttp}, {HKEY_CURRENT_USER, kChoiceHttps}};
    for (const auto& [root, path] : places_) {
      saved_.push_back(Capture(root, path));
      RegDeleteTreeW(root, path.c_str());
    }
  }
  void TearDown() override {
    for (std::size_t i = 0; i < places_.size(); ++i) {
      RegDeleteTreeW(places_[i].first, places_[i].second.c_str());
      Restore(places_[i].first, places_[i].second, saved_[i]);
    }
    for (const std::wstring& progId : progIds_) RegDeleteTreeW(HKEY_CLASSES_ROOT, progId.c_str());
  }

  // A default handler for a protocol, through a ProgId of this test written
  // through HKEY_CLASSES_ROOT (Wine's view of it holds only the machine's
  // classes, so a ProgId under the user's classes would not be seen there).
  void Choose(const wchar_t* choiceKey, const std::wstring& name, const std::wstring& command) {
    std::wstring progId = L"TovixTest." + name + L"." + pid_;
    progIds_.push_back(progId);
    SetValue(HKEY_CLASSES_ROOT, progId + L"\\shell\\open\\command", nullptr, command);
    SetValue(HKEY_CURRENT_USER, choiceKey, L"ProgId", progId);
  }

  std::wstring pid_;
  std::vector<std::pair<HKEY, std::wstring>> places_;
  std::vector<KeySnapshot> saved_;
  std::vector<std::wstring> progIds_;
};

TEST_F(RegisteredBrowsersTest, NothingRegisteredGivesAnEmptyList) {
  EXPECT_TRUE(QueryRegisteredBrowsers().empty());
}

TEST_F(RegisteredBrowsersTest, ListsHivesAndViewsInOrderThenTheDefaults) {
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"A Alpha", L"\"C:\\Alpha\\alpha.exe\" --url %1");
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"B Beta",
           L"C:\\Program Files\\Beta\\beta.EXE --single-argument %1");
  Register(HKEY_LOCAL_MACHINE, kMachine32, L"C Gamma", L"%SystemRoot%\\gamma.exe",
           REG_EXPAND_SZ);
  Register(HKEY_CURRENT_USER, kMachine64, L"D Delta", L"\"C:\\Users\\me\\delta.exe\"");
  Register(HKEY_CURRENT_USER, kMachine32, L"E Eps", L"C:\\Eps\\eps.exe");
  Choose(kChoiceHttp, L"Http", L"\"C:\\Alpha\\alpha.exe\" -- \"%1\"");
  Choose(kChoiceHttps, L"Https", L"\"C:\\Zeta\\zeta.exe\" %1");

  wchar_t root[MAX_PATH] = {};
  ExpandEnvironmentStringsW(L"%SystemRoot%", root, MAX_PATH);
  std::vector<std::string> expected = {
      "C:\\Alpha\\alpha.exe",      "C:\\Program Files\\Beta\\beta.EXE",
      Utf8(root) + "\\gamma.exe",  "C:\\Users\\me\\delta.exe",
      "C:\\Eps\\eps.exe",          "C:\\Alpha\\alpha.exe",
      "C:\\Zeta\\zeta.exe"};
  EXPECT_EQ(QueryRegisteredBrowsers(), expected);
}

TEST_F(RegisteredBrowsersTest, SameBrowserEverywhereIsListedEachTime) {
  const std::wstring command = L"\"C:\\Program Files\\Browser\\browser.exe\" --single-argument %1";
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"Browser", command);
  Register(HKEY_LOCAL_MACHINE, kMachine32, L"Browser", command);
  Choose(kChoiceHttp, L"Browser", command);
  SetValue(HKEY_CURRENT_USER, kChoiceHttps, L"ProgId", progIds_.back());
  std::vector<std::string> browsers = QueryRegisteredBrowsers();
  EXPECT_EQ(browsers, std::vector<std::string>(4, "C:\\Program Files\\Browser\\browser.exe"));
}

TEST_F(RegisteredBrowsersTest, WithoutAnHttpChoiceOnlyRegistrationsAndHttpsRemain) {
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"Browser", L"C:\\B\\browser.exe");
  EXPECT_EQ(QueryRegisteredBrowsers(), std::vector<std::string>{"C:\\B\\browser.exe"});

  Choose(kChoiceHttps, L"Secure", L"C:\\S\\secure.exe %1");
  EXPECT_EQ(QueryRegisteredBrowsers(),
            (std::vector<std::string>{"C:\\B\\browser.exe", "C:\\S\\secure.exe"}));

  // A choice naming a ProgId that has no command, or an empty ProgId.
  SetValue(HKEY_CURRENT_USER, kChoiceHttp, L"ProgId", L"TovixTest.Missing." + pid_);
  SetValue(HKEY_CURRENT_USER, kChoiceHttps, L"ProgId", L"");
  EXPECT_EQ(QueryRegisteredBrowsers(), std::vector<std::string>{"C:\\B\\browser.exe"});
}

TEST_F(RegisteredBrowsersTest, UnusableRegistrationsAreLeftOut) {
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"a-good", L"\"C:\\Good\\good.exe\"");
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"b-script", L"C:\\x\\run.cmd /c %1");
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"c-unclosed", L"\"C:\\x\\browser.exe --flag");
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"d-empty-quotes", L"\"\" C:\\x\\y.exe");
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"e-empty", L"");
  DWORD number = 7;
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                            (std::wstring(kMachine64) + L"\\f-dword\\shell\\open\\command").c_str(),
                            nullptr, REG_DWORD, &number, sizeof number),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE,
                            (std::wstring(kMachine64) + L"\\g-binary\\shell\\open\\command").c_str(),
                            nullptr, REG_BINARY, L"C:\\b.exe", 18),
            ERROR_SUCCESS);
  SetValue(HKEY_LOCAL_MACHINE, std::wstring(kMachine64) + L"\\h-no-command", L"x", L"C:\\h.exe");
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"i-last", L"C:\\Last\\last.exe");
  EXPECT_EQ(QueryRegisteredBrowsers(),
            (std::vector<std::string>{"C:\\Good\\good.exe", "C:\\Last\\last.exe"}));
}

TEST_F(RegisteredBrowsersTest, CommandsBeyondFourKilobytesAreLeftOut) {
  // 2046 characters and a terminator: 4094 bytes, read.
  std::wstring fits = L"C:\\" + std::wstring(2037, L'f') + L"\\f.exe";
  ASSERT_EQ(fits.size(), 2046u);
  // 2048 characters and a terminator: 4098 bytes, larger than the buffer.
  std::wstring tooLong = L"C:\\" + std::wstring(2039, L'g') + L"\\g.exe";
  ASSERT_EQ(tooLong.size(), 2048u);
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"a-fits", fits);
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"b-too-long", tooLong);
  // Short as stored, too long once expanded; and the same variable in a
  // short command, expanded.
  SetEnvironmentVariableW(L"TOVIX_TEST_LONG", std::wstring(500, L'v').c_str());
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"c-expands",
           L"C:\\" + std::wstring(1900, L'e') + L"%TOVIX_TEST_LONG%\\e.exe", REG_EXPAND_SZ);
  Register(HKEY_LOCAL_MACHINE, kMachine64, L"d-expands", L"C:\\%TOVIX_TEST_LONG%\\d.exe",
           REG_EXPAND_SZ);
  // A ProgId too long to read skips its protocol.
  SetValue(HKEY_CURRENT_USER, kChoiceHttp, L"ProgId", std::wstring(2100, L'p'));
  EXPECT_EQ(QueryRegisteredBrowsers(),
            (std::vector<std::string>{Utf8(fits), "C:\\" + std::string(500, 'v') + "\\d.exe"}));
  SetEnvironmentVariableW(L"TOVIX_TEST_LONG", nullptr);
}

TEST_F(RegisteredBrowsersTest, AtMost256RegistrationsPerKey) {
  for (int i = 0; i < 300; ++i) {
    wchar_t name[16];
    swprintf(name, 16, L"b%03d", i);
    Register(HKEY_LOCAL_MACHINE, kMachine64, name, std::wstring(L"C:\\") + name + L".exe");
  }
  Register(HKEY_CURRENT_USER, kMachine64, L"User", L"C:\\user.exe");
  std::vector<std::string> browsers = QueryRegisteredBrowsers();
  ASSERT_EQ(browsers.size(), 257u);
  // The first 256 in enumeration order, then the next key still counts.
  tovix::UniqueHkey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachine64, 0, KEY_READ, key.put()), ERROR_SUCCESS);
  for (DWORD i = 0; i < 256; ++i) {
    wchar_t name[256];
    DWORD chars = 256;
    ASSERT_EQ(RegEnumKeyExW(key.get(), i, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(browsers[i], "C:\\" + Utf8(name) + ".exe") << i;
  }
  EXPECT_EQ(browsers.back(), "C:\\user.exe");
}

}  // namespace
