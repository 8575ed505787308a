// Chaos soak: many randomized VPN sessions against the stand-in core, driven
// through "kelpmarrow.vpn/core" and "kelpmarrow.vpn/events" as the UI drives
// them (the stand-in messenger, real codec bytes, a real window thread that
// drains the events), with the host's invariants checked after every session:
//   - no sing-box.exe (nor a helper of one) left running;
//   - the process's handle count back to its baseline;
//   - the event sequence well formed: after a "start" that answered true the
//     core's next event is "running" or "error" unless a stop or start came
//     first; every "stopping" ends in "idle"; every "stop" ends in "idle";
//     a core that printed only ordinary lines gives no "error";
//   - no DNS policy rule left once the state is "idle";
//   - every call answered, with the kind of answer its method gives.
// Events are read from the session logs, which hold all of them whatever the
// UI listened to; what the UI did receive must be well-formed maps.
//
//   chaos_soak.exe [--sessions N] [--seed S]
// Prints the seed, each violation, and "sessions=N seed=S violations=V";
// exits 0 only without violations. Main thread = window thread.
#include <windows.h>
// After windows.h.
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "core/core_channel_harness.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "diagnostics/session_log.h"
#include "network/dns_policy.h"
#include "support/machine_rule.h"

namespace {

using namespace dispatch_test;
namespace fs = std::filesystem;

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

struct Segment {  // one session log opened by one start
  fs::path log;
  int banner = 0;  // which banner of that file (same-second starts share a file)
  bool answeredTrue = false;
};

struct LogEvent {
  std::string tag;  // "[EVENT:x]" or another tag
  std::string text;
  std::string State() const {
    return tag.rfind("[EVENT:", 0) == 0 ? tag.substr(7, tag.size() - 8) : "";
  }
};

constexpr char kBanner[] = "=== Kelp Marrow session start ";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int CountBanners(const fs::path& path) {
  const std::string text = ReadFile(path);
  int count = 0;
  for (std::size_t at = text.find(kBanner); at != std::string::npos;
       at = text.find(kBanner, at + 1))
    ++count;
  return count;
}

// The tagged lines after banner `banner`, up to the next banner.
std::vector<LogEvent> SegmentLines(const Segment& segment) {
  std::istringstream in(ReadFile(segment.log));
  std::vector<LogEvent> lines;
  int banners = -1;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(kBanner, 0) == 0) {
      ++banners;
      continue;
    }
    if (banners != segment.banner || line.size() < 27 || line[0] != '[' || line[26] != '[')
      continue;
    const std::size_t tagEnd = line.find(']', 26);
    if (tagEnd == std::string::npos) continue;
    lines.push_back(
        {line.substr(26, tagEnd - 25), tagEnd + 2 <= line.size() ? line.substr(tagEnd + 2) : ""});
  }
  return lines;
}

std::vector<std::string> RunningCores() {
  std::vector<std::string> found;
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (CompareStringOrdinal(entry.szExeFile, -1, L"sing-box.exe", -1, TRUE) == CSTR_EQUAL) {
      found.push_back(std::to_string(entry.th32ProcessID) + "<-" +
                      std::to_string(entry.th32ParentProcessID));
    }
  }
  return found;
}

DWORD HandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  return EventWindow::PumpUntil(done, timeoutMs);
}

