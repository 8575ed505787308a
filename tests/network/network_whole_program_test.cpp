// Tovix.exe as a whole under Wine, seen from the network side: the clean-up
// switch, the sweep of a leftover rule when the privileged program starts
// (the first "start") with its note in that session's log, and the rule's
// life around a core start and stop, and around the end of Tovix.exe or of
// the privileged program or the installed service. The last ones need an adapter named "Kelpmarrow":
// netns_tunnel_dns.sh runs them in a network namespace (TOVIX_NETNS_TUNNEL
// set); elsewhere they are skipped.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "common/text.h"
#include "service/dns_rule/dns_guard.h"
#include "service/dns_rule/dns_policy.h"
#include "network_test_support.h"
#include "shell/whole_program.h"
#include "support/installed_service.h"

namespace {

using flutter::EncodableValue;
using whole_program::MethodCallHex;
using whole_program::ReplyTo;
using whole_program::ScratchInstall;

const std::string kCore = "kelpmarrow.vpn/core";
const std::string kConfig =
    R"({"inbounds":[{"type":"tun","interface_name":"Kelpmarrow"}],"outbounds":[{"type":"direct"}]})";

std::wstring RulePath() {
  return MachineDnsPolicyTarget().ruleParentPath + L"\\" + kDnsPolicyRuleKeyName;
}

const std::wstring kGroupPolicyPath = MachineDnsPolicyTarget().groupPolicyPath;
const wchar_t kServiceProgram[] = L"TovixService.exe";

// Running processes of this executable name.
int CountProcesses(const wchar_t* exeName) {
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, exeName) == 0) ++count;
  }
  return count;
}

// The first running process of this executable name whose parent is
// `parent`; 0 when there is none.
DWORD ChildProcess(DWORD parent, const wchar_t* exeName) {
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == parent && _wcsicmp(entry.szExeFile, exeName) == 0) {
      return entry.th32ProcessID;
    }
  }
  return 0;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += line + "\n";
  return out;
}

// The n-th reply on the core channel, as text ("\"none\"" for a string).
std::string CoreReply(const std::vector<std::string>& transcript, size_t n) {
  const auto reply = ReplyTo(transcript, kCore, n);
  if (!reply || reply->kind != transcript::Reply::Kind::kSuccess) return "<no success reply>";
  return transcript::DescribeValue(reply->value);
}

std::string Unquoted(const std::string& text) {
  return text.size() >= 2 && text.front() == '"' ? text.substr(1, text.size() - 2) : text;
}

// "[dns_policy]" texts of the last session in a session log file (sessions
// started within one second share it).
std::vector<std::string> DnsLines(const std::filesystem::path& log) {
  std::vector<std::string> texts;
  std::ifstream file(log, std::ios::binary);
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("=== Kelp Marrow session start ", 0) == 0) texts.clear();
    const size_t at = line.find("] [dns_policy] ");
    if (at != std::string::npos) texts.push_back(line.substr(at + 15));
  }
  return texts;
}

class NetworkWholeProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, RulePath().c_str());
    if (!std::filesystem::exists(install.folder() / L"bin" / L"sing-box.exe")) {
      coreMissing = true;
    }
  }
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, RulePath().c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kGroupPolicyPath.c_str());
    // Left by a removed rule for the next session log, whichever test's it is.
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsGuardNoteKey);
  }
  // A rule as a crashed run leaves it, with a sub-key, which goes with it.
  void PlantRule() {
    ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), {L"10.9.9.9", L"1.1.1.1"}), 0);
    ASSERT_EQ(nettest::CreateKey(HKEY_LOCAL_MACHINE, RulePath() + L"\\sub", REG_OPTION_VOLATILE),
              ERROR_SUCCESS);
  }
  // Starts a core through the UI and waits until its rule exists.
  whole_program::Process StartConnected(std::string* logPath) {
    auto app = install.Start(
        {}, {"call kelpmarrow.vpn/events " + whole_program::ListenHex(),
             "call " + kCore + " " + MethodCallHex("start", EncodableValue(kConfig)),
             "call " + kCore + " " + MethodCallHex("logPath")});
    EXPECT_TRUE(nettest::WaitFor([&] { return ReplyTo(app.Transcript(), kCore, 1).has_value(); },
                                 std::chrono::seconds(30)))
        << Joined(app.Transcript());
    EXPECT_EQ(CoreReply(app.Transcript(), 0), "true");
    if (logPath) *logPath = Unquoted(CoreReply(app.Transcript(), 1));
    EXPECT_TRUE(nettest::WaitFor([] { return nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath()); },
                                 std::chrono::seconds(20)));
    return app;
  }
  ScratchInstall install;
  bool coreMissing = false;
};

