// The output reader with the real stand-in core under Wine: truncated lines
// in the core log, fatal lines, the protected reports as they decrypt, and
// bounded memory while the core floods its pipe.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <mutex>

#include "core/core_process.h"
#include "core/core_stop.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "protected/protected_file.h"
#include "supervision_fixture.h"

using namespace supervision_test;

namespace {

const std::string kAdapterConflict = "Windows не отдал сетевой адаптер VPN от прошлого запуска";

// "Kelpmarrow <kind> YYYY-MM-DD hh:mm:ss.fff\npid=<pid>\n", checked and cut off.
std::string WithoutHeading(const std::string& report, const std::string& kind, DWORD pid) {
  const std::string first = "Kelpmarrow " + kind + " ";
  if (report.rfind(first, 0) != 0) return "<bad heading> " + report.substr(0, 80);
  const std::string stamp = report.substr(first.size(), 23);
  const bool shaped = stamp.size() == 23 && stamp[4] == '-' && stamp[7] == '-' &&
                      stamp[10] == ' ' && stamp[13] == ':' && stamp[16] == ':' && stamp[19] == '.';
  const std::string second = "\npid=" + std::to_string(pid) + "\n";
  if (!shaped || report.compare(first.size() + 23, second.size(), second) != 0) {
    return "<bad heading> " + report.substr(0, 80);
  }
  return report.substr(first.size() + 23 + second.size());
}

fs::path CoreLogOf(const fs::path& sessionLog) {
  std::wstring name = sessionLog.filename().native();
  return sessionLog.parent_path() / (L"core-" + name.substr(name.find(L'-') + 1));
}

SIZE_T PeakPrivateBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PeakPagefileUsage;
}

}  // namespace

using CoreOutput = CoreSupervisionTest;

TEST_F(CoreOutput, LongLineReachesTheCoreLogCutAt64KiB) {
  std::ofstream(data_ / L"core-diagnostics.on") << "";
  // The unterminated line is completed when the output ends.
  StartOk("spam=100000,exit=0");
  const fs::path log = SessionLog::CurrentPath();
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();
  const std::string coreLog = ReadWholeFile(CoreLogOf(log));
  const std::string expected = std::string(65536, 'x') + " [line truncated]\r\n";
  const std::size_t at = coreLog.find("] " + std::string(100, 'x'));
  ASSERT_NE(at, std::string::npos) << coreLog.substr(0, 400);
  EXPECT_EQ(coreLog.substr(at + 2), expected);
  EXPECT_NE(coreLog.find("sing-box started"), std::string::npos) << "readiness is logged too";
}

TEST_F(CoreOutput, FatalLinesGiveErrorsAndOneReportThatDecryptsExactly) {
  StartOk("noready,fatal=Fatal looks loud but is not,fatal=FATAL[0000] boom,"
          "fatal=level=fatal configure tun interface: busy,exit=3");
  const DWORD pid = CoreProcess.pid;
  const fs::path log = SessionLog::CurrentPath();
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();

  const auto events = ReadLoggedEvents(log);
  ASSERT_EQ(events.size(), 8u);
  EXPECT_EQ(events[2], (Event{"error", "VPN core reported a fatal error"}));
  EXPECT_EQ(events[3], (Event{"error", kAdapterConflict}));
  const auto lines = ReadLogLines(log);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       LogLine{"[diagnostic]", "protected core failure saved"}),
            1);

  const auto report = ProtectedFile::Read(data_ / L"core_failure.dpapi");
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(WithoutHeading(*report, "core failure", pid),
            ExpectedArgvLine(BinCore()) + "\nFatal looks loud but is not\nFATAL[0000] boom\n");
  EXPECT_FALSE(fs::exists(data_ / L"core_startup.dpapi")) << "a fatal core leaves no startup report";
}