class Soak {
 public:
  explicit Soak(std::uint64_t seed) : rng_(seed) {
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
    WaitUntil([] { return false; }, 300);
    baseline_ = HandleCount();
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
    SetEnvironmentVariableW(L"TOVIX_STANDIN_CORE", ToUtf16(Controls(behaviour)).c_str());
    // A core that ignores its input blocks on a configuration larger than
    // the pipe: the start then fails after 5 s.
    const std::string config = behaviour == Behaviour::IgnoresInput && Pick(2) == 0
                                   ? std::string(65536, ' ') + "{}"
                                   : "{}";
    std::vector<Segment> segments;
    const std::size_t sentBefore = harness_.EventCount();

    for (Action action : actions) {
      switch (action) {
        case Action::Start: {
          const Answer answer = harness_.Call("start", EncodableValue(config));
          const bool ok = answer.IsSuccess(EncodableValue(true));
          if (!ok && !(answer.kind == Answer::Kind::kError && answer.code == "start_failed")) {
            Violation("start answered neither true nor start_failed");
          }
          if (answer.kind == Answer::Kind::kError && answer.message == "already running") break;
          const fs::path log = SessionLog::CurrentPath();
          segments.push_back({log, CountBanners(log) - 1, ok});
          break;
        }
        case Action::Stop:
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
          listening_ = true;
          break;
        case Action::Cancel: {
          // Without a stream the channel answers with its own error.
          const Answer answer = harness_.Cancel();
          if (listening_ ? !answer.IsSuccess(EncodableValue())
                         : !answer.IsError("error", "No active stream to cancel")) {
            Violation("cancel answered unexpectedly");
          }
          listening_ = false;
          break;
        }
        case Action::Pause:
          break;
      }
      // The UI's own pace; the window thread drains events meanwhile.
      WaitUntil([] { return false; }, static_cast<DWORD>(Pick(400)));
      // Stand in for the DNS policy worker, which under Wine never finds the
      // tunnel adapter: a rule while the core runs, for the stop and the
      // exit watcher to remove.
      if (Pick(2) == 0 && IsOurVpnRunning()) {
        InstallDnsPolicyRule(MachineDnsPolicyTarget(), {L"10.0.0.53"});
      }
    }
    WaitUntil([] { return false; }, 200);
    if (!check) return;

    if (!WaitUntil([] { return RunningCores().empty(); }, 5000)) {
      std::string left;
      for (const std::string& core : RunningCores()) left += " " + core;
      Violation("sing-box.exe still running:" + left);
    }
    if (LastVpnState() == "idle" && MachineDnsRulePresent()) Violation("DNS rule left while idle");
    if (!WaitUntil([&] { return HandleCount() <= baseline_; }, 3000)) {
      Violation("handle count " + std::to_string(HandleCount()) + " above baseline " +
                std::to_string(baseline_));
    }
    CheckEvents(segments);
    const auto sent = harness_.Events();
    for (std::size_t i = sentBefore; i < sent.size(); ++i) {
      if (!sent[i].wellFormed) Violation("the UI received a malformed event");
    }
  }

  void CheckEvents(const std::vector<Segment>& segments) {
    for (const Segment& segment : segments) {
      const std::vector<LogEvent> lines = SegmentLines(segment);
      std::vector<LogEvent> events;
      bool stopRequested = false;
      for (const LogEvent& line : lines) {
        if (line.tag == "[stop_request]") stopRequested = true;
        if (!line.State().empty()) events.push_back(line);
      }
      const std::string where =
          " in " + ToUtf8(segment.log.filename().native()) + "#" + std::to_string(segment.banner);
      if (segment.answeredTrue) {
        std::size_t pid = 0;
        while (pid < events.size() &&
               !(events[pid].State() == "starting" && events[pid].text.rfind("pid=", 0) == 0))
          ++pid;
        if (pid + 1 >= events.size()) {
          Violation("a start that answered true has no event after its pid" + where);
        } else {
          const std::string next = events[pid + 1].State();
          if (next != "running" && next != "error" && next != "stopping") {
            Violation("a start that answered true was followed by \"" + next + "\"" + where);
          }
        }
      }
      // Every "stopping" ends in "idle" with nothing started in between.
      for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].State() != "stopping") continue;
        std::size_t j = i + 1;
        while (j < events.size() && events[j].State() == "error")
          ++j;  // a fatal line racing the stop
        if (j >= events.size() || events[j].State() != "idle" || !events[j].text.empty()) {
          Violation("\"stopping\" not followed by \"idle\"" + where);
        }
      }
      if (stopRequested && !events.empty() &&
          (events.back().State() != "idle" || !events.back().text.empty())) {
        Violation("a stop that did not end in \"idle\"" + where);
      }
      if (behaviour_ == Behaviour::Normal || behaviour_ == Behaviour::OrdinaryFatalWord) {
        for (const LogEvent& event : events) {
          if (event.State() == "error")
            Violation("\"error\" (" + event.text + ") from a core that printed no fatal line" +
                      where);
        }
      }
    }
  }

  std::mt19937_64 rng_;
  CoreChannelHarness harness_;
  DWORD baseline_ = 0;
  int violations_ = 0;
  int session_ = 0;
  bool listening_ = true;
  Behaviour behaviour_ = Behaviour::Normal;
};

}  // namespace

int main(int argc, char** argv) {
  int sessions = 30;
  std::uint64_t seed = std::random_device{}();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--sessions") sessions = std::atoi(argv[i + 1]);
    if (name == "--seed") seed = std::strtoull(argv[i + 1], nullptr, 10);
  }
  std::printf("chaos soak: seed=%llu sessions=%d\n", static_cast<unsigned long long>(seed),
              sessions);
  std::fflush(stdout);
  int violations = 0;
  {
    Soak soak(seed);
    soak.WarmUp();
    for (int i = 1; i <= sessions; ++i) {
      soak.RunRandomSession(i);
      if (i % 25 == 0) {
        std::printf("... %d sessions, %d violations\n", i, soak.violations());
        std::fflush(stdout);
      }
    }
    violations = soak.violations();
  }
  std::printf("sessions=%d seed=%llu violations=%d\n", sessions,
              static_cast<unsigned long long>(seed), violations);
  return violations == 0 ? 0 : 1;
}
