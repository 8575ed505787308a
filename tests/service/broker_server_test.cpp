// TovixService.exe --broker, attacked over its pipe. The broker runs as a
// child of this test from a scratch install and serves this test process;
// each attack comes while a core it launched runs, and after it the core
// still runs, a new connection is served, and the broker still ends that
// core when asked. Then the installed service, shared: a session of Tovix.exe
// owns the VPN while this test process, which the test build of the service
// counts as another Windows user, tries to use, stop or hear it; and a
// service that is not ours or cannot run. Test thread; a helper
// mode plays a foreign client.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "channels/byte_streams.h"
#include "channels/encodable_value.h"
#include "channels/standard_codec.h"
#include "common/unique_resource.h"
#include "protocol/broker_protocol.h"
#include "protocol/pipe_owner.h"
#include "protocol/service_setup.h"
#include "service/channel/connection_seats.h"
#include "service/dns_rule/dns_policy.h"
#include "service/channel/service_users_policy.h"
#include "shell/whole_program.h"
#include "support/installed_service.h"

namespace {

using tovix::broker::Kind;
using tovix::broker::Message;

constexpr char kIntruderVariable[] = "TOVIX_BROKER_INTRUDER_PIPE";
constexpr char kConfig[] = R"({"outbounds":[{"type":"direct"}]})";
constexpr DWORD kReplyMs = 10000;

std::wstring PipeName(DWORD pid, const std::wstring& token) {
  return tovix::broker::kBrokerPipePrefix + std::to_wstring(pid) + L"." + token;
}

std::wstring FreshToken() {
  static int counter = 0;
  wchar_t token[33] = {};
  swprintf(token, 33, L"%08lx%08lx%016x", GetCurrentProcessId(), GetTickCount(), ++counter);
  return token;
}

// One overlapped transfer, waited for at most `ms`; cancelled after that.
bool Transfer(HANDLE pipe, bool write, void* data, DWORD size, DWORD ms, DWORD* moved = nullptr) {
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  DWORD done = 0;
  BOOL ok = write ? WriteFile(pipe, data, size, &done, &overlapped)
                  : ReadFile(pipe, data, size, &done, &overlapped);
  if (!ok && GetLastError() == ERROR_IO_PENDING) {
    if (WaitForSingleObject(event.get(), ms) != WAIT_OBJECT_0) CancelIoEx(pipe, &overlapped);
    ok = GetOverlappedResult(pipe, &overlapped, &done, TRUE);
  }
  if (moved) *moved = done;
  return ok != FALSE;
}

bool Send(HANDLE pipe, std::vector<std::uint8_t> bytes, DWORD ms = kReplyMs) {
  DWORD written = 0;
  return Transfer(pipe, true, bytes.data(), static_cast<DWORD>(bytes.size()), ms, &written) &&
         written == bytes.size();
}

std::optional<Message> Receive(HANDLE pipe, DWORD ms = kReplyMs) {
  std::vector<std::uint8_t> bytes(1 << 16);
  DWORD got = 0;
  if (!Transfer(pipe, false, bytes.data(), static_cast<DWORD>(bytes.size()), ms, &got)) {
    return std::nullopt;
  }
  return tovix::broker::DecodeMessage(bytes.data(), got);
}

Message Request(Kind kind, std::int64_t id, std::uint64_t core = 0, std::string text = {}) {
  Message request;
  request.id = id;
  request.kind = kind;
  request.core = core;
  request.text = std::move(text);
  return request;
}

// Whether the server has ended the connection: a read fails within `ms`
// (replies already queued are read past).
bool ConnectionEnds(HANDLE pipe, DWORD ms) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  std::vector<std::uint8_t> bytes(1 << 16);
  while (GetTickCount64() < deadline) {
    DWORD got = 0;
    if (!Transfer(pipe, false, bytes.data(), static_cast<DWORD>(bytes.size()),
                  static_cast<DWORD>(deadline - GetTickCount64()), &got) &&
        GetLastError() != ERROR_MORE_DATA && GetLastError() != ERROR_OPERATION_ABORTED) {
      return true;
    }
  }
  return false;
}

