// Chaos soak: many randomized VPN sessions against the stand-in core, driven
// through "kelpmarrow.vpn/core" and "kelpmarrow.vpn/events" as the UI drives
// them (the stand-in messenger, real codec bytes, a real window thread that
// drains the events), with the host's invariants checked after every session:
//   - no sing-box.exe of this host (a core it started, or a helper of one)
//     left running;
//   - the process's handle count back to its baseline;
//   - the events the UI received well formed: after a "start" that answered
//     true the core's next event is "running" or "error" unless a stop came
//     first; every "stopping" ends in "idle"; a stop of a core ends in
//     "idle"; a core that printed only ordinary lines gives no "error";
//   - with --tunnel-dns (an adapter named as the tunnel, with DNS servers,
//     exists: chaos_soak_netns.sh makes one), the privileged program's DNS
//     worker installs the rule soon after a core is running; the rule is
//     gone once the UI has heard that the core ended by itself, and once the
//     session is stopped (without an adapter, only the latter is checked);
//   - every call answered, with the kind of answer its method gives.
// The UI listens throughout (a cancel is followed by a listen before any
// drain), so what it received is every event, in the order it saw them.
//
//   chaos_soak.exe [--sessions N] [--seed S] [--tunnel-dns]
// Prints the seed, each violation, and "sessions=N seed=S violations=V";
// exits 0 only without violations. Main thread = window thread.
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "core/core_channel_harness.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "service/dns_rule/dns_policy.h"
#include "support/handle_count.h"
#include "support/machine_rule.h"

namespace {

using namespace dispatch_test;

enum class Behaviour {
  Normal,
  ExitsAtRandom,
  PrintsFatal,
  NeverReady,
  IgnoresInput,
  KeepsPipeOpen,
  OrdinaryFatalWord
};
constexpr const char* kBehaviourNames[] = {"normal",       "exits",  "fatal",       "noready",
                                           "ignore-stdin", "helper", "benign-fatal"};

enum class Action { Start, Stop, Status, Listen, Cancel, Pause };

// The cores this host started (parent: this process) and what they started
// in turn (parent: one of `cores`, the pids its "starting" events named).
// Other hosts' cores in the same prefix are not counted.
std::vector<std::string> RunningCores(const std::set<DWORD>& cores) {
  std::vector<std::string> found;
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    const DWORD parent = entry.th32ParentProcessID;
    if (CompareStringOrdinal(entry.szExeFile, -1, L"sing-box.exe", -1, TRUE) == CSTR_EQUAL &&
        (parent == GetCurrentProcessId() || cores.count(parent) != 0)) {
      found.push_back(std::to_string(entry.th32ProcessID) + "<-" + std::to_string(parent));
    }
  }
  return found;
}

// bin\standin-core.txt beside this program: the stand-in core's controls.
std::filesystem::path ControlsFile() {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return std::filesystem::path(path).parent_path() / L"bin" / L"standin-core.txt";
}

bool IsIdle(const SentEvent& event) { return event.state == "idle" && event.message.empty(); }

// What the exit watcher reports of a core that ended by itself: its end
// ("error", or "idle" for code 0) and "network_lost". It may land between a
// stop's "stopping" and "idle" when the core ended just before the stop.
bool FromTheEndedCore(const SentEvent& event) {
  return event.state == "error" || event.state == "network_lost" ||
         (event.state == "idle" && event.message.rfind("sing-box exited", 0) == 0);
}

// What the exit watcher reports once it has removed the rule of a core that
// ended by itself.
bool ReportsTheCoreExit(const SentEvent& event) {
  return (event.state == "error" || event.state == "idle") &&
         event.message.rfind("sing-box exited", 0) == 0;
}

DWORD HandleCount() { return OpenHandleCount(); }

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  return EventWindow::PumpUntil(done, timeoutMs);
}

class Soak {
 public:
  Soak(std::uint64_t seed, bool tunnelDns) : rng_(seed), tunnelDns_(tunnelDns) {
    harness_.Register();
    harness_.Listen();
  }
  ~Soak() { harness_.Shutdown(); }

