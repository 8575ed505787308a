// The rule at its real place under HKEY_LOCAL_MACHINE, its removal with the
// session log lines it leaves, the clean-up mode, and the installing worker
// (driven by setting the core's flags directly). Serialised with every other
// test touching machine state; each case restores what it changed.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <filesystem>
#include <future>

#include "core/core_process.h"
#include "network/adapter_sweep.h"
#include "network/dns_guard.h"
#include "network/dns_policy.h"
#include "network/dns_rule_owner.h"
#include "network_test_support.h"

namespace {

using nettest::KeyExists;
using nettest::ReadRaw;

const std::vector<std::wstring> kServers = {L"172.19.0.2", L"1.1.1.1"};

std::wstring MachineRulePath() {
  return MachineDnsPolicyTarget().ruleParentPath + L"\\" + kDnsPolicyRuleKeyName;
}

void SetStatus(const std::string& word) {
  std::lock_guard lock(DnsPolicyLock);
  dnsPolicyStatus = word;
}

class MachineRule : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MachineRulePath().c_str());
    parentExisted_ = KeyExists(HKEY_LOCAL_MACHINE, MachineDnsPolicyTarget().ruleParentPath);
    SetStatus("none");
    CoreProcess.running = false;
  }
  void TearDown() override {
    CoreProcess.running = false;
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, MachineRulePath().c_str());
    SetStatus("none");
  }
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
  const auto name = ReadRaw(HKEY_LOCAL_MACHINE, MachineRulePath(), L"Name");
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(name->type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(name->bytes, (std::vector<std::uint8_t>{'.', 0, 0, 0, 0, 0}));
  EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, MachineRulePath(), L"GenericDNSServers")->bytes,
            nettest::Utf16Bytes(L"172.19.0.2;1.1.1.1"));
  EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, MachineRulePath(), L"Version")->bytes,
            nettest::DwordBytes(2));
  EXPECT_EQ(ReadRaw(HKEY_LOCAL_MACHINE, MachineRulePath(), L"ConfigOptions")->bytes,
            nettest::DwordBytes(8));
  EXPECT_EQ(nettest::CreateKey(HKEY_LOCAL_MACHINE, MachineRulePath() + L"\\probe"),
            ERROR_CHILD_MUST_BE_VOLATILE);

  EXPECT_TRUE(DeleteDnsPolicyRule(machine));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MachineRulePath()));
  EXPECT_FALSE(DeleteDnsPolicyRule(machine));
}

TEST_F(MachineRule, RemovalLogsWhatHappened) {
  nettest::SessionCapture log;

  // Installed and still there.
  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);
  SetStatus("installed");
  RemoveDnsPolicyRule("stop");
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MachineRulePath()));
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "none");

  // Installed, then deleted by someone else.
  SetStatus("installed");
  RemoveDnsPolicyRule("core exited");
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "none");

  // Never installed, or a conflict word: nothing to say.
  RemoveDnsPolicyRule("stop");
  SetStatus("foreign_dot_rule");
  RemoveDnsPolicyRule("stop");
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "none");

  EXPECT_EQ(log.Texts("[dns_policy]"),
            (std::vector<std::string>{"removed (stop)", "already gone (core exited)"}));
}

TEST_F(MachineRule, CleanupDeletesAPlantedRule) {
  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);
  ASSERT_EQ(AdapterSweep(false).ours_left_behind, 0u) << "phantom adapters left by another test";
  EXPECT_EQ(RunHostCleanup(), 1u);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MachineRulePath()));
  EXPECT_EQ(RunHostCleanup(), 0u);
}

TEST_F(MachineRule, SweepsLeaveTheRuleOfALiveOwner) {
  ASSERT_EQ(InstallDnsPolicyRule(MachineDnsPolicyTarget(), kServers), 0);
  {
    // This process stands in for a host still connected in another session.
    tovix::UniqueHandle owner = ClaimDnsRuleOwnership();
    ASSERT_TRUE(owner);
    EXPECT_TRUE(DnsRuleOwnerAlive());
    EXPECT_FALSE(DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget()));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, MachineRulePath()));
  }
  EXPECT_FALSE(DnsRuleOwnerAlive());
  EXPECT_TRUE(DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget()));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MachineRulePath()));
}

// ---- The installing worker ------------------------------------------------

