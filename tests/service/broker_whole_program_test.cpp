// Tovix.exe and its broker under Wine, as a whole: the process tree of a
// session, what is left when either program is killed, the configurations
// the broker refuses through "start", and a broker that cannot be had. Then
// the same session through the installed service.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "core/privileged_client.h"
#include "core/core_launch.h"
#include "service/dns_rule/dns_guard.h"
#include "service/dns_rule/dns_policy.h"
#include "shell/whole_program.h"
#include "support/installed_service.h"

namespace {

using flutter::EncodableValue;
using whole_program::MethodCallHex;
using whole_program::ReplyTo;

const std::string kCore = "kelpmarrow.vpn/core";
const std::string kEvents = "kelpmarrow.vpn/events";
const std::string kConfig = R"({"outbounds":[{"type":"direct"}]})";
const std::wstring kRulePath =
    MachineDnsPolicyTarget().ruleParentPath + L"\\" + kDnsPolicyRuleKeyName;

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += transcript::RenderLine(line) + "\n";
  return out;
}

bool WaitFor(const std::function<bool()>& done, DWORD ms) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

struct Running {
  DWORD pid;
  DWORD parent;
  std::wstring exe;
};

std::vector<Running> Processes() {
  std::vector<Running> all;
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    all.push_back({entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile});
  }
  return all;
}

// The children of `parent` named `exe`.
std::vector<DWORD> ChildrenNamed(DWORD parent, const wchar_t* exe) {
  std::vector<DWORD> found;
  for (const Running& process : Processes()) {
    if (process.parent == parent && _wcsicmp(process.exe.c_str(), exe) == 0) {
      found.push_back(process.pid);
    }
  }
  return found;
}

bool Alive(DWORD pid) {
  for (const Running& process : Processes()) {
    if (process.pid == pid) return true;
  }
  return false;
}

bool RuleExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRulePath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// A rule where the broker's would be, as if written for the running core.
void PlantRule() {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRulePath.c_str(), 0, nullptr,
                            REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// The rendered events the UI got, in order.
std::vector<std::string> Events(const whole_program::Process& app) {
  std::vector<std::string> events;
  for (const std::string& line : app.Transcript()) {
    if (line.rfind("send " + kEvents + " ", 0) == 0) events.push_back(transcript::RenderLine(line));
  }
  return events;
}

bool HasEvent(const whole_program::Process& app, const std::string& state) {
  for (const std::string& event : Events(app)) {
    if (event.find("\"state\": \"" + state + "\"") != std::string::npos) return true;
  }
  return false;
}

std::string Call(const std::string& method, const EncodableValue& arguments = EncodableValue()) {
  return "call " + kCore + " " + MethodCallHex(method, arguments);
}

class BrokerWholeProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRulePath.c_str());
    if (!std::filesystem::exists(install.folder() / L"bin" / L"sing-box.exe")) {
      GTEST_SKIP() << "the sing-box stand-in is not built";
    }
  }
  // The note a removed rule leaves for the next session goes too: it would be
  // the first line of whichever test's session log came next.
  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRulePath.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsGuardNoteKey);
  }

  // Starts a session and waits for "running"; `more` follows in the script.
  whole_program::Process StartRunning(std::vector<std::string> more = {}) {
    std::vector<std::string> script = {"call " + kEvents + " " + whole_program::ListenHex(),
                                       Call("start", EncodableValue(kConfig))};
    script.insert(script.end(), more.begin(), more.end());
    whole_program::Process app = install.Start({}, script);
    EXPECT_TRUE(WaitFor([&] { return HasEvent(app, "running"); }, 30000)) << Joined(app.Transcript());
    broker = ChildrenNamed(app.id(), L"TovixService.exe");
    EXPECT_EQ(broker.size(), 1u);
    if (broker.size() == 1) cores = ChildrenNamed(broker[0], L"sing-box.exe");
    EXPECT_EQ(cores.size(), 1u);
    return app;
  }

  bool BrokerAndCoreGone() const {
    for (const DWORD pid : broker) {
      if (Alive(pid)) return false;
    }
    for (const DWORD pid : cores) {
      if (Alive(pid)) return false;
    }
    return true;
  }

  whole_program::ScratchInstall install;
  std::vector<DWORD> broker;
  std::vector<DWORD> cores;
};