  // Sessions that load what the host loads once (DPAPI for the reports, the
  // wake timer), so that the handle baseline is taken after them.
  void WarmUp() {
    for (Behaviour behaviour : {Behaviour::PrintsFatal, Behaviour::NeverReady, Behaviour::Normal}) {
      RunSession(behaviour, {Action::Start, Action::Pause, Action::Stop}, false);
    }
    // Once the warm-up's cores are gone and nothing more closes.
    WaitUntil([&] { return RunningCores(corePids_).empty(); }, 5000);
    DWORD settled = HandleCount();
    for (int i = 0; i < 20 && WaitUntil([&] { return HandleCount() != settled; }, 300); ++i) {
      settled = HandleCount();
    }
    baseline_ = settled;
  }

  void RunRandomSession(int number) {
    const auto behaviour = static_cast<Behaviour>(Pick(7));
    std::vector<Action> actions{Action::Start};
    const int more = 2 + Pick(6);
    for (int i = 0; i < more; ++i) actions.push_back(static_cast<Action>(Pick(6)));
    actions.push_back(Action::Stop);
    session_ = number;
    RunSession(behaviour, actions, true);
  }

  int violations() const { return violations_; }
  int rulesSeen() const { return rulesSeen_; }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  void Violation(const std::string& what) {
    ++violations_;
    std::printf("VIOLATION session %d (%s): %s\n", session_,
                kBehaviourNames[static_cast<int>(behaviour_)], what.c_str());
    std::fflush(stdout);
  }

  std::string Controls(Behaviour behaviour) {
    switch (behaviour) {
      case Behaviour::Normal:
        return "";
      case Behaviour::ExitsAtRandom: {
        const char* codes[] = {"1", "3", "3221225477"};
        return std::string("exit=") + codes[Pick(3)] + "@" + std::to_string(Pick(1500));
      }
      case Behaviour::PrintsFatal: {
        const char* lines[] = {
            "FATAL[0000] start service: boom", "fatal error: all goroutines are asleep",
            "FATAL[0000] configure tun interface: denied", "time=x level=fatal msg=boom"};
        return std::string("fatal=") + lines[Pick(4)];
      }
      case Behaviour::NeverReady:
        return "noready";
      case Behaviour::IgnoresInput:
        return "ignore-stdin";
      case Behaviour::KeepsPipeOpen:
        return "helper";
      case Behaviour::OrdinaryFatalWord:
        return "fatal=INFO[0001] [3141 0ms] inbound/tun[tun-in]: inbound connection to "
               "fatal.example.com:443";
    }
    return "";
  }

