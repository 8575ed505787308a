// Session log files on the real file system under Wine: names, stamps, line
// layout, text-mode line ends, pruning, the core log and sharing with other
// processes. Each test uses a scratch data folder of its own.
#include "diagnostics/session_log.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/unique_resource.h"

namespace fs = std::filesystem;

namespace {

const std::string kStamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";

std::string ReadRaw(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a log, after checking that every line feed on disk is stored
// as CR LF and that no CR stands alone.
std::vector<std::string> ReadLines(const fs::path& path) {
  std::string raw = ReadRaw(path);
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r') {
      EXPECT_TRUE(i + 1 < raw.size() && raw[i + 1] == '\n') << "bare CR at " << i;
      continue;
    }
    if (raw[i] == '\n') {
      EXPECT_TRUE(i > 0 && raw[i - 1] == '\r') << "bare LF at " << i;
    }
    text.push_back(raw[i]);
  }
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "last line not ended";
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool Matches(const std::string& line, const std::string& pattern) {
  return std::regex_match(line, std::regex(pattern));
}

std::string Tagged(const std::string& tag, const std::string& text) {
  return R"(\[)" + kStamp + R"(\] )" + tag + " " + text;
}

void Touch(const fs::path& path) { std::ofstream(path, std::ios::binary) << "x"; }

void SetWriteTime(const fs::path& path, int daysAgo) {
  tovix::UniqueFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file) << GetLastError();
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t{};
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  t.QuadPart -= static_cast<ULONGLONG>(daysAgo) * 24 * 3600 * 10000000ULL;
  FILETIME when{t.LowPart, t.HighPart};
  ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &when));
}

std::vector<std::string> NamesWithPrefix(const fs::path& folder, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// "YYYYMMDD-hhmmss" of the local time `offset` seconds from now.
std::wstring FileStampIn(int offset) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER t{};
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  t.QuadPart += static_cast<ULONGLONG>(offset) * 10000000ULL;
  FILETIME utc{t.LowPart, t.HighPart}, local;
  SYSTEMTIME st;
  FileTimeToLocalFileTime(&utc, &local);
  FileTimeToSystemTime(&local, &st);
  wchar_t buffer[32];
  swprintf(buffer, 32, L"%04u%02u%02u-%02u%02u%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
           st.wMinute, st.wSecond);
  return buffer;
}

// "Another process": when this variable names a log, the test program opens
// it for reading and writing as an editor would (sharing read and write),
// checks that it sees the session's lines, appends one of its own, and exits
// before any test runs.
constexpr wchar_t kOtherProcessVariable[] = L"TOVIX_SESSION_LOG_OTHER_PROCESS";

int OtherProcessMain(const wchar_t* path) {
  tovix::UniqueFileHandle file(CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return 2;
  char buffer[4096];
  DWORD read = 0;
  if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) return 3;
  if (std::string(buffer, read).find("visible to others") == std::string::npos) return 3;
  const char extra[] = "appended by another process\r\n";
  DWORD written = 0;
  SetFilePointer(file.get(), 0, nullptr, FILE_END);
  if (!WriteFile(file.get(), extra, sizeof extra - 1, &written, nullptr)) return 4;
  return 0;
}

const bool kOtherProcessChecked = [] {
  wchar_t path[MAX_PATH] = {};
  if (GetEnvironmentVariableW(kOtherProcessVariable, path, MAX_PATH) > 0) {
    ExitProcess(static_cast<UINT>(OtherProcessMain(path)));
  }
  return true;
}();

class SessionLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(temp) / (L"tovix-session-log-" + std::to_wstring(GetCurrentProcessId())) /
           info->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    SessionLog::End();
    std::error_code ec;
    fs::remove_all(dir_.parent_path(), ec);
  }
  fs::path Logs() const { return dir_ / L"logs"; }

  fs::path dir_;
};