TEST_F(NetworkWholeProgram, CleanupSwitchRemovesRuleAndPhantomAdapter) {
  PlantRule();
  // A phantom Wintun node of ours, registered in Wine's device tree.
  GUID guidValue{};
  CoCreateGuid(&guidValue);
  wchar_t guid[64] = {};
  StringFromGUID2(guidValue, guid, 64);
  const std::wstring id = std::wstring(L"SWD\\Wintun\\") + guid;
  const std::wstring nameKey =
      std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Network\\"
                   L"{4D36E972-E325-11CE-BFC1-08002BE10318}\\") + guid;
  auto nodeExists = [&] {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_NET, nullptr);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    const bool found = SetupDiOpenDeviceInfoW(set, id.c_str(), nullptr, 0, &info);
    if (found) SetupDiCallClassInstaller(DIF_REMOVE, set, &info);  // removal in any case
    SetupDiDestroyDeviceInfoList(set);
    return found;
  };
  {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_NET, nullptr);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    const bool made = SetupDiCreateDeviceInfoW(set, id.c_str(), &GUID_DEVCLASS_NET, nullptr,
                                               nullptr, 0, &info) &&
                      SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &info);
    SetupDiDestroyDeviceInfoList(set);
    ASSERT_TRUE(made);
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, (nameKey + L"\\Connection").c_str(), L"Name", REG_SZ,
                    L"Kelpmarrow 9", 26);
  }

  auto run = install.Run({L"--km-cleanup"}, {}, 60000, L"cleanup");
  const bool nodeWasLeft = nodeExists();
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, nameKey.c_str());
  ASSERT_TRUE(run.exitCode.has_value());
  EXPECT_EQ(*run.exitCode, 0u);
  EXPECT_TRUE(run.transcript.empty()) << Joined(run.transcript);
  EXPECT_FALSE(nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath()));
  EXPECT_FALSE(nodeWasLeft);
}

TEST_F(NetworkWholeProgram, LeftoverRuleIsSweptWhenThePrivilegedSideStartsAndNotedOnce) {
  if (coreMissing) GTEST_SKIP() << "the sing-box stand-in is not built";
  PlantRule();
  // A window without a start needs no privileged program, and none is started.
  auto app = install.Start({}, {"call " + kCore + " " + MethodCallHex("dnsPolicyState")});
  ASSERT_TRUE(app.WaitForLine("reply " + kCore, 30000, true)) << Joined(app.Transcript());
  EXPECT_EQ(CoreReply(app.Transcript(), 0), "\"none\"");
  EXPECT_EQ(ChildProcess(app.id(), kServiceProgram), 0u);
  app.Close();
  ASSERT_TRUE(app.Wait(30000).has_value());

  // The first start starts it, and it sweeps the rule at once; the note goes
  // into that session's log, once. This run starts a core, so its worker
  // also reports (no "Kelpmarrow" adapter here unless run in the namespace).
  auto run = install.Run(
      {}, {"call " + kCore + " " + MethodCallHex("start", EncodableValue(kConfig)),
           "call " + kCore + " " + MethodCallHex("logPath"), "sleep 6000",
           "call " + kCore + " " + MethodCallHex("dnsPolicyState"),
           "call " + kCore + " " + MethodCallHex("stop"),
           "call " + kCore + " " + MethodCallHex("dnsPolicyState"), "close"},
      90000, L"second");
  ASSERT_TRUE(run.exitCode.has_value()) << Joined(run.transcript);
  EXPECT_EQ(CoreReply(run.transcript, 0), "true") << Joined(run.transcript);
  const std::string logPath = Unquoted(CoreReply(run.transcript, 1));
  const std::string during = CoreReply(run.transcript, 2);
  EXPECT_EQ(CoreReply(run.transcript, 4), "\"none\"");
  const auto lines = DnsLines(std::filesystem::path(ToUtf16(logPath)));
  ASSERT_FALSE(lines.empty()) << logPath;
  EXPECT_EQ(lines[0], "swept a rule left by a previous session");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "swept a rule left by a previous session"), 1);
  if (std::getenv("TOVIX_NETNS_TUNNEL") == nullptr) {
    EXPECT_EQ(during, "\"no_tunnel_dns\"");
    EXPECT_EQ(lines, (std::vector<std::string>{"swept a rule left by a previous session",
                                               "no_tunnel_dns"}));
  }
  EXPECT_FALSE(nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath()));
}