  void RunSession(Behaviour behaviour, const std::vector<Action>& actions, bool check) {
    behaviour_ = behaviour;
    // Read by the core the privileged program launches, which does not have
    // this process's environment.
    std::ofstream(ControlsFile(), std::ios::binary | std::ios::trunc) << Controls(behaviour) << "\n";
    // A core that ignores its input blocks on a configuration larger than
    // the pipe: the start then fails after 5 s.
    const std::string config = behaviour == Behaviour::IgnoresInput && Pick(2) == 0
                                   ? std::string(65536, ' ') + "{}"
                                   : "{}";
    const std::size_t sentBefore = harness_.EventCount();
    std::vector<DWORD> startedPids;  // of the starts that answered true
    bool stopHadCore = false;        // of the last stop

    for (Action action : actions) {
      // Before a stop can take the rule away on its own account.
      CheckRuleAfterCoreExit();
      switch (action) {
        case Action::Start: {
          const std::size_t heardBefore = harness_.EventCount();
          const Answer answer = harness_.Call("start", EncodableValue(config));
          const bool ok = answer.IsSuccess(EncodableValue(true));
          if (!ok && !(answer.kind == Answer::Kind::kError && answer.code == "start_failed")) {
            Violation("start answered neither true nor start_failed");
          }
          if (ok) startedPids.push_back(CoreProcess.pid);  // written by this thread only
          if (ok) CheckRuleInstalled(heardBefore);
          break;
        }
        case Action::Stop:
          stopHadCore = static_cast<bool>(CoreProcess.process);
          if (!harness_.Call("stop").IsSuccess(EncodableValue(true)))
            Violation("stop did not answer true");
          break;
        case Action::Status: {
          const Answer answer = harness_.Call("status");
          if (answer.kind != Answer::Kind::kSuccess ||
              !std::holds_alternative<std::string>(answer.value)) {
            Violation("status did not answer a string");
          }
          break;
        }
        case Action::Listen:
          if (!harness_.Listen().IsSuccess(EncodableValue())) Violation("listen failed");
          break;
        case Action::Cancel:
          // The UI's view going away and coming back; no drain runs between
          // the two calls, so no event is missed.
          if (!harness_.Cancel().IsSuccess(EncodableValue())) Violation("cancel failed");
          if (!harness_.Listen().IsSuccess(EncodableValue())) Violation("listen failed");
          break;
        case Action::Pause:
          break;
      }
      // The UI's pace; the window thread drains events meanwhile.
      WaitUntil([] { return false; }, static_cast<DWORD>(Pick(400)));
      CheckRuleAfterCoreExit();
    }
    // A stop of a core is heard as "idle" once the window thread has drained.
    if (stopHadCore) {
      WaitUntil([&] {
        const std::vector<SentEvent> now = harness_.Events();
        return now.size() > sentBefore && IsIdle(now.back());
      }, 3000);
    }
    const std::vector<SentEvent> all = harness_.Events();
    for (std::size_t i = sentBefore; i < all.size(); ++i) {
      if (all[i].state == "starting" && all[i].message.rfind("pid=", 0) == 0)
        corePids_.insert(static_cast<DWORD>(std::strtoul(all[i].message.c_str() + 4, nullptr, 10)));
    }
    if (!check) return;
    CheckRuleAfterCoreExit();
    ruleSeenAt_.reset();
    if (MachineDnsRulePresent()) Violation("DNS rule left after the stop");

    if (!WaitUntil([&] { return RunningCores(corePids_).empty(); }, 5000)) {
      std::string left;
      for (const std::string& core : RunningCores(corePids_)) left += " " + core;
      Violation("sing-box.exe still running:" + left);
    }
    if (!WaitUntil([&] { return HandleCount() <= baseline_; }, 3000)) {
      Violation("handle count " + std::to_string(HandleCount()) + " above baseline " +
                std::to_string(baseline_));
    }
    const std::vector<SentEvent> events(all.begin() + static_cast<std::ptrdiff_t>(sentBefore),
                                        all.end());
    for (const SentEvent& event : events) {
      if (!event.wellFormed) Violation("the UI received a malformed event");
    }
    CheckEvents(events, startedPids, stopHadCore);
  }

  // With the tunnel's DNS servers known, the privileged program's worker
  // installs the rule soon after the core has said it is ready (a core that
  // ends by itself first may have none). Every end of the core takes it
  // away, the host's stop and its exit watcher alike.
  void CheckRuleInstalled(std::size_t heardBefore) {
    if (!tunnelDns_) return;
    const auto heardRunning = [&] {
      const std::vector<SentEvent> all = harness_.Events();
      return std::any_of(all.begin() + static_cast<std::ptrdiff_t>(heardBefore), all.end(),
                         [](const SentEvent& event) { return event.state == "running"; });
    };
    WaitUntil([&] { return heardRunning() || !IsOurVpnRunning(); }, kRuleDeadlineMs);
    if (!heardRunning()) return;
    const bool settled = WaitUntil([] { return MachineDnsRulePresent() || !IsOurVpnRunning(); },
                                   kRuleDeadlineMs);
    if (MachineDnsRulePresent()) {
      ++rulesSeen_;
      ruleSeenAt_ = harness_.Events().size();
    } else if (!settled) {
      Violation("no DNS rule while the core ran");
    }
  }