TEST(LineStamp, IsLocalTimeWithThreeDigitMilliseconds) {
  SYSTEMTIME before, after;
  GetLocalTime(&before);
  std::string stamp = LineStamp();
  GetLocalTime(&after);
  ASSERT_TRUE(Matches(stamp, kStamp)) << stamp;
  SYSTEMTIME parsed{};
  unsigned y, mo, d, h, mi, s, ms;
  ASSERT_EQ(std::sscanf(stamp.c_str(), "%u-%u-%u %u:%u:%u.%u", &y, &mo, &d, &h, &mi, &s, &ms), 7);
  parsed = {static_cast<WORD>(y), static_cast<WORD>(mo), 0, static_cast<WORD>(d),
            static_cast<WORD>(h), static_cast<WORD>(mi), static_cast<WORD>(s),
            static_cast<WORD>(ms)};
  auto ticks = [](const SYSTEMTIME& st) {
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  };
  EXPECT_LE(ticks(before) / 10000, ticks(parsed) / 10000) << stamp;
  EXPECT_LE(ticks(parsed) / 10000, ticks(after) / 10000) << stamp;
}

TEST_F(SessionLogTest, WritesBannerTaggedLinesAndEndLineWithCrLf) {
  SessionLog::Open(dir_);
  fs::path path = SessionLog::CurrentPath();
  EXPECT_EQ(path.parent_path(), Logs());
  EXPECT_TRUE(Matches(path.filename().string(), R"(singbox-\d{8}-\d{6}\.log)")) << path;

  SessionLog::Write("[boot]", "pid=42 in_job=1");
  SessionLog::Write("[stop]", "already ended\n");
  SessionLog::Write("[health]", "");
  SessionLog::Write("[EVENT:idle]", "");
  SessionLog::Write("[diagnostic]", "first\nsecond");
  SessionLog::Write("[EVENT:error]", "caf\xC3\xA9 \xE2\x9C\x93");
  SessionLog::End();

  std::vector<std::string> lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_TRUE(Matches(lines[0], "=== Kelp Marrow session start " + kStamp + " ===")) << lines[0];
  EXPECT_TRUE(Matches(lines[1], Tagged(R"(\[boot\])", "pid=42 in_job=1"))) << lines[1];
  EXPECT_TRUE(Matches(lines[2], Tagged(R"(\[stop\])", "already ended"))) << lines[2];
  EXPECT_TRUE(Matches(lines[3], Tagged(R"(\[health\])", ""))) << lines[3];
  EXPECT_TRUE(Matches(lines[4], Tagged(R"(\[EVENT:idle\])", ""))) << lines[4];
  EXPECT_TRUE(Matches(lines[5], Tagged(R"(\[diagnostic\])", "first"))) << lines[5];
  EXPECT_EQ(lines[6], "second");
  EXPECT_TRUE(lines[7].find("caf\xC3\xA9 \xE2\x9C\x93") != std::string::npos) << "bytes unchanged";
  EXPECT_TRUE(Matches(lines[8], "=== session end " + kStamp + " ===")) << lines[8];
}

TEST_F(SessionLogTest, LinesOutsideASessionAreLostAndPathIsKept) {
  SessionLog::Write("[boot]", "before any session");  // dropped, no file appears
  EXPECT_FALSE(fs::exists(Logs()));

  SessionLog::Open(dir_);
  fs::path path = SessionLog::CurrentPath();
  SessionLog::Write("[boot]", "inside");
  SessionLog::End();
  std::string afterEnd = ReadRaw(path);

  SessionLog::Write("[stop]", "between sessions");
  SessionLog::WriteCore("core line without core log");
  SessionLog::End();  // nothing open: writes nothing
  EXPECT_EQ(ReadRaw(path), afterEnd);
  EXPECT_EQ(SessionLog::CurrentPath(), path) << "the path survives the end of the session";
  EXPECT_EQ(ReadLines(path).size(), 3u);
}

TEST(SessionLogFresh, CurrentPathIsEmptyBeforeTheFirstOpen) {
  // A death-test child is a fresh process: nothing has been opened there.
  EXPECT_EXIT(std::exit(SessionLog::CurrentPath().empty() ? 0 : 1), ::testing::ExitedWithCode(0),
              "");
}