tovix::UniqueFileHandle Open(const std::wstring& name, DWORD* error = nullptr) {
  const ULONGLONG deadline = GetTickCount64() + 10000;
  for (;;) {
    tovix::UniqueFileHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                                             nullptr));
    const DWORD openError = GetLastError();
    if (pipe) {
      DWORD mode = PIPE_READMODE_MESSAGE;
      SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
      return pipe;
    }
    if (error) *error = openError;
    if ((openError != ERROR_FILE_NOT_FOUND && openError != ERROR_PIPE_BUSY) || error ||
        GetTickCount64() >= deadline) {
      return pipe;
    }
    Sleep(20);
  }
}

// sing-box.exe processes whose parent is `parent`.
int CoresOf(DWORD parent) {
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == parent && _wcsicmp(entry.szExeFile, L"sing-box.exe") == 0) {
      ++count;
    }
  }
  return count;
}

std::vector<std::uint8_t> Encoded(const flutter::EncodableValue& value) {
  std::vector<std::uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  flutter::StandardCodecSerializer::GetInstance().WriteValue(value, &writer);
  return bytes;
}

class BrokerServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(install.folder() / L"bin" / L"sing-box.exe")) {
      GTEST_SKIP() << "the sing-box stand-in is not built";
    }
    std::ofstream(install.folder() / L"bin" / L"standin-core.txt") << "echo-config\n";
    broker = StartBroker(PipeName(GetCurrentProcessId(), token));
    ASSERT_TRUE(broker);
    pipe = Open(name);
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(Hello(pipe.get()));
    LaunchCore();
  }
  void TearDown() override {
    pipe.reset();
    if (broker) TerminateProcess(broker.get(), 1);
    if (broker) WaitForSingleObject(broker.get(), 5000);
  }

  tovix::UniqueHandle StartBroker(const std::wstring& pipeName) {
    name = pipeName;
    std::wstring commandLine = L"\"" + (install.folder() / L"TovixService.exe").wstring() +
                               L"\" --broker " + std::to_wstring(GetCurrentProcessId()) + L" " +
                               token;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        install.folder().c_str(), &startup, &started)) {
      return tovix::UniqueHandle();
    }
    CloseHandle(started.hThread);
    brokerPid = started.dwProcessId;
    return tovix::UniqueHandle(started.hProcess);
  }

  bool Hello(HANDLE on) {
    if (!Send(on, tovix::broker::EncodeMessage(Request(Kind::Hello, ++lastId)))) return false;
    const std::optional<Message> reply = Receive(on);
    return reply && reply->reply && reply->id == lastId;
  }

  // Launches and resumes a core; its handles come into this process.
  void LaunchCore(const std::string& config = kConfig) {
    ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Launch, ++lastId, 0,
                                                                       config))));
    const std::optional<Message> launched = Receive(pipe.get());
    ASSERT_TRUE(launched && launched->ok) << (launched ? launched->text : "no reply");
    core = launched->core;
    coreProcess.reset(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(launched->process)));
    coreOutput.reset(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(launched->output)));
    ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Resume, ++lastId,
                                                                       core))));
    const std::optional<Message> resumed = Receive(pipe.get());
    ASSERT_TRUE(resumed && resumed->ok) << (resumed ? resumed->text : "no reply");
  }

  // A new broker, connection and core, as SetUp makes them.
  void Restart() {
    token = FreshToken();
    broker = StartBroker(PipeName(GetCurrentProcessId(), token));
    ASSERT_TRUE(broker);
    pipe = Open(name);
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(Hello(pipe.get()));
    LaunchCore();
  }

  // The connection is the lifeline: once it has ended, however, the core and
  // the broker end within 2 s.
  void ExpectTheEndTakesCoreAndBroker() {
    pipe.reset();
    EXPECT_EQ(WaitForSingleObject(coreProcess.get(), 2000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(broker.get(), 2000), static_cast<DWORD>(WAIT_OBJECT_0));
  }

  whole_program::ScratchInstall install;
  std::wstring token = FreshToken();
  std::wstring name;
  tovix::UniqueHandle broker;
  DWORD brokerPid = 0;
  tovix::UniqueFileHandle pipe;
  std::int64_t lastId = 0;
  std::uint64_t core = 0;
  tovix::UniqueHandle coreProcess;
  tovix::UniqueHandle coreOutput;
};