#define SKIP_WITHOUT_TUNNEL()                                                          \
  if (std::getenv("TOVIX_NETNS_TUNNEL") == nullptr) {                                  \
    GTEST_SKIP() << "needs an adapter named Kelpmarrow (run by netns_tunnel_dns.sh)"; \
  }                                                                                    \
  if (coreMissing) GTEST_SKIP() << "the sing-box stand-in is not built"

TEST_F(NetworkWholeProgram, RuleLivesWhileTheCoreRuns) {
  SKIP_WITHOUT_TUNNEL();
  auto app = install.Start(
      {}, {"call " + kCore + " " + MethodCallHex("start", EncodableValue(kConfig)),
           "call " + kCore + " " + MethodCallHex("logPath"), "sleep 6000",
           "call " + kCore + " " + MethodCallHex("dnsPolicyState")});
  ASSERT_TRUE(app.WaitForLine("reply " + kCore, 30000, true)) << Joined(app.Transcript());
  // The rule's key comes before its values: wait for the servers themselves.
  EXPECT_TRUE(nettest::WaitFor(
      [] {
        return nettest::ReadRaw(HKEY_LOCAL_MACHINE, RulePath(), L"GenericDNSServers").has_value();
      },
      std::chrono::seconds(20)));
  const auto servers = nettest::ReadRaw(HKEY_LOCAL_MACHINE, RulePath(), L"GenericDNSServers");
  ASSERT_TRUE(servers.has_value());
  EXPECT_EQ(servers->bytes, nettest::Utf16Bytes(L"172.19.0.2;fd00::2;1.1.1.1"));
  EXPECT_EQ(nettest::CreateKey(HKEY_LOCAL_MACHINE, RulePath() + L"\\probe"),
            ERROR_CHILD_MUST_BE_VOLATILE);
  ASSERT_TRUE(nettest::WaitFor(
      [&] { return whole_program::IndexOf(app.Transcript(), "reply " + kCore, true) >= 0 &&
                   ReplyTo(app.Transcript(), kCore, 2).has_value(); },
      std::chrono::seconds(40)));
  EXPECT_EQ(CoreReply(app.Transcript(), 0), "true");
  EXPECT_EQ(CoreReply(app.Transcript(), 2), "\"installed\"");
  const std::string logPath = Unquoted(CoreReply(app.Transcript(), 1));

  // Closing the window stops the core, which removes the rule and releases
  // the guard: no guard is left, and the privileged program ends too.
  const DWORD broker = ChildProcess(app.id(), kServiceProgram);
  EXPECT_NE(broker, 0u);
  app.Close();
  ASSERT_TRUE(app.Wait(30000).has_value());
  EXPECT_FALSE(nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath()));
  EXPECT_EQ(CountProcesses(kDnsGuardProgram), 0);
  EXPECT_TRUE(nettest::WaitFor([] { return CountProcesses(kServiceProgram) == 0; },
                               std::chrono::seconds(2)));
  EXPECT_EQ(DnsLines(std::filesystem::path(ToUtf16(logPath))),
            (std::vector<std::string>{"installed . -> 172.19.0.2;fd00::2;1.1.1.1",
                                      "removed (stop)"}));
}

TEST_F(NetworkWholeProgram, HostEndedFromOutsideLeavesNeitherCoreNorRule) {
  SKIP_WITHOUT_TUNNEL();
  std::string logPath;
  auto app = StartConnected(&logPath);
  ASSERT_EQ(CountProcesses(kDnsGuardProgram), 1);
  ASSERT_TRUE(TerminateProcess(app.handle(), 9));
  ASSERT_TRUE(app.Wait(5000).has_value());
  // Within two seconds of the host's end, the privileged program's too.
  EXPECT_TRUE(nettest::WaitFor(
      [] { return !nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath()) &&
                  CountProcesses(L"sing-box.exe") == 0 && CountProcesses(kServiceProgram) == 0; },
      std::chrono::seconds(2)));
  EXPECT_TRUE(nettest::WaitFor([] { return CountProcesses(kDnsGuardProgram) == 0; },
                               std::chrono::seconds(5)));

  // The next session log says once, first, that the guard removed the rule.
  auto next = StartConnected(&logPath);
  next.Close();
  ASSERT_TRUE(next.Wait(30000).has_value());
  const auto lines = DnsLines(std::filesystem::path(ToUtf16(logPath)));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "guard removed the rule of a host that ended while connected");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), lines[0]), 1);
}