TEST_F(SessionLogTest, SecondOpenInTheSameSecondKeepsTheFirstSessionsLines) {
  bool sameSecond = false;
  for (int attempt = 0; attempt < 5 && !sameSecond; ++attempt) {
    // Start early in a second so that both opens fall into it.
    while (std::stoi(LineStamp().substr(20)) > 300) Sleep(5);
    SessionLog::Open(dir_);
    fs::path first = SessionLog::CurrentPath();
    SessionLog::Write("[boot]", "first session");
    SessionLog::Open(dir_);  // closes the first one without an end line
    fs::path second = SessionLog::CurrentPath();
    SessionLog::Write("[boot]", "second session");
    SessionLog::End();
    if (first != second) continue;
    sameSecond = true;
    std::vector<std::string> lines = ReadLines(second);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(Matches(lines[0], "=== Kelp Marrow session start .*"));
    EXPECT_TRUE(Matches(lines[1], Tagged(R"(\[boot\])", "first session")));
    EXPECT_TRUE(Matches(lines[2], "=== Kelp Marrow session start .*"));
    EXPECT_TRUE(Matches(lines[3], Tagged(R"(\[boot\])", "second session")));
    EXPECT_TRUE(Matches(lines[4], "=== session end .*"));
    EXPECT_TRUE(Matches(second.filename().string(), R"(singbox-\d{8}-\d{6}\.log)"));
  }
  EXPECT_TRUE(sameSecond) << "never managed two opens within one second";
}

TEST_F(SessionLogTest, LogsVanishingWhilePruningNeverFailTheOpen) {
  // Another program deletes and recreates old logs as fast as it can while
  // sessions open: whichever step of the pruning a file disappears in, the
  // open goes on.
  fs::create_directories(Logs());
  std::atomic<bool> done{false};
  std::thread deleter([&] {
    for (int round = 0; !done.load(); ++round) {
      for (int i = 0; i < 40; ++i) {
        fs::path log = Logs() / (L"singbox-2020-" + std::to_wstring(i) + L".log");
        std::error_code ec;
        if (round % 2 == 0) {
          std::ofstream(log, std::ios::binary) << "x";
        } else {
          fs::remove(log, ec);
        }
      }
    }
  });
  int failures = 0;
  for (int i = 0; i < 500; ++i) {
    try {
      SessionLog::Open(dir_);
    } catch (const fs::filesystem_error&) {
      ++failures;
    }
  }
  done.store(true);
  deleter.join();
  SessionLog::End();
  EXPECT_EQ(failures, 0);
}

TEST_F(SessionLogTest, PendingDnsNoteGoesOnceIntoTheFirstSessionThatOpens) {
  SessionLog::SetPendingDnsNote("swept a rule left by a previous session");

  // A file where the log folder should be: the folder cannot be created and
  // the session file cannot be opened. The note must wait.
  fs::path blocked = dir_ / L"blocked";
  fs::create_directories(blocked);
  Touch(blocked / L"logs");
  SessionLog::Open(blocked);
  fs::path tried = SessionLog::CurrentPath();
  EXPECT_EQ(tried.parent_path(), blocked / L"logs") << "the path that was tried is kept";
  SessionLog::Write("[boot]", "dropped");
  SessionLog::End();
  EXPECT_FALSE(fs::is_directory(blocked / L"logs"));

  SessionLog::Open(dir_);
  fs::path noted = SessionLog::CurrentPath();
  SessionLog::Write("[boot]", "after the note");
  std::vector<std::string> lines = ReadLines(noted);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(
      Matches(lines[1], Tagged(R"(\[dns_policy\])", "swept a rule left by a previous session")))
      << lines[1];

  fs::path other = dir_ / L"other";
  SessionLog::Open(other);
  SessionLog::End();
  std::vector<std::string> next = ReadLines(SessionLog::CurrentPath());
  ASSERT_EQ(next.size(), 2u) << "banner and end line only: the note was used up";
}