struct Attack {
  const char* what;
  std::function<void(HANDLE)> act;
};

TEST_F(BrokerServer, AnAttackEndsItsConnectionAndWithItTheCore) {
  using flutter::EncodableList;
  using flutter::EncodableValue;
  // A well-formed request's fields with one of them replaced.
  const auto fields = [](std::size_t at, EncodableValue value) {
    EncodableList list{EncodableValue(std::int64_t{1}), EncodableValue(std::int32_t{1}),
                       EncodableValue(false),           EncodableValue(false),
                       EncodableValue(false),           EncodableValue(std::int64_t{0}),
                       EncodableValue(std::int64_t{0}), EncodableValue(std::int64_t{0}),
                       EncodableValue(std::int64_t{0}), EncodableValue(std::string()),
                       EncodableValue(EncodableList{})};
    list[at] = std::move(value);
    return Encoded(EncodableValue(std::move(list)));
  };
  const std::vector<Attack> attacks = {
      {"half a message, then gone",
       [&](HANDLE pipe) {
         auto bytes = tovix::broker::EncodeMessage(Request(Kind::Hello, 7));
         bytes.resize(bytes.size() / 2);
         Send(pipe, bytes);
       }},
      {"an id that is text",
       [&](HANDLE pipe) { Send(pipe, fields(0, EncodableValue("1"))); }},
      {"a kind beyond the known",
       [&](HANDLE pipe) { Send(pipe, fields(1, EncodableValue(99))); }},
      {"a flag that is a number",
       [&](HANDLE pipe) { Send(pipe, fields(2, EncodableValue(1))); }},
      {"a message flagged as a reply",
       [&](HANDLE pipe) { Send(pipe, fields(2, EncodableValue(true))); }},
      {"a map instead of a list",
       [&](HANDLE pipe) { Send(pipe, Encoded(EncodableValue(flutter::EncodableMap{}))); }},
      {"one byte beyond the largest message",
       [&](HANDLE pipe) {
         // Refused as it comes: the send does not go through whole.
         EXPECT_FALSE(Send(pipe, std::vector<std::uint8_t>(tovix::broker::kMaxMessageBytes + 1, 12),
                           3000));
       }},
      {"a client that stops reading",
       [&](HANDLE pipe) {
         // Replies pile up beyond the pipe's buffer: the broker's write
         // waits on a client that never reads.
         for (int i = 0; i < 4000; ++i) {
           if (!Send(pipe, tovix::broker::EncodeMessage(Request(Kind::Terminate, ++lastId,
                                                                 0, std::string(60, 'x'))),
                     10000)) {
             break;
           }
         }
       }},
  };
  for (const Attack& attack : attacks) {
    SCOPED_TRACE(attack.what);
    if (&attack != &attacks.front()) Restart();
    attack.act(pipe.get());
    EXPECT_TRUE(ConnectionEnds(pipe.get(), 10000));
    ExpectTheEndTakesCoreAndBroker();
  }
}

TEST_F(BrokerServer, AThousandRequestsAtOnceAreAllAnsweredInOrder) {
  std::vector<std::uint8_t> all;
  constexpr int kRequests = 1000;
  const std::int64_t first = lastId + 1;
  for (int i = 0; i < kRequests; ++i) {
    ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Resume, ++lastId,
                                                                       core + 1))));
  }
  for (int i = 0; i < kRequests; ++i) {
    const std::optional<Message> reply = Receive(pipe.get());
    ASSERT_TRUE(reply) << i;
    ASSERT_EQ(reply->id, first + i);
    EXPECT_EQ(reply->text, "no such core");
  }
  ExpectTheEndTakesCoreAndBroker();
}

// The rule's worker asks, through the real handler, whether its core is still
// the one held: for a core already ended it decides nothing.
TEST_F(BrokerServer, ApplyDnsForAnEndedCoreDecidesNothing) {
  ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Terminate, ++lastId,
                                                                     core))));
  ASSERT_TRUE(Receive(pipe.get()));
  ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::ApplyDns, ++lastId,
                                                                     core))));
  const std::optional<Message> reply = Receive(pipe.get(), 5000);
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->ok) << reply->text;
}