class DnsWorker : public MachineRule {
 protected:
  void StartCore(std::uint64_t generation) {
    CoreProcess.coreGeneration = generation;
    CoreProcess.running = true;
  }
  nettest::ScratchKey scratch;
  DnsPolicyTarget target = scratch.Target();
  std::wstring RulePath() const { return target.ruleParentPath + L"\\" + kDnsPolicyRuleKeyName; }
};

TEST_F(DnsWorker, NoTunnelAdapterGivesNoTunnelDnsAndTouchesNothing) {
  if (!QueryTunnelDnsServers(tunnelAdapterName).empty()) {
    GTEST_SKIP() << "an adapter named Kelpmarrow exists here";
  }
  nettest::SessionCapture log;
  StartCore(41);
  DnsPolicyApplyWorker(41);  // the real query and the machine target
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "no_tunnel_dns");
  EXPECT_EQ(log.Texts("[dns_policy]"), (std::vector<std::string>{"no_tunnel_dns"}));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MachineRulePath()));
  EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, MachineDnsPolicyTarget().ruleParentPath), parentExisted_);
}

TEST_F(DnsWorker, TriesTenTimesThenGivesUp) {
  nettest::SessionCapture log;
  StartCore(5);
  int attempts = 0;
  RunDnsPolicyApply(5, target, [&](std::wstring_view name) {
    EXPECT_EQ(name, L"Kelpmarrow");
    ++attempts;
    return std::vector<std::wstring>{};
  });
  EXPECT_EQ(attempts, 10);
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "no_tunnel_dns");
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
  EXPECT_EQ(log.Texts("[dns_policy]"), (std::vector<std::string>{"no_tunnel_dns"}));
}

TEST_F(DnsWorker, InstallsOnceServersShowUp) {
  nettest::SessionCapture log;
  StartCore(6);
  int attempts = 0;
  RunDnsPolicyApply(6, target, [&](std::wstring_view) {
    return ++attempts < 3 ? std::vector<std::wstring>{} : kServers;
  });
  EXPECT_EQ(attempts, 3);
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "installed");
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, RulePath()));
  EXPECT_EQ(log.Texts("[dns_policy]"),
            (std::vector<std::string>{"installed . -> 172.19.0.2;1.1.1.1"}));
}

TEST_F(DnsWorker, ConflictLogStillListsTheServers) {
  nettest::SessionCapture log;
  ASSERT_EQ(nettest::CreateKey(HKEY_CURRENT_USER, target.groupPolicyPath + L"\\{gp}"), ERROR_SUCCESS);
  StartCore(7);
  RunDnsPolicyApply(7, target, [&](std::wstring_view) { return kServers; });
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "policy_managed");
  EXPECT_EQ(log.Texts("[dns_policy]"),
            (std::vector<std::string>{"policy_managed . -> 172.19.0.2;1.1.1.1"}));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
}

TEST_F(DnsWorker, StopWhileWaitingEndsSilently) {
  nettest::SessionCapture log;
  StartCore(8);
  std::atomic<int> attempts{0};
  auto worker = std::async(std::launch::async, [&] {
    RunDnsPolicyApply(8, target, [&](std::wstring_view) {
      ++attempts;
      return std::vector<std::wstring>{};
    });
  });
  ASSERT_TRUE(nettest::WaitFor([&] { return attempts.load() >= 2; }, std::chrono::seconds(5)));
  // What the stop does: clear the flag, then remove.
  CoreProcess.running = false;
  RemoveDnsPolicyRule("stop");
  ASSERT_EQ(worker.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(attempts.load(), 10);
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "none");
  EXPECT_TRUE(log.Texts("[dns_policy]").empty());
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
}

TEST_F(DnsWorker, OlderGenerationNeverWrites) {
  nettest::SessionCapture log;
  // Started for an older core: gives up before asking.
  StartCore(10);
  int attempts = 0;
  RunDnsPolicyApply(9, target, [&](std::wstring_view) {
    ++attempts;
    return kServers;
  });
  EXPECT_EQ(attempts, 0);

  // A restart happens while it asks: the re-test under the lock stops it.
  RunDnsPolicyApply(10, target, [&](std::wstring_view) {
    ++attempts;
    CoreProcess.coreGeneration = 11;
    return kServers;
  });
  EXPECT_EQ(attempts, 1);

  // A stop lands between the query and the lock.
  StartCore(12);
  RunDnsPolicyApply(12, target, [&](std::wstring_view) {
    CoreProcess.running = false;
    return kServers;
  });

  EXPECT_EQ(DnsPolicyStatusSnapshot(), "none");
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, target.ruleParentPath));
  EXPECT_TRUE(log.Texts("[dns_policy]").empty());
}