TEST_F(SessionLogTest, OpenPrunesTwelveSessionLogsToElevenByWriteTime) {
  fs::create_directories(Logs());
  // Names out of time order: the write time decides, not the name.
  std::vector<std::pair<std::wstring, int>> old = {
      {L"singbox-20200101-000000.log", 3}, {L"singbox-20200101-000001.log", 50},
      {L"singbox-20190101-000000.log", 1}, {L"singbox-notes.txt", 40},
      {L"singbox-20200101-000003.log", 5}, {L"singbox-20200101-000004.log", 6},
      {L"singbox-20200101-000005.log", 7}, {L"singbox-20200101-000006.log", 8},
      {L"singbox-20200101-000007.log", 9}, {L"singbox-20200101-000008.log", 10},
      {L"singbox-20200101-000009.log", 11}, {L"singbox-20200101-000010.log", 12}};
  for (const auto& [name, days] : old) {
    Touch(Logs() / name);
    SetWriteTime(Logs() / name, days);
  }
  fs::create_directories(Logs() / L"singbox-folder");  // not a regular file
  Touch(Logs() / L"SINGBOX-upper.log");                // prefix is case-sensitive
  SetWriteTime(Logs() / L"SINGBOX-upper.log", 400);
  for (int i = 0; i < 12; ++i) {
    fs::path core = Logs() / (L"core-2020010" + std::to_wstring(i) + L".log");
    Touch(core);
    SetWriteTime(core, 100 + i);
  }

  SessionLog::Open(dir_);
  SessionLog::End();

  std::vector<std::string> left = NamesWithPrefix(Logs(), "singbox-");
  EXPECT_EQ(left.size(), 12u) << "eleven logs plus the folder";
  EXPECT_FALSE(fs::exists(Logs() / L"singbox-20200101-000001.log")) << "oldest, 50 days";
  EXPECT_FALSE(fs::exists(Logs() / L"singbox-notes.txt")) << "second oldest, 40 days";
  EXPECT_TRUE(fs::exists(Logs() / L"singbox-20190101-000000.log")) << "newest of the old";
  EXPECT_TRUE(fs::is_directory(Logs() / L"singbox-folder"));
  EXPECT_TRUE(fs::exists(Logs() / L"SINGBOX-upper.log"));
  EXPECT_TRUE(fs::exists(SessionLog::CurrentPath()));
  EXPECT_EQ(NamesWithPrefix(Logs(), "core-").size(), 12u) << "no switch: core logs untouched";
}

TEST_F(SessionLogTest, OpenKeepsExactlyTenSessionLogs) {
  fs::create_directories(Logs());
  for (int i = 0; i < 10; ++i) {
    fs::path log = Logs() / (L"singbox-old-" + std::to_wstring(i) + L".log");
    Touch(log);
    SetWriteTime(log, 10 + i);
  }
  SessionLog::Open(dir_);
  SessionLog::End();
  EXPECT_EQ(NamesWithPrefix(Logs(), "singbox-").size(), 11u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(fs::exists(Logs() / (L"singbox-old-" + std::to_wstring(i) + L".log"))) << i;
  }
}

TEST_F(SessionLogTest, PruneOldLogsIgnoresMissingFolders) {
  EXPECT_NO_THROW(PruneOldLogs(dir_ / L"missing", 10, "singbox-"));
  Touch(dir_ / L"a-file");
  EXPECT_NO_THROW(PruneOldLogs(dir_ / L"a-file", 0, "a"));
  EXPECT_TRUE(fs::exists(dir_ / L"a-file"));
}

