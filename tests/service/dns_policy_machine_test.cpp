// The rule at its real place under HKEY_LOCAL_MACHINE, its removal with the
// lines it leaves, the clean-up, the owner record and its lock, the
// installing worker, and the guard program of this build. Serialised with
// every other test touching machine state; each case restores what it
// changed.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>
#include <aclapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <filesystem>
#include <future>

#include "common/unique_resource.h"
#include "network/network_test_support.h"
#include "service/core/adapter_sweep.h"
#include "service/dns_rule/dns_guard.h"
#include "service/dns_rule/dns_policy.h"
#include "service/dns_rule/dns_rule_owner.h"
#include "service/service_log.h"
#include "support/machine_rule.h"

namespace {

using nettest::KeyExists;
using nettest::ReadRaw;
using tovix::broker::LogLine;
using Texts = std::vector<std::string>;

const std::vector<std::wstring> kServers = {L"172.19.0.2", L"1.1.1.1"};
constexpr char kTag[] = "[dns_policy]";

std::filesystem::path BinaryFolder() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(self).parent_path();
}

bool Exited(HANDLE process, DWORD timeoutMs, DWORD* code = nullptr) {
  if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return false;
  if (code != nullptr) GetExitCodeProcess(process, code);
  return true;
}

// A child process of this test; with `io`, its standard input and output are
// pipes of ours. Ended (if still running) when it goes.
class Child {
 public:
  Child(const std::wstring& program, const std::wstring& arguments, bool io = false) {
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    tovix::UniqueHandle childOut, childIn;
    if (io) {
      CreatePipe(output_.put(), childOut.put(), &inherit, 0);
      CreatePipe(childIn.put(), input_.put(), &inherit, 0);
      SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
      SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdInput = childIn.get();
      startup.hStdOutput = childOut.get();
      startup.hStdError = childOut.get();
    }
    PROCESS_INFORMATION created{};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, io, CREATE_NO_WINDOW,
                       nullptr, nullptr, &startup, &created)) {
      CloseHandle(created.hThread);
      process_.reset(created.hProcess);
      id_ = created.dwProcessId;
    }
  }
  ~Child() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 0);
    }
  }
  HANDLE process() const { return process_.get(); }
  DWORD id() const { return id_; }

  // The next line of its output, "" when none came within the time.
  std::string ReadLine(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (GetTickCount64() < deadline) {
      if (const size_t end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
      }
      DWORD available = 0;
      if (!PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) return {};
      if (available == 0) {
        Sleep(10);
        continue;
      }
      char buffer[256];
      DWORD read = 0;
      if (!ReadFile(output_.get(), buffer, sizeof buffer, &read, nullptr)) return {};
      pending_.append(buffer, read);
    }
    return {};
  }
  void WriteLine(const std::string& line) {
    const std::string data = line + "\n";
    DWORD written = 0;
    WriteFile(input_.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  }

 private:
  tovix::UniqueHandle process_;
  DWORD id_ = 0;
  tovix::UniqueHandle output_;
  tovix::UniqueHandle input_;
  std::string pending_;
};

// A child of `parent` running `program`; null when there is none.
tovix::UniqueHandle ChildProcessOf(DWORD parent, const wchar_t* program) {
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == parent && _wcsicmp(entry.szExeFile, program) == 0) {
      return tovix::UniqueHandle(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE |
                                                 PROCESS_QUERY_LIMITED_INFORMATION,
                                             FALSE, entry.th32ProcessID));
    }
  }
  return {};
}

void WriteOwnerRecord(DWORD processId, ULONGLONG start) {
  tovix::UniqueHkey key;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey, 0, nullptr, REG_OPTION_VOLATILE,
                  KEY_SET_VALUE, nullptr, key.put(), nullptr);
  RegSetValueExW(key.get(), L"ProcessId", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&processId),
                 sizeof processId);
  RegSetValueExW(key.get(), L"ProcessStart", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&start),
                 sizeof start);
}

ULONGLONG StartTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(process, &created, &exited, &kernel, &user);
  return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