TEST_F(BrokerWholeProgram, ASessionRunsItsCoreUnderTheBrokerUnderTovix) {
  // The tree is read while the script sleeps, then the UI stops and closes.
  auto app = StartRunning({"sleep 3000", Call("stop"), "close"});
  ASSERT_EQ(app.Wait(30000), std::optional<DWORD>(0)) << Joined(app.Transcript());
  const auto stopped = ReplyTo(app.Transcript(), kCore, 1);
  ASSERT_TRUE(stopped.has_value());
  EXPECT_EQ(stopped->kind, transcript::Reply::Kind::kSuccess);
  EXPECT_TRUE(HasEvent(app, "idle")) << Joined(app.Transcript());
  EXPECT_TRUE(WaitFor([&] { return BrokerAndCoreGone(); }, 2000));
}

TEST_F(BrokerWholeProgram, TovixKilledTakesBrokerCoreAndRule) {
  auto app = StartRunning();
  PlantRule();
  ASSERT_TRUE(TerminateProcess(app.handle(), 9));
  ASSERT_TRUE(app.Wait(5000).has_value());
  EXPECT_TRUE(WaitFor([&] { return BrokerAndCoreGone() && !RuleExists(); }, 2000))
      << "broker " << Alive(broker[0]) << " core " << Alive(cores[0]) << " rule " << RuleExists();
}

// Killed while the broker waits (up to 5 s) for a core that never reads its
// configuration: the wait ends with Tovix.exe, and the core with it.
TEST_F(BrokerWholeProgram, TovixKilledWhileItsCoreIgnoresTheConfigurationTakesTheCore) {
  std::ofstream(install.folder() / L"bin" / L"standin-core.txt") << "ignore-stdin\n";
  // More than a pipe holds, so that the write waits for the reader.
  const std::string config =
      R"({"outbounds":[{"type":"direct","tag":")" + std::string(1 << 20, 'x') + "\"}]}";
  auto app = install.Start({}, {Call("start", EncodableValue(config))});
  ASSERT_TRUE(WaitFor(
      [&] {
        broker = ChildrenNamed(app.id(), L"TovixService.exe");
        if (broker.size() == 1) cores = ChildrenNamed(broker[0], L"sing-box.exe");
        return cores.size() == 1;
      },
      30000));
  Sleep(1000);  // the broker is now inside its wait
  ASSERT_TRUE(TerminateProcess(app.handle(), 9));
  ASSERT_TRUE(app.Wait(5000).has_value());
  EXPECT_TRUE(WaitFor([&] { return BrokerAndCoreGone(); }, 2000));
}

TEST_F(BrokerWholeProgram, BrokerKilledIsReportedAndTakesTheCore) {
  auto app = StartRunning();
  ASSERT_EQ(broker.size(), 1u);
  tovix::UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, broker[0]));
  ASSERT_TRUE(process && TerminateProcess(process.get(), 9));
  EXPECT_TRUE(WaitFor([&] { return BrokerAndCoreGone(); }, 2000));
  ASSERT_TRUE(WaitFor([&] { return HasEvent(app, "network_lost"); }, 5000)) << Joined(app.Transcript());
  const std::vector<std::string> events = Events(app);
  ASSERT_GE(events.size(), 2u);
  EXPECT_NE(events[events.size() - 2].find("\"state\": \"error\""), std::string::npos);
  EXPECT_NE(events[events.size() - 2].find("VPN service ended unexpectedly"), std::string::npos)
      << Joined(app.Transcript());
  EXPECT_NE(events.back().find("\"state\": \"network_lost\""), std::string::npos);
}