TEST_F(DnsWorker, StartedWorkerRunsDetached) {
  if (!QueryTunnelDnsServers(tunnelAdapterName).empty()) {
    GTEST_SKIP() << "an adapter named Kelpmarrow exists here";
  }
  StartCore(30);
  StartDnsPolicyApply(30);
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "none");  // still waiting for servers
  EXPECT_TRUE(nettest::WaitFor([] { return DnsPolicyStatusSnapshot() == "no_tunnel_dns"; },
                               std::chrono::seconds(10)));
}

// The worker on the machine rule starts its guard, TovixDnsGuard.exe of this
// build beside the test program (which stands in for the host it watches).
class GuardedWorker : public DnsWorker {
 protected:
  void SetUp() override {
    DnsWorker::SetUp();
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    bin = std::filesystem::path(self).parent_path();
  }
  void TearDown() override {
    SetDnsGuardExecutable(L"");
    DnsWorker::TearDown();
  }
  void Install(std::uint64_t generation) {
    StartCore(generation);
    RunDnsPolicyApply(generation, MachineDnsPolicyTarget(),
                      [](std::wstring_view) { return kServers; });
  }
  // Our child guard process; null when there is none.
  static tovix::UniqueHandle GuardProcess(const wchar_t* program = kDnsGuardProgram) {
    tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
      if (entry.th32ParentProcessID == GetCurrentProcessId() &&
          _wcsicmp(entry.szExeFile, program) == 0) {
        return tovix::UniqueHandle(
            OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
      }
    }
    return {};
  }
  std::filesystem::path bin;
};

TEST_F(GuardedWorker, GuardWatchesUntilTheRuleIsRemoved) {
  nettest::SessionCapture log;
  Install(50);
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "installed");
  EXPECT_EQ(log.Texts("[dns_policy]"),
            (std::vector<std::string>{"installed . -> 172.19.0.2;1.1.1.1"}));
  EXPECT_TRUE(DnsRuleOwnerAlive());
  const tovix::UniqueHandle guard = GuardProcess();
  ASSERT_TRUE(guard);
  EXPECT_EQ(WaitForSingleObject(guard.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  CoreProcess.running = false;
  RemoveDnsPolicyRule("stop");
  EXPECT_EQ(WaitForSingleObject(guard.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(DnsRuleOwnerAlive());
  EXPECT_FALSE(TakeDnsGuardNote());  // released: it removed nothing
}

TEST_F(GuardedWorker, GuardThatCannotStartLeavesTheConnectionItsRule) {
  SetDnsGuardExecutable((bin / L"no-such-guard.exe").wstring());
  nettest::SessionCapture log;
  Install(51);
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "installed");
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, MachineRulePath()));
  EXPECT_EQ(log.Texts("[dns_policy]"),
            (std::vector<std::string>{"guard could not start: err=2",
                                      "installed . -> 172.19.0.2;1.1.1.1"}));
  CoreProcess.running = false;
  RemoveDnsPolicyRule("stop");
  EXPECT_FALSE(DnsRuleOwnerAlive());
}

TEST_F(GuardedWorker, StopDoesNotWaitForAGuardThatNeverArms) {
  // A program that starts and never signals "Armed": the worker waits 5 s
  // for it, and a stop meanwhile must not.
  SetDnsGuardExecutable((bin / L"idle_program.exe").wstring());
  nettest::SessionCapture log;
  StartCore(52);
  auto worker = std::async(std::launch::async, [] {
    RunDnsPolicyApply(52, MachineDnsPolicyTarget(), [](std::wstring_view) { return kServers; });
  });
  tovix::UniqueHandle guard;
  ASSERT_TRUE(nettest::WaitFor([&] { return static_cast<bool>(guard = GuardProcess(L"idle_program.exe")); },
                               std::chrono::seconds(5)));

  // What the stop does.
  const ULONGLONG start = GetTickCount64();
  CoreProcess.running = false;
  RemoveDnsPolicyRule("stop");
  EXPECT_LT(GetTickCount64() - start, 1000u);

  TerminateProcess(guard.get(), 0);  // it would never go by itself
  ASSERT_EQ(worker.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(DnsPolicyStatusSnapshot(), "none");
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, MachineRulePath()));
  EXPECT_FALSE(DnsRuleOwnerAlive());
  EXPECT_TRUE(log.Texts("[dns_policy]").empty());
}

}  // namespace