TEST_F(BrokerServer, ASecondClientIsBusyAndTheFirstStillServed) {
  DWORD error = 0;
  EXPECT_FALSE(Open(name, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PIPE_BUSY));
  EXPECT_TRUE(Hello(pipe.get()));
  ExpectTheEndTakesCoreAndBroker();
}

TEST_F(BrokerServer, AConfigurationBeyondOneBufferArrivesWhole) {
  ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Release, ++lastId,
                                                                     core))));
  ASSERT_TRUE(Receive(pipe.get()));
  ASSERT_EQ(WaitForSingleObject(coreProcess.get(), 2000), static_cast<DWORD>(WAIT_OBJECT_0));
  const std::string config =
      R"({"outbounds":[{"type":"direct","tag":")" + std::string(1 << 20, 'a') + R"("}]})";
  LaunchCore(config);
  // The stand-in's "config bytes=<n>" line.
  std::string output;
  const ULONGLONG deadline = GetTickCount64() + kReplyMs;
  while (output.find("config bytes=") == std::string::npos && GetTickCount64() < deadline) {
    char buffer[4096];
    DWORD got = 0;
    if (!ReadFile(coreOutput.get(), buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    output.append(buffer, got);
  }
  EXPECT_NE(output.find("config bytes=" + std::to_string(config.size()) + " "), std::string::npos)
      << output;
  ExpectTheEndTakesCoreAndBroker();
}

TEST_F(BrokerServer, AnotherProcessIsRefusedAndTheServedOneHeardAfter) {
  // A second broker for this process, whose pipe nobody has connected to yet.
  tovix::UniqueHandle first = std::move(broker);
  token = FreshToken();
  broker = StartBroker(PipeName(GetCurrentProcessId(), token));
  ASSERT_TRUE(broker);
  // This test program again, as a client that is not the served process.
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) +
                             L"\" --gtest_filter=BrokerIntruder.SendsALaunch";
  SetEnvironmentVariableW(L"TOVIX_BROKER_INTRUDER_PIPE", name.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  const BOOL made = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                   nullptr, nullptr, &startup, &started);
  SetEnvironmentVariableW(L"TOVIX_BROKER_INTRUDER_PIPE", nullptr);
  ASSERT_TRUE(made);
  CloseHandle(started.hThread);
  tovix::UniqueHandle intruder(started.hProcess);
  ASSERT_EQ(WaitForSingleObject(intruder.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  GetExitCodeProcess(intruder.get(), &code);
  EXPECT_EQ(code, 0u) << "1: not connected at all, 2: its request was answered";
  EXPECT_EQ(CoresOf(brokerPid), 0);
  pipe = Open(name);
  ASSERT_TRUE(pipe);
  EXPECT_TRUE(Hello(pipe.get()));
}

// The foreign client (run only by the test above): connects, sends a launch
// and exits 0 when the connection ended without an answer.
TEST(BrokerIntruder, SendsALaunch) {
  char name[512] = {};
  if (GetEnvironmentVariableA(kIntruderVariable, name, sizeof name) == 0) {
    GTEST_SKIP() << "a helper of AnotherProcessIsRefusedAndTheServedOneHeardAfter";
  }
  const std::wstring wide(name, name + strlen(name));
  tovix::UniqueFileHandle pipe = Open(wide);
  if (!pipe) ExitProcess(1);
  Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Launch, 1, 0, kConfig)), 3000);
  ExitProcess(Receive(pipe.get(), 3000) ? 2 : 0);
}