  // Once the UI has heard that the core ended by itself, its rule is gone:
  // the exit watcher removes it before it reports the end.
  void CheckRuleAfterCoreExit() {
    if (!ruleSeenAt_) return;
    const std::vector<SentEvent> all = harness_.Events();
    const bool exitReported = std::any_of(all.begin() + static_cast<std::ptrdiff_t>(*ruleSeenAt_),
                                          all.end(), ReportsTheCoreExit);
    if (!exitReported) return;
    if (MachineDnsRulePresent()) Violation("DNS rule left after the core's own exit");
    ruleSeenAt_.reset();
  }

  void CheckEvents(const std::vector<SentEvent>& events, const std::vector<DWORD>& startedPids,
                   bool stopHadCore) {
    for (const DWORD pid : startedPids) {
      const std::string text = "pid=" + std::to_string(pid);
      const auto at = std::find_if(events.begin(), events.end(), [&](const SentEvent& event) {
        return event.state == "starting" && event.message == text;
      });
      if (at == events.end() || at + 1 == events.end()) {
        Violation("a start that answered true has no event after its " + text);
        continue;
      }
      const std::string next = (at + 1)->state;
      if (next != "running" && next != "error" && next != "stopping") {
        Violation("a start that answered true was followed by \"" + next + "\"");
      }
    }
    // Every "stopping" ends in "idle" with nothing started in between.
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].state != "stopping") continue;
      std::size_t j = i + 1;
      while (j < events.size() && FromTheEndedCore(events[j])) ++j;
      if (j >= events.size() || !IsIdle(events[j])) {
        Violation("\"stopping\" not followed by \"idle\"");
      }
    }
    if (stopHadCore && (events.empty() || !IsIdle(events.back()))) {
      Violation("a stop that did not end in \"idle\"");
    }
    if (behaviour_ == Behaviour::Normal || behaviour_ == Behaviour::OrdinaryFatalWord) {
      for (const SentEvent& event : events) {
        if (event.state == "error")
          Violation("\"error\" (" + event.message + ") from a core that printed no fatal line");
      }
    }
  }

  // For the readiness line, and for the DNS worker, which tries for a few
  // seconds before it gives up.
  static constexpr DWORD kRuleDeadlineMs = 8000;

  std::mt19937_64 rng_;
  const bool tunnelDns_;
  CoreChannelHarness harness_;
  DWORD baseline_ = 0;
  int violations_ = 0;
  int rulesSeen_ = 0;  // cores whose rule the worker installed
  int session_ = 0;
  std::set<DWORD> corePids_;  // every core the UI was told of
  std::optional<std::size_t> ruleSeenAt_;  // events received when the rule was seen
  Behaviour behaviour_ = Behaviour::Normal;
};

}  // namespace

int main(int argc, char** argv) {
  int sessions = 30;
  std::uint64_t seed = std::random_device{}();
  bool tunnelDns = false;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (name == "--tunnel-dns") tunnelDns = true;
    if (i + 1 < argc && name == "--sessions") sessions = std::atoi(argv[++i]);
    if (i + 1 < argc && name == "--seed") seed = std::strtoull(argv[++i], nullptr, 10);
  }
  if (tunnelDns && QueryTunnelDnsServers(tunnelAdapterName).empty()) {
    std::printf("--tunnel-dns: no adapter named %ls with DNS servers here\n", tunnelAdapterName);
    return 2;
  }
  std::printf("chaos soak: seed=%llu sessions=%d\n", static_cast<unsigned long long>(seed),
              sessions);
  std::fflush(stdout);
  int violations = 0;
  {
    Soak soak(seed, tunnelDns);
    soak.WarmUp();
    for (int i = 1; i <= sessions; ++i) {
      soak.RunRandomSession(i);
      if (i % 25 == 0) {
        std::printf("... %d sessions, %d violations\n", i, soak.violations());
        std::fflush(stdout);
      }
    }
    violations = soak.violations();
    if (tunnelDns) {
      std::printf("DNS rules installed by the worker: %d\n", soak.rulesSeen());
      // Not one would mean that the check above never ran.
      if (soak.rulesSeen() == 0) ++violations;
    }
  }
  std::printf("sessions=%d seed=%llu violations=%d\n", sessions,
              static_cast<unsigned long long>(seed), violations);
  return violations == 0 ? 0 : 1;
}