class MachineRule : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveDnsPolicyRule("set-up");  // no rule, status "none", no guard, no claim
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsGuardNoteKey);
    parentExisted_ = KeyExists(HKEY_LOCAL_MACHINE, MachineDnsPolicyTarget().ruleParentPath);
  }
  void TearDown() override {
    SetDnsGuardExecutable(L"");
    RemoveDnsPolicyRule("tear-down");
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsGuardNoteKey);
  }
  static bool NotePresent() { return KeyExists(HKEY_LOCAL_MACHINE, kDnsGuardNoteKey); }
  bool parentExisted_ = false;
};

TEST_F(MachineRule, InstallsVolatileRuleAtTheRealPlace) {
  const DnsPolicyTarget& machine = MachineDnsPolicyTarget();
  EXPECT_EQ(machine.root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(machine.ruleParentPath,
            L"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters\\DnsPolicyConfig");
  EXPECT_EQ(machine.groupPolicyPath,
            L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\DNSClient\\DnsPolicyConfig");

  ASSERT_EQ(InstallDnsPolicyRule(machine, kServers), 0);
  const auto name = ReadRaw(HKEY_LOCAL_MACHINE, MachineDnsRulePath(), L"Name");
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(name->bytes, (std::vector<std::uint8_t>{'.', 0, 0, 0, 0, 0}));
  EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, MachineDnsRulePath(), L"GenericDNSServers")->bytes,
            nettest::Utf16Bytes(L"172.19.0.2;1.1.1.1"));
  EXPECT_EQ(nettest::CreateKey(HKEY_LOCAL_MACHINE, MachineDnsRulePath() + L"\\probe"),
            ERROR_CHILD_MUST_BE_VOLATILE);

  EXPECT_TRUE(DeleteDnsPolicyRule(machine));
  EXPECT_FALSE(MachineDnsRulePresent());
  EXPECT_FALSE(DeleteDnsPolicyRule(machine));
}

TEST_F(MachineRule, RemovalLogsWhatHappenedAndAnswersNone) {
  // The status the removal speaks from is the last one decided; a scratch
  // target decides it without touching the machine.
  nettest::ScratchKey scratch;
  auto decide = [&](const DnsPolicyTarget& target) {
    RunDnsPolicyApply([] { return true; }, target, [](std::wstring_view) { return kServers; },
                      nullptr);
  };
  std::vector<LogLine> lines;
  ServiceLog log(lines);

  // Installed and still there.
  decide(scratch.Target());
  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);
  EXPECT_EQ(RemoveDnsPolicyRule("stop"), "none");
  EXPECT_FALSE(MachineDnsRulePresent());
  // Installed, then deleted by someone else.
  decide(scratch.Target());
  EXPECT_EQ(RemoveDnsPolicyRule("core exited"), "none");
  // Nothing installed, or a conflict word: nothing to say.
  EXPECT_EQ(RemoveDnsPolicyRule("stop"), "none");
  nettest::ScratchKey managed;
  ASSERT_EQ(nettest::CreateKey(HKEY_CURRENT_USER, managed.Target().groupPolicyPath), ERROR_SUCCESS);
  decide(managed.Target());
  EXPECT_EQ(RemoveDnsPolicyRule("stop"), "none");

  EXPECT_EQ(LineTexts(lines, kTag),
            (Texts{"installed . -> 172.19.0.2;1.1.1.1", "removed (stop)",
                   "installed . -> 172.19.0.2;1.1.1.1", "already gone (core exited)",
                   "policy_managed . -> 172.19.0.2;1.1.1.1"}));
}

TEST_F(MachineRule, CleanupDeletesAPlantedRule) {
  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);
  ASSERT_EQ(AdapterSweep(false).ours_left_behind, 0u) << "phantom adapters left by another test";
  EXPECT_EQ(RunHostCleanup(), 1u);
  EXPECT_FALSE(MachineDnsRulePresent());
  EXPECT_EQ(RunHostCleanup(), 0u);
}