TEST(BrokerPipe, ANameTakenFirstMeansNoBroker) {
  whole_program::ScratchInstall install;
  const std::wstring token = FreshToken();
  const std::wstring name = PipeName(GetCurrentProcessId(), token);
  tovix::UniqueFileHandle squatter(CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_MESSAGE,
      PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(squatter);
  std::wstring commandLine = L"\"" + (install.folder() / L"TovixService.exe").wstring() +
                             L"\" --broker " + std::to_wstring(GetCurrentProcessId()) + L" " +
                             token;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &started));
  CloseHandle(started.hThread);
  tovix::UniqueHandle broker(started.hProcess);
  ASSERT_EQ(WaitForSingleObject(broker.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  GetExitCodeProcess(broker.get(), &code);
  EXPECT_EQ(code, 1u);
}

class ServicePipe : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(install.folder() / L"bin" / L"sing-box.exe")) {
      GTEST_SKIP() << "the sing-box stand-in is not built";
    }
    ASSERT_TRUE(service.installed());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRulePath.c_str());
  }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRulePath.c_str()); }

  // A session that has started its VPN and keeps it.
  whole_program::Process StartOwner() {
    whole_program::Process app = install.Start({}, {StartCall()});
    EXPECT_TRUE(WaitForReply(app)) << Lines(app.Transcript());
    return app;
  }

  static std::string StartCall() {
    return "call kelpmarrow.vpn/core " +
           whole_program::MethodCallHex("start", flutter::EncodableValue(std::string(kConfig)));
  }
  static bool WaitForReply(const whole_program::Process& app) {
    const ULONGLONG deadline = GetTickCount64() + 30000;
    while (!whole_program::ReplyTo(app.Transcript(), "kelpmarrow.vpn/core").has_value()) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(50);
    }
    return true;
  }
  static std::string Lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
  }
  // The reply "start" got in a session that only starts.
  std::optional<transcript::Reply> StartReply(const wchar_t* name) {
    const whole_program::RunResult run = install.Run({}, {StartCall(), "close"}, 60000, name);
    return whole_program::ReplyTo(run.transcript, "kelpmarrow.vpn/core");
  }

  const std::wstring kRulePath =
      MachineDnsPolicyTarget().ruleParentPath + L"\\" + kDnsPolicyRuleKeyName;
  whole_program::ScratchInstall install;
  InstalledService service{install.folder()};
};

TEST_F(ServicePipe, AnotherUsersClientCanNeitherStartNorStopNorHearTheVpn) {
  auto app = StartOwner();
  const DWORD servicePid = InstalledService::Pid();
  ASSERT_EQ(CoresOf(servicePid), 1);
  HKEY rule = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRulePath.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_READ, nullptr, &rule, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(rule);

  tovix::UniqueFileHandle pipe = Open(tovix::service_setup::kPipeName);
  ASSERT_TRUE(pipe);
  EXPECT_TRUE(PipeOwnedBy(pipe.get(), kLocalSystemSid));
  std::int64_t id = 0;
  const auto ask = [&](Kind kind, std::uint64_t core = 0, std::string text = {}) {
    EXPECT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(kind, ++id, core, text))));
    std::optional<Message> reply = Receive(pipe.get());
    // Its own reply, and nothing of the owner's.
    EXPECT_TRUE(reply && reply->id == id && reply->kind == kind);
    return reply.value_or(Message{});
  };
  EXPECT_TRUE(ask(Kind::Hello).reply);
  const Message launch = ask(Kind::Launch, 0, kConfig);
  EXPECT_FALSE(launch.ok);
  EXPECT_EQ(launch.text, "the VPN is in use by another Windows user");
  for (std::uint64_t core = 1; core <= 3; ++core) {
    EXPECT_FALSE(ask(Kind::Terminate, core).ok);
    EXPECT_FALSE(ask(Kind::Release, core).ok);
  }
  EXPECT_FALSE(ask(Kind::RemoveDns, 0, "stop").ok);
  EXPECT_FALSE(ask(Kind::Cleanup).flag);
  // Neither a line nor an event of the owner's arrives meanwhile.
  DWORD waiting = 0;
  Sleep(300);
  EXPECT_TRUE(PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &waiting, nullptr));
  EXPECT_EQ(waiting, 0u);

  EXPECT_EQ(CoresOf(servicePid), 1);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRulePath.c_str(), 0, KEY_READ, &rule),
            ERROR_SUCCESS);
  RegCloseKey(rule);
  app.Close();
  ASSERT_TRUE(app.Wait(30000).has_value());
}

// The service's places on its pipe are few: one that a client takes and never
// speaks on is given back after the first-request limit (5 s).
TEST_F(ServicePipe, AClientThatSaysNothingIsLetGo) {
  InstalledService::Start();
  tovix::UniqueFileHandle pipe = Open(tovix::service_setup::kPipeName);
  ASSERT_TRUE(pipe);
  const ULONGLONG deadline = GetTickCount64() + 9000;
  DWORD waiting = 0;
  while (PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &waiting, nullptr)) {
    ASSERT_LT(GetTickCount64(), deadline) << "the silent client is still connected";
    Sleep(50);
  }
}