TEST_F(NetworkWholeProgram, PrivilegedProgramEndedFromOutsideIsReportedAndLeavesNeitherCoreNorRule) {
  SKIP_WITHOUT_TUNNEL();
  auto app = StartConnected(nullptr);
  tovix::UniqueHandle broker(
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, ChildProcess(app.id(), kServiceProgram)));
  ASSERT_TRUE(broker);
  ASSERT_TRUE(TerminateProcess(broker.get(), 9));
  ASSERT_EQ(WaitForSingleObject(broker.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  // Within two seconds: the guard removes the rule, the job ends the core.
  EXPECT_TRUE(nettest::WaitFor(
      [] { return !nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath()) &&
                  CountProcesses(L"sing-box.exe") == 0; },
      std::chrono::seconds(2)));
  // The UI hears it as after a core exit, and the window keeps running.
  const auto events = [&] {
    std::vector<std::string> found;
    for (const auto& line : app.Transcript()) {
      if (line.rfind("send kelpmarrow.vpn/events ", 0) == 0) {
        found.push_back(transcript::RenderLine(line));
      }
    }
    return found;
  };
  ASSERT_TRUE(nettest::WaitFor([&] { return events().size() >= 2; }, std::chrono::seconds(5)));
  const auto sent = events();
  EXPECT_NE(sent[sent.size() - 2].find("\"state\": \"error\""), std::string::npos) << Joined(sent);
  EXPECT_NE(sent[sent.size() - 2].find("VPN service ended unexpectedly"), std::string::npos);
  EXPECT_NE(sent.back().find("\"state\": \"network_lost\""), std::string::npos) << Joined(sent);
  EXPECT_FALSE(app.Wait(0).has_value());
  app.Close();
  ASSERT_TRUE(app.Wait(30000).has_value());
}

TEST_F(NetworkWholeProgram, InstalledServiceEndedFromOutsideLeavesNeitherCoreNorRule) {
  SKIP_WITHOUT_TUNNEL();
  InstalledService service(install.folder());
  ASSERT_TRUE(service.installed());
  auto app = StartConnected(nullptr);
  tovix::UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, InstalledService::Pid()));
  ASSERT_TRUE(process && TerminateProcess(process.get(), 9));
  // Within two seconds: the guard removes the rule, the job ends the core.
  EXPECT_TRUE(nettest::WaitFor(
      [] { return !nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath()) &&
                  CountProcesses(L"sing-box.exe") == 0; },
      std::chrono::seconds(2)));
  InstalledService::AfterAKill();
  app.Close();
  ASSERT_TRUE(app.Wait(30000).has_value());
}

TEST_F(NetworkWholeProgram, EmptyGroupPolicyKeyGivesPolicyManagedAndNoRule) {
  SKIP_WITHOUT_TUNNEL();
  ASSERT_EQ(nettest::CreateKey(HKEY_LOCAL_MACHINE, kGroupPolicyPath), ERROR_SUCCESS);
  auto run = install.Run(
      {}, {"call " + kCore + " " + MethodCallHex("start", EncodableValue(kConfig)), "sleep 4000",
           "call " + kCore + " " + MethodCallHex("dnsPolicyState"), "close"},
      90000);
  ASSERT_TRUE(run.exitCode.has_value()) << Joined(run.transcript);
  EXPECT_EQ(CoreReply(run.transcript, 0), "true");
  EXPECT_EQ(CoreReply(run.transcript, 1), "\"policy_managed\"");
  EXPECT_FALSE(nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath()));
}

TEST_F(NetworkWholeProgram, GuardStartedByHandWithoutItsHostTouchesNothing) {
  PlantRule();
  // No handles, one only, values that name nothing in the guard, junk.
  const std::wstring guard = (install.folder() / kDnsGuardProgram).wstring();
  for (const std::wstring& arguments :
       {std::wstring(), std::wstring(L"--km-dns-guard 4000000000"),
        std::wstring(L"--km-dns-guard 4000000000 4000000004"),
        std::wstring(L"--km-dns-guard 12x 8")}) {
    std::wstring commandLine = L"\"" + guard + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(guard.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &started));
    CloseHandle(started.hThread);
    tovix::UniqueHandle process(started.hProcess);
    ASSERT_EQ(WaitForSingleObject(process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0))
        << ToUtf8(arguments);
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 1u) << ToUtf8(arguments);
    EXPECT_TRUE(nettest::KeyExists(HKEY_LOCAL_MACHINE, RulePath() + L"\\sub")) << ToUtf8(arguments);
  }
}

}  // namespace
