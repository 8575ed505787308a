// Tovix.exe as a whole under Wine: start-up order, replies, the clean-up
// switch, a missing "data" folder, bad scripts and hand-off records, and
// closing while a core runs.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "shell/whole_program.h"

#include <tlhelp32.h>

using flutter::EncodableValue;
using whole_program::IndexOf;
using whole_program::MethodCallHex;
using whole_program::ReplyTo;
using whole_program::ScratchInstall;

namespace {

const std::string kCore = "kelpmarrow.vpn/core";

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  return out;
}

// Processes whose image is sing-box.exe under the given folder.
int CoreProcessesUnder(const std::filesystem::path& folder) {
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return -1;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, L"sing-box.exe") != 0) continue;
    tovix::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    wchar_t image[MAX_PATH * 4] = {};
    DWORD length = MAX_PATH * 4;
    if (process && QueryFullProcessImageNameW(process.get(), 0, image, &length) &&
        std::wstring(image, length).find(folder.wstring()) == 0) {
      ++count;
    }
  }
  return count;
}

// The parent's process id and the image name of each running process.
struct ProcessEntry {
  DWORD parent = 0;
  std::wstring image;
};
std::map<DWORD, ProcessEntry> ProcessTable() {
  std::map<DWORD, ProcessEntry> table;
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return table;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    table[entry.th32ProcessID] = ProcessEntry{entry.th32ParentProcessID, entry.szExeFile};
  }
  return table;
}

}  // namespace

TEST(WholeProgram, StartsInOrderAnswersCallsAndExitsAfterClose) {
  ScratchInstall install;
  auto run = install.Run({L"first", L"two words", L"tovix://x?y=1"},
                         {"call " + kCore + " " + MethodCallHex("prepare"),
                          "call " + kCore + " " + MethodCallHex("status"),
                          "call " + kCore + " " + MethodCallHex("noSuchMethod"),
                          "call other.channel/none " + MethodCallHex("x"),
                          "close"});
  ASSERT_TRUE(run.exitCode.has_value()) << Joined(run.transcript);
  EXPECT_EQ(*run.exitCode, 0u);
  const auto& lines = run.transcript;
  ASSERT_GE(lines.size(), 8u) << Joined(lines);
  EXPECT_EQ(lines[0], "engine args=3 first two words tovix://x?y=1");
  const char* plugins[] = {"AppLinksPluginCApi", "AudioplayersWindowsPlugin", "ConnectivityPlusWindowsPlugin",
                           "FileSelectorWindows", "UrlLauncherWindows"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(lines[1 + i], std::string("plugin ") + plugins[i]);
  int frame = IndexOf(lines, "frame");
  int firstReply = IndexOf(lines, "reply ", true);
  EXPECT_GT(frame, 5);
  EXPECT_GT(firstReply, frame);

  auto prepare = ReplyTo(lines, kCore, 0);
  ASSERT_TRUE(prepare.has_value());
  EXPECT_EQ(prepare->kind, transcript::Reply::Kind::kSuccess);
  EXPECT_EQ(prepare->value, EncodableValue(true));
  auto status = ReplyTo(lines, kCore, 1);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->value, EncodableValue(std::string("idle")));
  auto unknown = ReplyTo(lines, kCore, 2);
  ASSERT_TRUE(unknown.has_value());
  EXPECT_EQ(unknown->kind, transcript::Reply::Kind::kEmpty);  // not implemented
  auto noHandler = ReplyTo(lines, "other.channel/none");
  ASSERT_TRUE(noHandler.has_value());
  EXPECT_EQ(noHandler->kind, transcript::Reply::Kind::kEmpty);
  EXPECT_GE(IndexOf(lines, "script-end"), 0);
}

TEST(WholeProgram, NoArgumentsAndInvalidUtf16Argument) {
  ScratchInstall install;
  auto none = install.Run({}, {"close"});
  ASSERT_TRUE(none.exitCode.has_value());
  EXPECT_EQ(*none.exitCode, 0u);
  ASSERT_FALSE(none.transcript.empty());
  EXPECT_EQ(none.transcript[0], "engine args=0");

  const wchar_t broken[] = {L'a', 0xD800, L'b', 0};
  auto invalid = install.Run({broken, L"ok"}, {"close"});
  ASSERT_TRUE(invalid.exitCode.has_value());
  ASSERT_FALSE(invalid.transcript.empty());
  EXPECT_EQ(invalid.transcript[0], "engine args=2  ok");  // the broken one is empty
}