// One Windows user (this program, to the test build) holds at most four of
// the service's places however fast it opens more; another (Tovix.exe) still
// gets in and starts.
TEST_F(ServicePipe, OneUserHoldsFourPlacesAndAnotherStillStarts) {
  InstalledService::Start();
  ASSERT_TRUE(Open(tovix::service_setup::kPipeName));  // it runs
  std::vector<tovix::UniqueFileHandle> held;
  for (const ULONGLONG end = GetTickCount64() + 2000; held.size() < 40 && GetTickCount64() < end;) {
    held.emplace_back(CreateFileW(tovix::service_setup::kPipeName, GENERIC_READ | GENERIC_WRITE, 0,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!held.back()) held.pop_back(), Sleep(5);
  }
  int served = 0;
  for (const tovix::UniqueFileHandle& pipe : held) {
    served += Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Hello, 1)), 1000) &&
              Receive(pipe.get(), 2000).has_value();
  }
  EXPECT_EQ(served, kSeatsPerUser);
  const std::optional<transcript::Reply> started = StartReply(L"another-user");
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->kind, transcript::Reply::Kind::kSuccess) << started->message;
}

// The ServiceUsers policy, read anew for each request: where it says
// "Administrators" (or something unknown), a client that is not one (this
// program, with "standard-users.test") cannot start, stop or clean up; an
// administrator (Tovix.exe: under Wine every token is one) still starts.
TEST_F(ServicePipe, TheServiceUsersPolicyKeepsOutAllButAdministrators) {
  std::ofstream(install.folder() / L"standard-users.test").close();
  InstalledService::Start();
  tovix::UniqueFileHandle pipe = Open(tovix::service_setup::kPipeName);
  ASSERT_TRUE(pipe);
  std::int64_t id = 0;
  for (const wchar_t* value : {L"", L"Interactive", L"Administrators", L"interactive"}) {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceUsersPolicyKey);
    if (*value != 0) RegSetKeyValueW(HKEY_LOCAL_MACHINE, kServiceUsersPolicyKey, kServiceUsersValue,
                                     REG_SZ, value, static_cast<DWORD>(wcslen(value) * 2 + 2));
    const bool refused = *value != 0 && wcscmp(value, L"Interactive") != 0;
    std::uint64_t core = 0;
    for (const Kind kind : {Kind::Launch, Kind::Release, Kind::Cleanup}) {
      ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(
                                       kind, ++id, core, kind == Kind::Launch ? kConfig : ""))));
      const Message reply = Receive(pipe.get()).value_or(Message{});
      EXPECT_EQ(reply.text == kServiceLimitedToAdministrators && !reply.ok, refused) << id;
      core = reply.core;
    }
  }
  const std::optional<transcript::Reply> started = StartReply(L"administrator");
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceUsersPolicyKey);
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->kind, transcript::Reply::Kind::kSuccess) << started->message;
}

// The idle rule, as the serving thread tends it (here with a 1 s delay): a
// client that keeps asking keeps the service; one that stays connected and
// says nothing more does not.
TEST_F(ServicePipe, TheServiceEndsItselfOnceNobodyUsesIt) {
  std::ofstream(install.folder() / L"short-idle.test").close();
  InstalledService::Start();
  tovix::UniqueFileHandle pipe = Open(tovix::service_setup::kPipeName);
  ASSERT_TRUE(pipe);
  for (std::int64_t id = 1; id <= 8; ++id) {
    ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Hello, id))));
    ASSERT_TRUE(Receive(pipe.get()).has_value()) << "ended while a client was asking";
    Sleep(300);
  }
  const ULONGLONG deadline = GetTickCount64() + 8000;
  while (InstalledService::Pid() != 0) {
    ASSERT_LT(GetTickCount64(), deadline) << "still running for a client that says nothing";
    Sleep(100);
  }
}