TEST_F(CoreOutput, CoreEndingBeforeReadinessLeavesItsLast32KiB) {
  StartOk("noready,pre=2000,exit=7");
  const DWORD pid = CoreProcess.pid;
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();
  std::string printed;
  for (int i = 1; i <= 2000; ++i) {
    char line[64];
    std::snprintf(line, sizeof(line), "pre line %06d .................................\n", i);
    printed += line;
  }
  const auto report = ProtectedFile::Read(data_ / L"core_startup.dpapi");
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(WithoutHeading(*report, "incomplete startup", pid),
            printed.substr(printed.size() - 32768));
}

TEST_F(CoreOutput, KilledCoreLeavesAStartupReportOnlyBeforeReadiness) {
  StartOk("noready");
  const DWORD pid = CoreProcess.pid;
  StopCore();
  const auto report = ProtectedFile::Read(data_ / L"core_startup.dpapi");
  ASSERT_TRUE(report.has_value());
  EXPECT_NE(WithoutHeading(*report, "incomplete startup", pid).rfind("<bad heading>", 0), 0u);

  fs::remove(data_ / L"core_startup.dpapi");
  StartOk("");
  ASSERT_TRUE(WaitForState("running"));
  StopCore();
  EXPECT_FALSE(fs::exists(data_ / L"core_startup.dpapi"));
}

TEST_F(CoreOutput, MemoryStaysBoundedWhileTheCoreFloodsOneLine) {
  // 32 MB keeps this test short under Wine; the assembler's bound itself is
  // checked over 100 MB in core_output_test.
  const SIZE_T before = PeakPrivateBytes();
  ASSERT_GT(before, 0u) << "no memory figure to compare";
  StartOk("spam=33554432,exit=0");
  ASSERT_TRUE(WaitForState("network_lost", 60000));
  StopCore();
  const SIZE_T grown = PeakPrivateBytes() - before;
  EXPECT_LT(grown, 8u * 1024 * 1024);
}

TEST_F(CoreOutput, ReadinessIsNotAnnouncedOnceAStopHasClearedRunning) {
  StartOk("ready-after=300");
  const DWORD pid = CoreProcess.pid;
  const fs::path log = SessionLog::CurrentPath();
  {
    // Held across the readiness line: the reader comes to its announcement
    // and waits here, while a stop clears `running` (its first step).
    std::lock_guard<std::mutex> lock(CoreLock);
    Sleep(1500);
    CoreProcess.running.exchange(false);
  }
  StopCore();
  EXPECT_EQ(ReadLoggedEvents(log),
            (std::vector<Event>{{"starting", "preparing protected configuration pipe"},
                                {"starting", "pid=" + std::to_string(pid)},
                                {"stopping", ""},
                                {"idle", ""}}));
}

TEST_F(CoreOutput, ReaderOfAReplacedCoreLeavesNoEventLineOrReport) {
  StartOk("noready,fatal-after=500,fatal=FATAL[0000] boom,exit=3@1500");
  const fs::path log = SessionLog::CurrentPath();
  const std::shared_ptr<CoreReaderControl> reader = CoreProcess.readerControl;
  {
    // Held while the core prints its fatal line and ends: the reader comes
    // to its report and waits here, while a new launch is counted.
    std::lock_guard<std::mutex> lock(CoreLock);
    ASSERT_EQ(WaitForSingleObject(CoreProcess.process.get(), 5000), WAIT_OBJECT_0);
    Sleep(300);
    CoreProcess.coreGeneration.fetch_add(1);  // as RetireEarlierCores does
  }
  ASSERT_TRUE(WaitFor([&] { return reader->finished.load(); }, 5000));
  for (const auto& [tag, text] : ReadLogLines(log)) {
    EXPECT_NE(tag, "[diagnostic]") << text;
    EXPECT_NE(tag, "[EVENT:error]") << text;
  }
  EXPECT_FALSE(fs::exists(data_ / L"core_failure.dpapi"));
  EXPECT_NE(LastVpnState(), "error");
}