TEST_F(MachineRule, SweepsLeaveTheRuleOfALiveOwner) {
  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);
  {
    // This process stands in for a privileged program still connected.
    DnsRuleOwnership owner;
    ASSERT_TRUE(owner.Claim());
    EXPECT_TRUE(DnsRuleOwnerAlive());
    EXPECT_FALSE(DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget()));
    EXPECT_TRUE(MachineDnsRulePresent());
  }
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey));
  EXPECT_FALSE(DnsRuleOwnerAlive());
  EXPECT_TRUE(DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget()));
  EXPECT_FALSE(MachineDnsRulePresent());
}

TEST_F(MachineRule, OwnerAliveOnlyForTheRecordedProcessAndStart) {
  Child dead((BinaryFolder() / kDnsGuardProgram).wstring(), L"");  // refuses at once
  ASSERT_TRUE(Exited(dead.process(), 5000));
  const ULONGLONG deadStart = StartTime(dead.process());
  const ULONGLONG ownStart = StartTime(GetCurrentProcess());
  const DWORD self = GetCurrentProcessId();

  const struct {
    const char* name;
    DWORD processId;
    ULONGLONG start;
    bool alive;
  } cases[] = {
      {"this process", self, ownStart, true},
      {"this process id, another start", self, ownStart + 1, false},
      {"a process that ended", dead.id(), deadStart, false},
      {"no such process", 0xFFFFFFF0, ownStart, false},
  };
  for (const auto& c : cases) {
    WriteOwnerRecord(c.processId, c.start);
    EXPECT_EQ(DnsRuleOwnerAlive(), c.alive) << c.name;
  }
  // In doubt (no start recorded) it counts as alive; no record, not.
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey, L"ProcessStart");
  EXPECT_TRUE(DnsRuleOwnerAlive());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey);
  EXPECT_FALSE(DnsRuleOwnerAlive());
}

// Where private namespaces are missing (Wine), the lock's name can be taken
// first by any process. Such an object is never used, and stops nothing: the
// rule of a killed owner is still deleted, by its guard and by a sweep.
TEST_F(MachineRule, LockNameMadeFirstByAnotherOwnerStopsNoDeletion) {
  tovix::UniqueHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
  std::vector<unsigned char> user(256);
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, user.data(),
                                  static_cast<DWORD>(user.size()), &size));
  const PSID userSid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  wchar_t* sidText = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(userSid, &sidText));
  const std::wstring sddl = L"O:" + std::wstring(sidText) + L"D:(A;;GA;;;WD)";
  LocalFree(sidText);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  tovix::UniqueHandle squatter(CreateMutexW(&attributes, FALSE, kDnsRuleLockName));
  const DWORD created = GetLastError();
  LocalFree(descriptor);
  ASSERT_TRUE(squatter);
  ASSERT_NE(created, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the lock is in use";
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR read = nullptr;
  ASSERT_EQ(GetSecurityInfo(squatter.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &read),
            static_cast<DWORD>(ERROR_SUCCESS));
  const bool ownedByUser = EqualSid(owner, userSid);
  LocalFree(read);
  ASSERT_TRUE(ownedByUser) << "the object did not take the user as its owner";

  EXPECT_FALSE(DnsRuleLock().held());

  Child holder((BinaryFolder() / L"dns_rule_holder.exe").wstring(), L"hold", true);
  ASSERT_EQ(holder.ReadLine(10000), "installed");
  const tovix::UniqueHandle guard = ChildProcessOf(holder.id(), kDnsGuardProgram);
  ASSERT_TRUE(guard);
  ASSERT_TRUE(TerminateProcess(holder.process(), 1));
  ASSERT_TRUE(Exited(guard.get(), 5000));
  EXPECT_FALSE(MachineDnsRulePresent());

  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);
  WriteOwnerRecord(holder.id(), StartTime(holder.process()));
  EXPECT_TRUE(DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget()));
  EXPECT_FALSE(MachineDnsRulePresent());

  squatter.reset();
  EXPECT_TRUE(DnsRuleLock().held());
}

// ---- The installing worker ------------------------------------------------