TEST_F(BrokerWholeProgram, StartRefusesFilesOutsideTheFolderAndProgramsLaunchingNothing) {
  const std::string outside = "configuration names a file outside the VPN folder: ";
  struct Row {
    std::string config;
    std::string message;  // empty: connects
  };
  const std::vector<Row> rows = {
      {R"({"log":{"output":"C:\\x.log"}})", outside + "/log/output"},
      {R"({"log":{"output":"C:/x.log"}})", outside + "/log/output"},
      {R"({"log":{"output":"/x.log"}})", outside + "/log/output"},
      {R"({"log":{"output":"C:x.log"}})", outside + "/log/output"},
      {R"({"log":{"output":"\\\\host\\share\\x.log"}})", outside + "/log/output"},
      {R"({"log":{"output":"\\\\.\\pipe\\x"}})", outside + "/log/output"},
      {R"({"log":{"output":"\\\\?\\C:\\x.log"}})", outside + "/log/output"},
      {R"({"log":{"output":"file:///C:/x.log"}})", outside + "/log/output"},
      {R"({"log":{"output":"logs\\..\\..\\x.log"}})", outside + "/log/output"},
      {R"({"outbounds":[{"type":"direct","executable_path":"box.exe"}]})",
       outside + "/outbounds/0/executable_path"},
      {R"({"log":{"output":"x.log"})", "configuration is not valid JSON"},
      {R"({"log":{"output":"box.log"},"outbounds":[{"type":"direct"}]})", ""},
      {R"({"outbounds":[{"type":"vless","server":"a.example","server_port":443,)"
       R"("uuid":"x","transport":{"type":"ws","path":"/ws"}}]})",
       ""},
      {R"({"route":{"rules":[{"process_path":["C:\\Program Files\\A\\a.exe"],)"
       R"("outbound":"direct"}]},"outbounds":[{"type":"direct","tag":"direct"}]})",
       ""},
  };
  std::vector<std::string> script = {"call " + kEvents + " " + whole_program::ListenHex()};
  int connecting = 0;
  for (const Row& row : rows) {
    script.push_back(Call("start", EncodableValue(row.config)));
    if (row.message.empty()) {
      script.push_back(Call("stop"));
      ++connecting;
    }
  }
  script.push_back("close");
  auto app = install.Start({}, script);
  ASSERT_EQ(app.Wait(120000), std::optional<DWORD>(0)) << Joined(app.Transcript());
  const auto transcript = app.Transcript();
  size_t reply = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.config);
    const auto started = ReplyTo(transcript, kCore, reply++);
    ASSERT_TRUE(started.has_value());
    if (row.message.empty()) {
      EXPECT_EQ(started->kind, transcript::Reply::Kind::kSuccess) << started->message;
      ++reply;  // its stop
    } else {
      EXPECT_EQ(started->kind, transcript::Reply::Kind::kError);
      EXPECT_EQ(started->code, "start_failed");
      EXPECT_EQ(started->message, row.message);
    }
  }
  // A core launched shows as "starting" with its pid: only for those that connect.
  int launched = 0;
  for (const std::string& event : Events(app)) {
    if (event.find("pid=") != std::string::npos) ++launched;
  }
  EXPECT_EQ(launched, connecting) << Joined(transcript);
}

TEST_F(BrokerWholeProgram, AMissingBrokerProgramIsAClearStartFailure) {
  std::filesystem::remove(install.folder() / L"TovixService.exe");
  auto app = install.Start({}, {Call("start", EncodableValue(kConfig)), "close"});
  ASSERT_EQ(app.Wait(30000), std::optional<DWORD>(0)) << Joined(app.Transcript());
  const auto started = ReplyTo(app.Transcript(), kCore);
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->code, "start_failed");
  EXPECT_EQ(started->message,
            "TovixService.exe not bundled at " +
                (install.folder() / L"TovixService.exe").string());
}

// Wine never declines the elevation prompt: the starter stands in for one
// that was declined.
BOOL WINAPI DeclinedPrompt(SHELLEXECUTEINFOW*) {
  SetLastError(ERROR_CANCELLED);
  return FALSE;
}