TEST_F(ServicePipe, AnOwnerWhoseCoreEndedByItselfKeepsNobodyOut) {
  std::ofstream(install.folder() / L"bin" / L"standin-core.txt") << "exit=3@500\n";
  auto app = StartOwner();
  const DWORD servicePid = InstalledService::Pid();
  const ULONGLONG deadline = GetTickCount64() + 10000;
  while (CoresOf(servicePid) != 0 && GetTickCount64() < deadline) Sleep(50);
  ASSERT_EQ(CoresOf(servicePid), 0);
  tovix::UniqueFileHandle pipe = Open(tovix::service_setup::kPipeName);
  ASSERT_TRUE(pipe);
  ASSERT_TRUE(Send(pipe.get(), tovix::broker::EncodeMessage(Request(Kind::Launch, 1, 0, kConfig))));
  const std::optional<Message> launched = Receive(pipe.get());
  ASSERT_TRUE(launched.has_value());
  EXPECT_TRUE(launched->ok) << launched->text;
  app.Close();
  ASSERT_TRUE(app.Wait(30000).has_value());
}

// A server of the service's pipe name that is not the service: "start"
// writes it nothing and cannot verify the service.
void ExpectSquatterGetsNothing(const std::function<std::optional<transcript::Reply>()>& start) {
  tovix::UniqueFileHandle squatter(CreateNamedPipeW(
      tovix::service_setup::kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0,
      nullptr));
  ASSERT_TRUE(squatter);
  tovix::UniqueHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped{};
  overlapped.hEvent = connected.get();
  ConnectNamedPipe(squatter.get(), &overlapped);
  const std::optional<transcript::Reply> started = start();
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->code, "start_failed");
  EXPECT_EQ(started->message, "the VPN service could not be verified");
  DWORD waiting = 0;
  PeekNamedPipe(squatter.get(), nullptr, 0, nullptr, &waiting, nullptr);
  EXPECT_EQ(waiting, 0u);
  CancelIoEx(squatter.get(), &overlapped);
}

TEST_F(ServicePipe, ANameServedByAnotherProcessGetsNoByteAndStartCannotVerifyTheService) {
  // Taken before the service starts: the service ends at once.
  ExpectSquatterGetsNothing([&] { return StartReply(L"squatted"); });
  // Taken while the service runs without its pipe: the server is not the
  // process the service manager names.
  std::ofstream(install.folder() / L"no-pipe.test") << "";
  ExpectSquatterGetsNothing([&] { return StartReply(L"squatted-running"); });
  EXPECT_NE(InstalledService::Pid(), 0u);
}

// Served by the service's own process, but not owned by LocalSystem: not the
// service's pipe (the test build serves it as ever, owned by its creator).
TEST_F(ServicePipe, APipeNotOwnedByLocalSystemIsNotTheService) {
  std::ofstream(install.folder() / L"plain-owner.test") << "";
  const std::optional<transcript::Reply> started = StartReply(L"plain-owner");
  ASSERT_TRUE(started.has_value());
  EXPECT_EQ(started->message, "the VPN service could not be verified");
}

TEST_F(ServicePipe, AServiceNotOursOrUnfitToRunIsAClearStartFailure) {
  // Registered from another folder: not the program beside Tovix.exe.
  {
    whole_program::ScratchInstall elsewhere;
    InstalledService theirs(elsewhere.folder());
    ASSERT_TRUE(theirs.installed());
    const auto started = StartReply(L"elsewhere");
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->message, "the VPN service could not be verified");
  }
  // Ours, but its folder opened up after it started: the running service
  // launches nothing more.
  InstalledService ours(install.folder());
  auto first = StartOwner();
  first.Close();
  ASSERT_TRUE(first.Wait(30000).has_value());
  ASSERT_NE(InstalledService::Pid(), 0u);
  std::ofstream(install.folder() / kOpenedUpMarker) << "";
  auto opened = StartReply(L"opened");
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(opened->message, tovix::service_setup::kFolderMessage);
  EXPECT_EQ(CoresOf(InstalledService::Pid()), 0);
  std::filesystem::remove(install.folder() / kOpenedUpMarker);
  // Its program gone: nothing to start.
  UninstallService(std::chrono::seconds(10));
  InstalledService gone(install.folder());
  std::filesystem::remove(install.folder() / L"TovixService.exe");
  const auto missing = StartReply(L"missing");
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->message,
            "TovixService.exe not bundled at " + (install.folder() / L"TovixService.exe").string());
}

}  // namespace