class DnsWorker : public MachineRule {
 protected:
  // Runs the worker on `on` with `query`; the word it decided, "" if none.
  std::string Apply(const std::function<bool()>& stillCurrent, const DnsPolicyTarget& on,
                    const TunnelDnsQuery& query) {
    std::string decided;
    RunDnsPolicyApply(stillCurrent, on, query, [&](const std::string& word) { decided = word; });
    return decided;
  }
  static bool Current() { return true; }
  nettest::ScratchKey scratch;
  DnsPolicyTarget target = scratch.Target();
  std::wstring RulePath() const { return target.ruleParentPath + L"\\" + kDnsPolicyRuleKeyName; }
  std::vector<LogLine> lines;
};

TEST_F(DnsWorker, NoTunnelAdapterGivesNoTunnelDnsAndTouchesNothing) {
  if (!QueryTunnelDnsServers(tunnelAdapterName).empty()) {
    GTEST_SKIP() << "an adapter named Kelpmarrow exists here";
  }
  ServiceLog log(lines);
  // The real query and the machine target.
  EXPECT_EQ(Apply(Current, MachineDnsPolicyTarget(), QueryTunnelDnsServers), "no_tunnel_dns");
  EXPECT_EQ(LineTexts(lines, kTag), Texts{"no_tunnel_dns"});
  EXPECT_FALSE(MachineDnsRulePresent());
  EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, MachineDnsPolicyTarget().ruleParentPath), parentExisted_);
}

TEST_F(DnsWorker, NoCoreHeldMeansNothingToApply) {
  // No core is held here: a request naming core 0 is not for the current one.
  ServiceLog log(lines);
  bool decided = false;
  RunDnsPolicyApply(0, [&](const std::string&) { decided = true; });
  EXPECT_FALSE(decided);
  EXPECT_TRUE(lines.empty());
}

TEST_F(DnsWorker, TriesTenTimesThenGivesUp) {
  ServiceLog log(lines);
  int attempts = 0;
  EXPECT_EQ(Apply(Current, target,
                  [&](std::wstring_view name) {
                    EXPECT_EQ(name, L"Kelpmarrow");
                    ++attempts;
                    return std::vector<std::wstring>{};
                  }),
            "no_tunnel_dns");
  EXPECT_EQ(attempts, 10);
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
  EXPECT_EQ(LineTexts(lines, kTag), Texts{"no_tunnel_dns"});
}

TEST_F(DnsWorker, InstallsOnceServersShowUp) {
  ServiceLog log(lines);
  int attempts = 0;
  EXPECT_EQ(Apply(Current, target,
                  [&](std::wstring_view) {
                    return ++attempts < 3 ? std::vector<std::wstring>{} : kServers;
                  }),
            "installed");
  EXPECT_EQ(attempts, 3);
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, RulePath()));
  EXPECT_EQ(LineTexts(lines, kTag), Texts{"installed . -> 172.19.0.2;1.1.1.1"});
}

TEST_F(DnsWorker, ConflictLogStillListsTheServers) {
  ServiceLog log(lines);
  ASSERT_EQ(nettest::CreateKey(HKEY_CURRENT_USER, target.groupPolicyPath + L"\\{gp}"),
            ERROR_SUCCESS);
  EXPECT_EQ(Apply(Current, target, [](std::wstring_view) { return kServers; }), "policy_managed");
  EXPECT_EQ(LineTexts(lines, kTag), Texts{"policy_managed . -> 172.19.0.2;1.1.1.1"});
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
}

