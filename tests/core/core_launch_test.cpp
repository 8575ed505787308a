// StartCore with the real stand-in core under Wine: events, log lines, the
// core's arguments, folder and configuration, and every early refusal.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <thread>

#include "common/text.h"
#include "core/privileged_client.h"
#include "core/privileged_start.h"
#include "core/core_launch.h"
#include "core/core_process.h"
#include "core/core_stop.h"
#include "core/vpn_events.h"
#include "diagnostics/session_log.h"
#include "protected/protected_file.h"
#include "service/core/config_writer.h"
#include "service/core/held_core.h"
#include "service/service_log.h"
#include "service/channel/service_server.h"
#include "service/folders/vpn_folder.h"
#include "support/pretend_link.h"
#include "supervision_fixture.h"

using namespace supervision_test;

namespace {

bool HasLine(const std::vector<LogLine>& lines, const std::string& tag, const std::string& prefix) {
  for (const auto& [t, text] : lines) {
    if (t == tag && text.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// The configuration bytes as the core saw them: the startup report of a core
// that never became ready holds its "argv" and "config" lines.
std::string StartupReport(const fs::path& data) {
  auto report = ProtectedFile::Read(data / L"core_startup.dpapi");
  return report.value_or("<no core_startup.dpapi>");
}

// A configuration of exactly `size` bytes that the privileged side accepts
// (valid JSON) but that holds CR, LF, escapes and UTF-8 of every length.
std::string MixedConfig(std::size_t size) {
  static const char* const kPieces[] = {"\\u0000", "\\r\\n", "\xC3\xA9", "\xE2\x82\xAC",
                                        "\xF0\x9D\x84\x9E", "\\\"", "a", "\\\\"};
  const std::string head = "{\r\n\"$schema\" :\t\"";
  const std::string tail = "\"\r\n}";
  std::string config = head;
  config.reserve(size);
  for (std::size_t i = 0; config.size() + 6 + tail.size() <= size; ++i) {
    config += kPieces[(i * 7 + i / 3) % std::size(kPieces)];
  }
  config.append(size - config.size() - tail.size(), 'x');
  return config + tail;
}

// The session log's lines but the broker's note that its folder can be
// changed by non-administrators, which it makes at every launch under Wine
// (no folder there has an ACL to show).
std::vector<LogLine> LinesButTheFolderNote() {
  std::vector<LogLine> lines = ReadLogLines(SessionLog::CurrentPath());
  std::erase_if(lines, [](const LogLine& line) {
    return line.second.rfind("install folder can be changed", 0) == 0;
  });
  return lines;
}

HANDLE HandedHandle(std::uint64_t value) {
  return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

}  // namespace

using CoreLaunch = CoreSupervisionTest;

TEST_F(CoreLaunch, SuccessfulStartEmitsStartingTwiceThenRunning) {
  StartOk("");
  ASSERT_TRUE(WaitForState("running"));
  // The core is the privileged program's child, and that program this
  // process's.
  ASSERT_NE(BrokerOf(), 0u);
  const std::vector<DWORD> cores = CoreProcessesOf();
  ASSERT_EQ(cores.size(), 1u);
  EXPECT_EQ(cores[0], CoreProcess.pid);
  EXPECT_TRUE(CoreProcessesOf(GetCurrentProcessId()).empty());
  EXPECT_TRUE(IsOurVpnRunning());
  const fs::path log = SessionLog::CurrentPath();
  StopCore();

  EXPECT_EQ(ReadLoggedEvents(log),
            (std::vector<Event>{{"starting", "preparing protected configuration pipe"},
                                {"starting", "pid=" + std::to_string(cores[0])},
                                {"running", "sing-box up"},
                                {"stopping", ""},
                                {"idle", ""}}));
  const auto lines = ReadLogLines(log);
  EXPECT_TRUE(HasLine(lines, "[app_owner]",
                      "pid=" + std::to_string(GetCurrentProcessId()) + " parent="));
  EXPECT_TRUE(HasLine(lines, "[boot]", "singbox=" + ToUtf8(BinCore().native())));
  EXPECT_TRUE(HasLine(lines, "[boot]", "wintun=" + ToUtf8(Wintun().native())));
  EXPECT_TRUE(HasLine(lines, "[tun_sweep]", "wintun_nodes="));
  EXPECT_TRUE(CoreProcessesOf().empty());
}

TEST_F(CoreLaunch, CoreGetsItsArgumentsFolderAndConfigurationByteForByte) {
  const std::string config = MixedConfig(300000);
  // A core that ends before readiness leaves everything it printed in the
  // startup report; this one ends by itself once it has printed it all.
  StartOk("noready,echo-config,exit=5", config);
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();
  const std::string report = StartupReport(data_);
  EXPECT_NE(report.find("\n" + ExpectedArgvLine(BinCore()) + "\n"), std::string::npos)
      << report.substr(0, 600);
  EXPECT_NE(report.find("\n" + ExpectedConfigEcho(config) + "\n"), std::string::npos)
      << report.substr(0, 600);
}

TEST_F(CoreLaunch, LargestConfigurationIsDeliveredWholeAndOneByteMoreIsRefused) {
  const std::string largest = MixedConfig(4194304);
  StartOk("noready,echo-config,exit=5", largest);
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();
  EXPECT_NE(StartupReport(data_).find(ExpectedConfigEcho(largest)), std::string::npos);

  std::ofstream(data_ / L"config.json") << "{\"stale\":true}";
  const DWORD handlesBefore = HandleCount();
  std::string error;
  EXPECT_FALSE(StartCore(largest + " ", error));
  EXPECT_EQ(error, "Could not prepare protected VPN configuration");
  EXPECT_EQ(LastVpnState(), "error");
  EXPECT_FALSE(fs::exists(data_ / L"config.json")) << "deleted before the size check";
  EXPECT_FALSE(CoreProcess.outputRead) << "no pipe was made";
  EXPECT_TRUE(CoreProcessesOf().empty());
  EXPECT_LE(HandleCount(), handlesBefore + 2);
  EXPECT_EQ(ReadLoggedEvents(SessionLog::CurrentPath()),
            (std::vector<Event>{{"starting", "preparing protected configuration pipe"},
                                {"error", "Could not prepare protected VPN configuration"}}));
}

TEST_F(CoreLaunch, StandInTakesItsControlsFromTheFirstLineOfItsFileBeforeTheEnvironment) {
  const std::string config = "{\"$schema\":\"file\"}";
  std::ofstream(StandInControlsFile(), std::ios::binary)
      << "noready,echo-config,exit=5\r\nfatal=second line\n";
  // The core has the privileged program's environment: a new program is
  // started with the variable set, and another without it afterwards.
  SetEnvironmentVariableW(L"TOVIX_STANDIN_CORE", L"fatal=from the environment");
  PrivilegedClient::Disconnect();
  std::string error;
  const bool started = StartCore(config, error);
  SetEnvironmentVariableW(L"TOVIX_STANDIN_CORE", nullptr);
  ASSERT_TRUE(started) << error;
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();
  PrivilegedClient::Disconnect();
  const std::string report = StartupReport(data_);
  EXPECT_NE(report.find(ExpectedConfigEcho(config)), std::string::npos) << report;
  EXPECT_EQ(report.find("second line"), std::string::npos) << report;
  EXPECT_EQ(report.find("from the environment"), std::string::npos) << report;
}

TEST_F(CoreLaunch, CoreInBinIsPreferredOverOneBesideTheProgram) {
  fs::copy_file(PristineCore(), BesideCore());
  StartOk("noready,exit=5");
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();
  EXPECT_NE(StartupReport(data_).find(ExpectedArgvLine(BinCore())), std::string::npos);

  fs::remove(BinCore());
  StartOk("noready,exit=5");
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();
  EXPECT_NE(StartupReport(data_).find(ExpectedArgvLine(BesideCore())), std::string::npos);
}

TEST_F(CoreLaunch, MissingCoreFailsAfterTheBootLines) {
  fs::remove(BinCore());
  std::string error;
  EXPECT_FALSE(StartCore("{}", error));
  EXPECT_EQ(error, "sing-box.exe not bundled at " + ToUtf8(BesideCore().native()));
  const auto lines = LinesButTheFolderNote();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0].first, "[app_owner]");
  EXPECT_EQ(lines[1], (LogLine{"[EVENT:starting]", "preparing protected configuration pipe"}));
  EXPECT_EQ(lines[2], (LogLine{"[boot]", "singbox=" + ToUtf8(BesideCore().native())}));
  EXPECT_EQ(lines[3].first, "[boot]");
  EXPECT_EQ(lines[4], (LogLine{"[EVENT:error]", error}));
  EXPECT_EQ(lines.size(), 5u) << "no sweep, no pipe, no process";
  EXPECT_FALSE(CoreProcess.outputRead);
}

TEST_F(CoreLaunch, MissingWintunFailsBeforeTheSweep) {
  fs::remove(Wintun());
  std::string error;
  EXPECT_FALSE(StartCore("{}", error));
  EXPECT_EQ(error, "wintun.dll missing (required for tun inbound)");
  const auto lines = LinesButTheFolderNote();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[3], (LogLine{"[boot]", "wintun=" + ToUtf8((ExeFolder() / L"wintun.dll").native())}));
  EXPECT_EQ(lines[4], (LogLine{"[EVENT:error]", error}));
  EXPECT_TRUE(CoreProcessesOf().empty());
  EXPECT_EQ(LastVpnState(), "error");
}

TEST_F(CoreLaunch, StaleConfigJsonIsDeletedByTheNextStart) {
  std::ofstream(data_ / L"config.json") << "{\"from\":\"an old version\"}";
  StartOk("");
  EXPECT_FALSE(fs::exists(data_ / L"config.json"));
}

TEST_F(CoreLaunch, SecondStartAnswersAlreadyRunningAndChangesNothing) {
  StartOk("");
  ASSERT_TRUE(WaitForState("running"));
  const DWORD pid = CoreProcess.pid;
  const fs::path log = SessionLog::CurrentPath();
  const std::size_t linesBefore = ReadLogLines(log).size();

  std::string error;
  EXPECT_FALSE(StartCore("{}", error));
  EXPECT_EQ(error, "already running");
  EXPECT_EQ(CoreProcess.pid, pid);
  EXPECT_EQ(CoreProcessesOf(), std::vector<DWORD>{pid});
  EXPECT_EQ(LastVpnState(), "running");
  EXPECT_EQ(SessionLog::CurrentPath(), log);
  EXPECT_EQ(ReadLogLines(log).size(), linesBefore) << "no log line, no event";
}

TEST_F(CoreLaunch, CoreThatNeverReadsItsInputFailsAfterFiveSecondsWithExitCodeOne) {
  SetStandInControls("ignore-stdin,noready");
  // The launch blocks this thread; a helper catches the core while it lives.
  HANDLE core = nullptr;
  std::thread catcher([&core] {
    WaitFor(
        [&core] {
          const auto pids = CoreProcessesOf();
          if (pids.empty()) return false;
          core = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pids[0]);
          return core != nullptr;
        },
        4000);
  });
  std::string error;
  const ULONGLONG started = GetTickCount64();
  const bool ok = StartCore(MixedConfig(1 << 20), error);
  const ULONGLONG took = GetTickCount64() - started;
  catcher.join();