TEST(WholeProgram, CleanupSwitchRunsWithoutWindowAlsoBesideARunningInstance) {
  ScratchInstall install;
  auto alone = install.Run({L"tovix://x", L"--km-cleanup"}, {}, 60000, L"cleanup");
  ASSERT_TRUE(alone.exitCode.has_value());
  EXPECT_EQ(*alone.exitCode, 0u);
  EXPECT_TRUE(alone.transcript.empty()) << Joined(alone.transcript);  // no engine, no window

  auto primary = install.Start({}, {});
  ASSERT_TRUE(primary.WaitForLine("frame", 20000));
  auto second = install.Run({L"--km-cleanup", L"tovix://y"}, {}, 20000, L"second");
  ASSERT_TRUE(second.exitCode.has_value());
  EXPECT_EQ(*second.exitCode, 0u);
  EXPECT_TRUE(second.transcript.empty());
  EXPECT_EQ(IndexOf(primary.Transcript(), "applink ", true), -1);
  EXPECT_FALSE(primary.Wait(0).has_value());  // still running
  ASSERT_TRUE(primary.Close());
  EXPECT_EQ(primary.Wait(20000), std::optional<DWORD>(0));
}

TEST(WholeProgram, MissingDataFolderExitsOneAndShowsNothing) {
  ScratchInstall install(whole_program::InstallOptions{false, true});
  auto run = install.Run({}, {"close"}, 30000);
  ASSERT_TRUE(run.exitCode.has_value());
  EXPECT_EQ(*run.exitCode, 1u);
  EXPECT_EQ(IndexOf(run.transcript, "frame"), -1);
  EXPECT_EQ(IndexOf(run.transcript, "plugin ", true), -1);
}

TEST(WholeProgram, GarbageScriptIsReportedAndHarmless) {
  ScratchInstall install;
  std::string binary = "\x01\x02\xff\xfe junk";
  std::string longLine(200000, 'z');
  auto run = install.Run({}, {"call " + kCore + " 0", "call " + kCore + " zz", "wait " + kCore + " -5",
                              "sleep forever", "frobnicate", binary, longLine, "call " + kCore + " ",
                              "call " + kCore + " 07", "call " + kCore + " " + MethodCallHex("status"), "close"});
  ASSERT_TRUE(run.exitCode.has_value()) << Joined(run.transcript);
  EXPECT_EQ(*run.exitCode, 0u);
  int badLines = 0;
  for (const auto& line : run.transcript) badLines += line.rfind("bad-line ", 0) == 0 ? 1 : 0;
  EXPECT_EQ(badLines, 7);
  // The empty and the truncated message are answered (as errors or empty), never a crash.
  EXPECT_TRUE(ReplyTo(run.transcript, kCore, 0).has_value());
  EXPECT_TRUE(ReplyTo(run.transcript, kCore, 1).has_value());
  auto status = ReplyTo(run.transcript, kCore, 2);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->value, EncodableValue(std::string("idle")));
}

TEST(WholeProgram, MalformedAndOversizedCopyDataIsSurvived) {
  ScratchInstall install;
  auto app = install.Start({}, {});
  ASSERT_TRUE(app.WaitForLine("frame", 20000));
  HWND window = app.MainWindow(5000);
  ASSERT_NE(window, nullptr);
  auto send = [&](ULONG_PTR kind, void* data, DWORD size) {
    COPYDATASTRUCT record{kind, size, data};
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record), SMTO_BLOCK, 5000,
                               &result);
  };
  std::string noNul = "tovix://no-nul";
  std::string big(4 * 1024 * 1024, 'b');
  send(1026, nullptr, 0);
  EXPECT_FALSE(app.Wait(0).has_value()) << "empty";
  send(1026, noNul.data(), static_cast<DWORD>(noNul.size()));
  EXPECT_FALSE(app.Wait(0).has_value()) << "no nul";
  send(1026, big.data(), static_cast<DWORD>(big.size()));
  EXPECT_FALSE(app.Wait(0).has_value()) << "oversized";
  send(7, noNul.data(), static_cast<DWORD>(noNul.size()));
  EXPECT_TRUE(app.WaitForLine("applink tovix://no-nul", 5000));
  EXPECT_FALSE(app.Wait(100).has_value());  // still running
  ASSERT_TRUE(app.Close());
  EXPECT_EQ(app.Wait(20000), std::optional<DWORD>(0));
}