// The stop's order: the rule's removal first, and only then the core's end,
// so its core is still the current one while the worker waits for servers,
// which come after the removal.
TEST_F(DnsWorker, StopWhileWaitingEndsSilently) {
  std::atomic<bool> removed{false};
  std::atomic<int> attempts{0};
  std::vector<LogLine> workerLines;
  auto worker = std::async(std::launch::async, [&] {
    ServiceLog log(workerLines);
    return Apply(Current, target, [&](std::wstring_view) {
      ++attempts;
      return removed.load() ? kServers : std::vector<std::wstring>{};
    });
  });
  ASSERT_TRUE(nettest::WaitFor([&] { return attempts.load() >= 2; }, std::chrono::seconds(5)));
  EXPECT_EQ(RemoveDnsPolicyRule("stop"), "none");
  removed = true;
  ASSERT_EQ(worker.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(worker.get(), "");
  EXPECT_TRUE(workerLines.empty());
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
}

TEST_F(DnsWorker, CoreThatIsNoLongerCurrentNeverWrites) {
  ServiceLog log(lines);
  // Not current from the start: the query is never asked. No longer current
  // once the servers came (a restart or a stop between the query and the
  // lock): the re-test under the lock stops it.
  const struct {
    const char* name;
    int currentAnswers;  // answers "current" this many times, then not
    int expectedQueries;
  } cases[] = {{"before the query", 0, 0}, {"after the query", 1, 1}};
  for (const auto& c : cases) {
    int answers = 0;
    int queries = 0;
    EXPECT_EQ(Apply([&] { return answers++ < c.currentAnswers; }, target,
                    [&](std::wstring_view) {
                      ++queries;
                      return kServers;
                    }),
              "")
        << c.name;
    EXPECT_EQ(queries, c.expectedQueries) << c.name;
  }
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
  EXPECT_TRUE(lines.empty());
}

// ---- The guard --------------------------------------------------------------

// The worker on the machine rule starts TovixDnsGuard.exe of this build,
// beside the test program (which stands in for the privileged program).
class GuardedWorker : public DnsWorker {
 protected:
  std::string Install() {
    return Apply(Current, MachineDnsPolicyTarget(), [](std::wstring_view) { return kServers; });
  }
  std::filesystem::path bin = BinaryFolder();
};

TEST_F(GuardedWorker, GuardWatchesUntilTheRuleIsRemoved) {
  ServiceLog log(lines);
  EXPECT_EQ(Install(), "installed");
  EXPECT_EQ(LineTexts(lines, kTag), Texts{"installed . -> 172.19.0.2;1.1.1.1"});
  EXPECT_TRUE(DnsRuleOwnerAlive());
  const tovix::UniqueHandle guard = ChildProcessOf(GetCurrentProcessId(), kDnsGuardProgram);
  ASSERT_TRUE(guard);
  EXPECT_FALSE(Exited(guard.get(), 0));

  RemoveDnsPolicyRule("stop");
  DWORD code = 99;
  EXPECT_TRUE(Exited(guard.get(), 5000, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(DnsRuleOwnerAlive());
  EXPECT_FALSE(NotePresent());
}

TEST_F(GuardedWorker, GuardThatCannotStartLeavesTheConnectionItsRule) {
  SetDnsGuardExecutable((bin / L"no-such-guard.exe").wstring());
  ServiceLog log(lines);
  EXPECT_EQ(Install(), "installed");
  EXPECT_TRUE(MachineDnsRulePresent());
  EXPECT_EQ(LineTexts(lines, kTag),
            (Texts{"guard could not start: err=2", "installed . -> 172.19.0.2;1.1.1.1"}));
  RemoveDnsPolicyRule("stop");
  EXPECT_FALSE(DnsRuleOwnerAlive());
}

TEST_F(GuardedWorker, RemovalDoesNotWaitOnTheGuard) {
  // A "guard" that never ends by itself.
  SetDnsGuardExecutable((bin / L"idle_program.exe").wstring());
  ASSERT_EQ(Install(), "installed");
  tovix::UniqueHandle guard = ChildProcessOf(GetCurrentProcessId(), L"idle_program.exe");
  ASSERT_TRUE(guard);

  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(RemoveDnsPolicyRule("stop"), "none");
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_FALSE(MachineDnsRulePresent());
  EXPECT_FALSE(DnsRuleOwnerAlive());
  TerminateProcess(guard.get(), 0);
}

// The guard over a process that stands in for the privileged program
// (dns_rule_holder.exe of this build), killed from outside.
TEST_F(MachineRule, GuardRemovesTheRuleWhenItsProgramIsKilled) {
  Child holder((BinaryFolder() / L"dns_rule_holder.exe").wstring(), L"hold", true);
  ASSERT_TRUE(holder.process());
  ASSERT_EQ(holder.ReadLine(10000), "installed");
  EXPECT_TRUE(MachineDnsRulePresent());
  EXPECT_TRUE(DnsRuleOwnerAlive());  // the record names the holder
  const tovix::UniqueHandle guard = ChildProcessOf(holder.id(), kDnsGuardProgram);
  ASSERT_TRUE(guard);
  // Another privileged process's removal (a broker of another session)
  // leaves a live owner's rule alone.
  EXPECT_EQ(RemoveDnsPolicyRule("stop"), "none");
  EXPECT_TRUE(MachineDnsRulePresent());

  ASSERT_TRUE(TerminateProcess(holder.process(), 1));
  DWORD code = 99;
  ASSERT_TRUE(Exited(guard.get(), 5000, &code)) << "the guard did not act on the death";
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(MachineDnsRulePresent());
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kDnsRuleOwnerKey));
  EXPECT_TRUE(TakeDnsGuardNote());
  EXPECT_FALSE(TakeDnsGuardNote());  // once
}

TEST_F(MachineRule, ReleasedGuardTouchesNothingWhenItsProgramEnds) {
  Child holder((BinaryFolder() / L"dns_rule_holder.exe").wstring(), L"release", true);
  ASSERT_TRUE(holder.process());
  ASSERT_EQ(holder.ReadLine(10000), "started");
  const tovix::UniqueHandle guard = ChildProcessOf(holder.id(), kDnsGuardProgram);
  ASSERT_TRUE(guard);
  // A rule no live process owns: a guard that acted would delete it.
  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);

  holder.WriteLine("release");  // the holder releases and ends at once
  ASSERT_TRUE(Exited(holder.process(), 5000));
  DWORD code = 99;
  ASSERT_TRUE(Exited(guard.get(), 5000, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(MachineDnsRulePresent());
  EXPECT_FALSE(NotePresent());
}

// The guard started by hand with handle values that are not what the
// privileged program passes: it refuses (exit 1) and touches nothing.
TEST_F(MachineRule, GuardRefusesHandlesThatAreNotAProcessAndAnEvent) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // This process, with the access the privileged program passes.
  tovix::UniqueHandle process;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(),
                              process.put(), SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE,
                              0));
  tovix::UniqueHandle event(CreateEventW(&inherit, TRUE, FALSE, nullptr));
  tovix::UniqueHandle mutex(CreateMutexW(&inherit, FALSE, nullptr));
  ASSERT_TRUE(event && mutex);
  auto text = [](HANDLE h) { return std::to_wstring(reinterpret_cast<std::uintptr_t>(h)); };
  const std::wstring P = text(process.get()), E = text(event.get()), M = text(mutex.get());
  const std::wstring unused = L"4194300";  // a value no handle here has

  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);  // no owner
  const struct {
    const char* name;
    std::wstring arguments;
  } cases[] = {
      {"nothing", L""},
      {"another switch", L"--km-other " + P + L" " + E},
      {"one handle", L"--km-dns-guard " + P},
      {"three handles", L"--km-dns-guard " + P + L" " + E + L" " + E},
      {"hexadecimal", L"--km-dns-guard 0x" + P + L" " + E},
      {"signed", L"--km-dns-guard +" + P + L" " + E},
      {"zero", L"--km-dns-guard 0 " + E},
      {"beyond 64 bits", L"--km-dns-guard 18446744073709551616 " + E},
      {"process names nothing", L"--km-dns-guard " + unused + L" " + E},
      {"release names nothing", L"--km-dns-guard " + P + L" " + unused},
      {"swapped", L"--km-dns-guard " + E + L" " + P},
      {"event twice", L"--km-dns-guard " + E + L" " + E},
      {"process twice", L"--km-dns-guard " + P + L" " + P},
      {"a mutex to release", L"--km-dns-guard " + P + L" " + M},
      {"itself to watch", L"--km-dns-guard 18446744073709551615 " + E},
  };
  for (const auto& c : cases) {
    Child guard((BinaryFolder() / kDnsGuardProgram).wstring(), c.arguments, true);
    ASSERT_TRUE(guard.process()) << c.name;
    DWORD code = 99;
    EXPECT_TRUE(Exited(guard.process(), 5000, &code)) << c.name << ": still running";
    EXPECT_EQ(code, 1u) << c.name;
    EXPECT_TRUE(MachineDnsRulePresent()) << c.name;
    EXPECT_FALSE(NotePresent()) << c.name;
  }
}

}  // namespace