  EXPECT_FALSE(ok);
  EXPECT_EQ(error, "Could not deliver VPN configuration");
  EXPECT_GE(took, 4900u);
  EXPECT_LT(took, 9000u);
  EXPECT_EQ(LastVpnState(), "error");
  ASSERT_NE(core, nullptr);
  ASSERT_EQ(WaitForSingleObject(core, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(core, &code));
  EXPECT_EQ(code, 1u);
  const DWORD corePid = GetProcessId(core);
  CloseHandle(core);
  // The core's end was the launch's own doing: no "sing-box exited" report.
  EXPECT_EQ(ReadLoggedEvents(SessionLog::CurrentPath()),
            (std::vector<Event>{{"starting", "preparing protected configuration pipe"},
                                {"starting", "pid=" + std::to_string(corePid)},
                                {"stopping", ""},
                                {"idle", ""}}));
  EXPECT_FALSE(CoreProcess.process);
  EXPECT_FALSE(CoreProcess.readerThread.joinable());
}

// A writer that begins only after the delivery gave up on it: the core,
// which never reads, is ended then and there, so the write fails at once
// instead of waiting forever, and the launch is answered in bounded time.
TEST_F(CoreLaunch, AConfigurationWriteThatMissesTheCancelEndsWithTheCore) {
  SetStandInControls("ignore-stdin,noready");
  static HANDLE deliveryOver = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(deliveryOver);
  SetConfigWriterHookForTests([] { WaitForSingleObject(deliveryOver, 10000); });
  const std::wstring user = ReadClientIdentity(GetCurrentProcess(), GetCurrentProcessId())->user;
  tovix::broker::Message launch;
  launch.text = MixedConfig(1 << 20);  // beyond what the pipe holds unread
  tovix::broker::Message launched, resumed, released;
  {
    ServiceLog log(launched.lines);
    LaunchCore(launch, GetCurrentProcess(), user, launched);
  }
  ASSERT_TRUE(launched.ok) << launched.text;
  tovix::UniqueHandle core(HandedHandle(launched.process));
  tovix::UniqueHandle output(HandedHandle(launched.output));  // open: the core may print
  const ULONGLONG started = GetTickCount64();
  ResumeCore(launched.core, GetCurrentProcess(), resumed);
  const ULONGLONG took = GetTickCount64() - started;
  SetEvent(deliveryOver);
  SetConfigWriterHookForTests(nullptr);
  EXPECT_FALSE(resumed.ok);
  EXPECT_LT(took, 7500u);
  EXPECT_EQ(CurrentCore(), 0u);
  EXPECT_EQ(WaitForSingleObject(core.get(), 0), WAIT_OBJECT_0) << "the core outlived the delivery";
  ReleaseCore(launched.core, released);
}

// A launch answered after the client stopped waiting: the start fails and
// drops the connection, whose end ends the core launched for it, so the
// next start is not refused; a reply that still arrives has its handles
// closed.
TEST_F(CoreLaunch, ALaunchAnsweredTooLateLeavesNoCoreAndNoHandle) {
  using tovix::broker::Kind;
  std::string error;
  PrivilegedClient::LimitReplyWaits(Kind::Launch, 0);
  const bool started = StartCore("{}", error);
  PrivilegedClient::LimitReplyWaits(Kind::Launch, INFINITE);
  EXPECT_FALSE(started);
  EXPECT_EQ(error, kServiceEndedMessage);
  EXPECT_TRUE(StartCore("{}", error)) << error;
  StopCore();

  std::optional<PrivilegedClient::Hello> hello;
  ASSERT_TRUE(PrivilegedClient::Ensure(error, hello)) << error;
  const DWORD handles = HandleCount();
  tovix::broker::Message launch;
  launch.text = "{}";
  EXPECT_FALSE(PrivilegedClient::Call(Kind::Launch, launch, 0));
  // Replies come in order: the hello's follows the launch's.
  EXPECT_TRUE(PrivilegedClient::Call(Kind::Hello, {}, 10000));
  EXPECT_TRUE(WaitFor([&] { return HandleCount() == handles; }, 2000)) << "the reply's handles kept";
  PrivilegedClient::Disconnect();
}

TEST_F(CoreLaunch, InheritableHandleOfTheHostDoesNotReachTheCore) {
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE sentinel = CreateSemaphoreW(&inheritable, 4242, 100000, nullptr);
  const std::string value = std::to_string(reinterpret_cast<std::uintptr_t>(sentinel));
  StartOk("noready,exit=5,handle-probe=" + value);
  ASSERT_TRUE(WaitForState("network_lost"));
  StopCore();
  CloseHandle(sentinel);
  EXPECT_NE(StartupReport(data_).find("\nhandle-probe " + value + " absent\n"), std::string::npos)
      << StartupReport(data_).substr(0, 600);
}

TEST_F(CoreLaunch, CoreRunsInsideItsJobWhetherCreatedThereOrBoundAfter) {
  // The privileged side's launch, run in this process (the client is this
  // process too), so that the fallback of systems without the job attribute
  // can be chosen; Wine knows the attribute.
  const std::wstring user = ReadClientIdentity(GetCurrentProcess(), GetCurrentProcessId())->user;
  for (const bool offer : {true, false}) {
    SCOPED_TRACE(offer);
    OfferCoreJobAtCreation(offer);
    tovix::broker::Message request;
    request.text = "{}";
    tovix::broker::Message reply;
    {
      ServiceLog log(reply.lines);
      LaunchCore(request, GetCurrentProcess(), user, reply);
    }
    OfferCoreJobAtCreation(true);
    ASSERT_TRUE(reply.ok) << reply.text;
    tovix::UniqueHandle core(HandedHandle(reply.process));
    tovix::UniqueHandle output(HandedHandle(reply.output));
    // The handed handle may only wait and ask for the exit code: it cannot
    // end the core, and the job query wants more.
    EXPECT_FALSE(TerminateProcess(core.get(), 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    tovix::UniqueHandle queried(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, reply.pid));
    BOOL inJob = FALSE;
    EXPECT_TRUE(IsProcessInJob(queried.get(), nullptr, &inJob) && inJob);
    // Closing the job is what ends the core (it never ran: still suspended).
    tovix::broker::Message released;
    ReleaseCore(reply.core, released);
    EXPECT_TRUE(released.ok);
    EXPECT_EQ(WaitForSingleObject(core.get(), 5000), WAIT_OBJECT_0) << "the job did not end it";
    // Wine now and then fails the creation inside the job with 1359; the
    // launch then logs its retry without the attribute and assigns the job.
    std::vector<LogLine> lines;
    for (const auto& line : reply.lines) lines.emplace_back(line.tag, line.text);
    const bool retried = HasLine(lines, "[boot]", "creation inside the job failed err=1359");
    EXPECT_TRUE(offer || !retried) << "no retry without the attribute offered";
    const char* expected = offer && !retried ? "core_job=at_creation" : "core_job=assigned";
    EXPECT_TRUE(HasLine(lines, "[boot]", expected));
    // Wine's iphlpapi has no SetInterfaceDnsSettings: the core may run netsh.
    EXPECT_TRUE(HasLine(lines, "[boot]", "core process limit off"));
    // The core worked in its user's own folder.
    EXPECT_TRUE(fs::is_directory(CommonAppDataFolder() / L"Kelpmarrow" / L"core" / user));
  }
}

// The job's limits, for Windows that can have the core alone in it and for
// Windows whose TUN set-up runs netsh.exe. (Wine reads a job's limits back as
// zero and does not enforce the process limit; the stand-in core's "child"
// control shows it on real Windows.)
TEST(CoreJobLimits, OneProcessOnlyWhereTheSystemSetsDnsWithoutNetsh) {
  EXPECT_FALSE(CoreMayBeLimitedToOneProcess());  // Wine 8
  for (const bool one : {true, false}) {
    const JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = CoreJobLimits(one);
    const DWORD flags = limits.BasicLimitInformation.LimitFlags;
    EXPECT_TRUE(flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE);
    EXPECT_EQ((flags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) != 0, one);
    EXPECT_EQ(limits.BasicLimitInformation.ActiveProcessLimit, one ? 1u : 0u);
  }
}

TEST_F(CoreLaunch, LinkedDataFolderFailsTheStartAndTouchesNothing) {
  std::ofstream(data_ / L"config.json") << "{}";
  NextSecond();  // a session log opened now would get a name of its own
  const fs::path lastLog = SessionLog::CurrentPath();
  for (const fs::path& linked : {data_, data_ / L"logs"}) {
    PretendLink link(linked);
    std::string error;
    EXPECT_FALSE(StartCore("{}", error));
    EXPECT_EQ(error, "VPN data folder is a link; refusing to use it");
  }
  EXPECT_EQ(SessionLog::CurrentPath(), lastLog) << "no session log was opened";
  EXPECT_TRUE(fs::exists(data_ / L"config.json")) << "nothing was deleted";
}

TEST_F(CoreLaunch, StartupReportIsNotWrittenIntoADataFolderThatBecameALink) {
  StartOk("noready,exit=3@1000");
  const fs::path log = SessionLog::CurrentPath();
  PretendLink link(data_ / L"logs");
  const auto refused = [&log] {
    return HasLine(ReadLogLines(log), "[diagnostic]", "could not save incomplete startup");
  };
  EXPECT_TRUE(WaitFor(refused, 10000));
  EXPECT_FALSE(fs::exists(data_ / L"core_startup.dpapi"));
}

TEST(CoreLaunchRetry, OnlyTheInternalErrorOfACreationInsideTheJobIsRetried) {
  EXPECT_TRUE(RetryCoreCreationWithoutJob(true, ERROR_INTERNAL_ERROR));
  EXPECT_FALSE(RetryCoreCreationWithoutJob(false, ERROR_INTERNAL_ERROR));
  for (const DWORD error : {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY,
                            ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED}) {
    EXPECT_FALSE(RetryCoreCreationWithoutJob(true, error)) << error;
  }
}