TEST_F(SessionLogTest, CoreLogOnlyWithTheSwitch) {
  SessionLog::Open(dir_);
  SessionLog::WriteCore("dropped: no switch");
  SessionLog::End();
  EXPECT_TRUE(NamesWithPrefix(Logs(), "core-").empty());
  EXPECT_EQ(ReadLines(SessionLog::CurrentPath()).size(), 2u);

  for (int i = 0; i < 11; ++i) {
    fs::path core = Logs() / (L"core-old-" + std::to_wstring(i) + L".log");
    Touch(core);
    SetWriteTime(core, 10 + i);
  }
  fs::create_directories(dir_ / L"core-diagnostics.on");  // a folder counts too
  SessionLog::Open(dir_);
  fs::path session = SessionLog::CurrentPath();
  SessionLog::WriteCore("sing-box started");
  SessionLog::WriteCore("\nthird of three");  // an empty line, then another
  SessionLog::End();
  SessionLog::WriteCore("after the end");

  std::wstring stamp = session.filename().native().substr(8, 15);
  fs::path core = Logs() / (L"core-" + stamp + L".log");
  std::vector<std::string> coreLines = ReadLines(core);
  ASSERT_EQ(coreLines.size(), 3u);
  EXPECT_TRUE(Matches(coreLines[0], R"(\[)" + kStamp + R"(\] sing-box started)")) << coreLines[0];
  EXPECT_TRUE(Matches(coreLines[1], R"(\[)" + kStamp + R"(\] )")) << coreLines[1];
  EXPECT_TRUE(Matches(coreLines[2], R"(\[)" + kStamp + R"(\] third of three)")) << coreLines[2];
  std::vector<std::string> lines = ReadLines(session);
  // Both opens may fall into one second and so into one file: the second
  // session is the last three lines.
  ASSERT_TRUE(lines.size() == 3u || lines.size() == 5u) << lines.size();
  lines.erase(lines.begin(), lines.end() - 3);
  EXPECT_TRUE(Matches(lines[1], Tagged(R"(\[diagnostic\])", "core log enabled"))) << lines[1];
  EXPECT_EQ(NamesWithPrefix(Logs(), "core-").size(), 11u) << "pruned to ten, then the new one";
  EXPECT_FALSE(fs::exists(Logs() / L"core-old-10.log"));
}

TEST_F(SessionLogTest, CoreLogThatCannotBeOpenedIsNoted) {
  Touch(dir_ / L"core-diagnostics.on");
  fs::create_directories(Logs());
  // Folders named like the core logs of the next seconds: opening fails.
  for (int offset = -1; offset < 6; ++offset) {
    fs::create_directories(Logs() / (L"core-" + FileStampIn(offset) + L".log"));
  }
  SessionLog::Open(dir_);
  SessionLog::WriteCore("dropped");
  SessionLog::Write("[boot]", "still logging");
  SessionLog::End();
  std::vector<std::string> lines = ReadLines(SessionLog::CurrentPath());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(Matches(lines[1], Tagged(R"(\[diagnostic\])", "core log could not be opened")))
      << lines[1];
}

TEST_F(SessionLogTest, AnotherProcessCanReadAndWriteTheOpenLog) {
  SessionLog::Open(dir_);
  SessionLog::Write("[boot]", "visible to others");
  fs::path log = SessionLog::CurrentPath();

  // This test program again, in its "other process" mode (see the top).
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(self) + L"\"";
  SetEnvironmentVariableW(kOtherProcessVariable, log.c_str());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableW(kOtherProcessVariable, nullptr);
  ASSERT_TRUE(started) << GetLastError();
  tovix::UniqueHandle process(pi.hProcess), thread(pi.hThread);
  ASSERT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 0u) << "2: open refused, 3: content not seen, 4: write failed";

  // Renaming or deleting needs delete access, which the log shares too.
  tovix::UniqueFileHandle deleter(CreateFileW(log.c_str(), DELETE,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(deleter) << GetLastError();
  deleter.reset();

  SessionLog::Write("[stop]", "still writing");
  SessionLog::End();
  std::string raw = ReadRaw(log);
  EXPECT_NE(raw.find("[boot] visible to others\r\n"), std::string::npos);
  EXPECT_NE(raw.find("[stop] still writing"), std::string::npos);
}

TEST_F(SessionLogTest, LinesFromManyThreadsNeverInterleave) {
  SessionLog::Open(dir_);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::string text = "thread=" + std::to_string(t) + " " + std::string(200, 'a' + t);
      for (int i = 0; i < 150; ++i) SessionLog::Write("[health]", text);
    });
  }
  for (auto& thread : threads) thread.join();
  SessionLog::End();
  std::vector<std::string> lines = ReadLines(SessionLog::CurrentPath());
  ASSERT_EQ(lines.size(), 2u + 4 * 150);
  const std::regex shape(R"(\[)" + kStamp + R"(\] \[health\] thread=(\d) ([a-d]{200}))");
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i], m, shape)) << i << ": " << lines[i];
    EXPECT_EQ(m[2].str(), std::string(200, 'a' + std::stoi(m[1].str()))) << i;
  }
}

}  // namespace