TEST(WholeProgram, ClosingWhileTheCoreRunsStopsItAndSavesPlacement) {
  ScratchInstall install;
  if (!std::filesystem::exists(install.folder() / L"bin" / L"sing-box.exe")) {
    GTEST_SKIP() << "the sing-box stand-in is not built";
  }
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Kelpmarrow\\Window");
  const std::string config =
      R"({"inbounds":[{"type":"tun","interface_name":"Kelpmarrow"}],"outbounds":[{"type":"direct"}]})";
  auto app = install.Start({}, {"call kelpmarrow.vpn/events " + whole_program::ListenHex(),
                                "call " + kCore + " " + MethodCallHex("start", EncodableValue(config))});
  ASSERT_TRUE(app.WaitForLine("reply " + kCore, 30000, true)) << Joined(app.Transcript());
  auto started = ReplyTo(app.Transcript(), kCore);
  ASSERT_TRUE(started.has_value());
  ASSERT_EQ(started->kind, transcript::Reply::Kind::kSuccess) << started->code << " " << started->message;
  // Wait until the core is up and has said it is ready, then close the
  // window under it.
  auto ready = [&] {
    for (const auto& line : app.Transcript()) {
      if (transcript::RenderLine(line).find("\"state\": \"running\"") != std::string::npos) return true;
    }
    return false;
  };
  for (int i = 0; i < 600 && !ready(); ++i) Sleep(25);
  ASSERT_TRUE(ready()) << Joined(app.Transcript());
  EXPECT_EQ(CoreProcessesUnder(install.folder()), 1);
  // The core is the privileged program's child, and that program Tovix.exe's.
  const auto table = ProcessTable();
  int cores = 0;
  for (const auto& [pid, entry] : table) {
    if (_wcsicmp(entry.image.c_str(), L"sing-box.exe") != 0) continue;
    const auto broker = table.find(entry.parent);
    if (broker == table.end() || broker->second.parent != app.id()) continue;
    EXPECT_EQ(_wcsicmp(broker->second.image.c_str(), L"TovixService.exe"), 0);
    ++cores;
  }
  EXPECT_EQ(cores, 1);
  ASSERT_TRUE(app.Close());
  EXPECT_EQ(app.Wait(30000), std::optional<DWORD>(0)) << Joined(app.Transcript());
  for (int i = 0; i < 100 && CoreProcessesUnder(install.folder()) != 0; ++i) Sleep(25);
  EXPECT_EQ(CoreProcessesUnder(install.folder()), 0);
  // The privileged program ends within 2 s of Tovix.exe.
  const auto brokerLeft = [&] {
    for (const auto& [pid, entry] : ProcessTable()) {
      if (entry.parent == app.id() && _wcsicmp(entry.image.c_str(), L"TovixService.exe") == 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 80 && brokerLeft(); ++i) Sleep(25);
  EXPECT_FALSE(brokerLeft());
  DWORD width = 0;
  DWORD size = sizeof(width);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Kelpmarrow\\Window", L"Width", RRF_RT_REG_DWORD, nullptr,
                         &width, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(width, 480u);
}

TEST(WholeProgram, ResumeFromSleepReachesTheUiAsAnEvent) {
  ScratchInstall install;
  auto app = install.Start({}, {"call kelpmarrow.vpn/events " + whole_program::ListenHex()});
  ASSERT_TRUE(app.WaitForLine("reply kelpmarrow.vpn/events", 20000, true));
  HWND window = app.MainWindow(5000);
  ASSERT_NE(window, nullptr);
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_POWERBROADCAST, 4 /* suspend */, 0, SMTO_BLOCK, 5000, &result);
  SendMessageTimeoutW(window, WM_POWERBROADCAST, 18 /* resume automatic */, 0, SMTO_BLOCK, 5000, &result);
  SendMessageTimeoutW(window, WM_FONTCHANGE, 0, 0, SMTO_BLOCK, 5000, &result);
  auto events = [&] {
    std::vector<std::string> found;
    for (const auto& line : app.Transcript()) {
      if (line.rfind("send kelpmarrow.vpn/events ", 0) == 0) found.push_back(transcript::RenderLine(line));
    }
    return found;
  };
  for (int i = 0; i < 200 && events().empty(); ++i) Sleep(25);
  Sleep(200);  // room for an event that should not come
  std::vector<std::string> sent = events();
  ASSERT_EQ(sent.size(), 1u) << Joined(app.Transcript());
  EXPECT_NE(sent[0].find("\"state\": \"network_restored\""), std::string::npos) << sent[0];
  EXPECT_NE(sent[0].find("Windows resumed"), std::string::npos) << sent[0];
  ASSERT_TRUE(app.Close());
  EXPECT_EQ(app.Wait(20000), std::optional<DWORD>(0));
}