TEST(BrokerStart, ADeclinedPromptMeansAdministratorRightsAreNeeded) {
  PrivilegedClient::SetStarter(DeclinedPrompt);
  std::string error;
  const bool started = StartCore(kConfig, error);
  PrivilegedClient::SetStarter(nullptr);
  EXPECT_FALSE(started);
  EXPECT_EQ(error, "administrator rights are needed to connect");
}

// Sessions through the installed service: Tovix.exe starts no program of
// its own, and the core is the service's child.
class ServiceWholeProgram : public BrokerWholeProgram {
 protected:
  void SetUp() override {
    BrokerWholeProgram::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(service.installed());
  }

  whole_program::Process StartRunning() {
    whole_program::Process app =
        install.Start({}, {"call " + kEvents + " " + whole_program::ListenHex(),
                           Call("start", EncodableValue(kConfig))});
    EXPECT_TRUE(WaitFor([&] { return HasEvent(app, "running"); }, 30000)) << Joined(app.Transcript());
    EXPECT_TRUE(ChildrenNamed(app.id(), L"TovixService.exe").empty());
    broker = {InstalledService::Pid()};
    cores = ChildrenNamed(broker[0], L"sing-box.exe");
    EXPECT_EQ(cores.size(), 1u);
    return app;
  }

  // The UI's last two events are those of a service that ended under it.
  void ExpectServiceEndedEvents(const whole_program::Process& app) {
    ASSERT_TRUE(WaitFor([&] { return HasEvent(app, "network_lost"); }, 5000))
        << Joined(app.Transcript());
    const std::vector<std::string> events = Events(app);
    ASSERT_GE(events.size(), 2u);
    EXPECT_NE(events[events.size() - 2].find("VPN service ended unexpectedly"), std::string::npos)
        << Joined(app.Transcript());
    EXPECT_NE(events.back().find("\"state\": \"network_lost\""), std::string::npos);
  }

  InstalledService service{install.folder()};
};

TEST_F(ServiceWholeProgram, UninstallWhileConnectedEndsTheSessionAndLeavesNothing) {
  auto app = StartRunning();
  ASSERT_NE(broker[0], 0u);
  const std::vector<Running> all = Processes();
  DWORD parent = 0;
  for (const Running& process : all) {
    if (process.pid == broker[0]) parent = process.parent;
  }
  bool parentIsServiceManager = false;
  for (const Running& process : all) {
    if (process.pid == parent) parentIsServiceManager = process.exe == L"services.exe";
  }
  EXPECT_TRUE(parentIsServiceManager);

  const whole_program::RunResult removed =
      install.Run({L"--uninstall-service"}, {}, 30000, L"uninstall");
  EXPECT_EQ(removed.exitCode, std::optional<DWORD>(0));
  EXPECT_TRUE(WaitFor([&] { return BrokerAndCoreGone(); }, 2000));
  ExpectServiceEndedEvents(app);
  EXPECT_EQ(InstalledService::Pid(), 0u);
  tovix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  EXPECT_FALSE(tovix::UniqueServiceHandle(OpenServiceW(
      manager.get(), tovix::service_setup::kServiceName, SERVICE_QUERY_STATUS)));
}

TEST_F(ServiceWholeProgram, TovixKilledTakesItsCoreAndRule) {
  auto app = StartRunning();
  PlantRule();
  ASSERT_TRUE(TerminateProcess(app.handle(), 9));
  ASSERT_TRUE(app.Wait(5000).has_value());
  EXPECT_TRUE(WaitFor([&] { return !Alive(cores[0]) && !RuleExists(); }, 2000))
      << "core " << Alive(cores[0]) << " rule " << RuleExists();
}

TEST_F(ServiceWholeProgram, ServiceKilledIsReportedAndTakesTheCore) {
  auto app = StartRunning();
  tovix::UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, broker[0]));
  ASSERT_TRUE(process && TerminateProcess(process.get(), 9));
  EXPECT_TRUE(WaitFor([&] { return BrokerAndCoreGone(); }, 2000));
  ExpectServiceEndedEvents(app);
  InstalledService::AfterAKill();
}

}  // namespace
