// The connection to the privileged program: the installed service when there
// is one, otherwise the program started with the verb "runas" (the elevation
// prompt), which makes a pipe whose name holds this process's id and a random
// token. Before anything is sent, the pipe's server must be the very process
// the service manager names, or that was started: a name another process made
// first gets nothing. Requests are written by the calling threads, replies
// read by one reader thread that hands each to its waiter. Any thread.
#include "core/broker_client.h"

#include <bcrypt.h>
#include <shellapi.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "channels/secure_wipe.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/unique_resource.h"
#include "protocol/pipe_framing.h"
#include "protocol/service_setup.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

constexpr wchar_t kProgramName[] = L"TovixService.exe";
constexpr ULONGLONG kConnectWaitMs = 10000;
constexpr DWORD kHelloWaitMs = 10000;
// A broker ends within 2 s of its connection; a little more is allowed.
constexpr DWORD kPreviousBrokerWaitMs = 3000;

struct Pending {
  std::optional<Message> reply;
  bool done = false;
  // Its caller gave up waiting: a reply that still comes is let go, and the
  // handles it carries into this process are closed.
  bool abandoned = false;
  BrokerClient::Done callback;  // set for a request nobody waits for
};

// A handle value the privileged program made in this process, when nonzero.
void CloseHanded(std::uint64_t value) {
  if (value != 0) CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)));
}

// The connection. `lock` guards everything here; the session log's lock may
// be taken under it, nothing else.
std::mutex lock;
std::condition_variable replied;
tovix::UniqueHandle process;
tovix::UniqueFileHandle pipe;
std::thread reader;
std::map<std::int64_t, std::shared_ptr<Pending>> pending;
std::int64_t nextId = 0;
bool connected = false;
// The installed service's process when connected to it, 0 for the broker.
DWORD servicePid = 0;
std::wstring programOverride;
BrokerClient::Starter starter = ShellExecuteExW;
// Held while a request is written, so that requests never interleave; taken
// after `lock` where both are held, and never while waiting for a reply.
std::mutex writeLock;

std::wstring Program() {
  if (!programOverride.empty()) return programOverride;
  return ExecutableFolderFile(kProgramName);
}

std::wstring RandomToken() {
  unsigned char bytes[16] = {};
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof bytes,
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return {};
  }
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  std::wstring token;
  for (const unsigned char byte : bytes) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

// Set to end the reader (manual-reset): its read is cancelled, and it
// issues no further one. Made anew for each connection.
tovix::UniqueHandle readerStop;

void Deliver(const std::shared_ptr<Pending>& slot, std::optional<Message> reply) {
  BrokerClient::Done callback;
  {
    std::lock_guard guard(lock);
    slot->reply = std::move(reply);
    slot->done = true;
    callback = std::move(slot->callback);
  }
  replied.notify_all();
  if (callback) {
    try {
      callback(slot->reply);
    } catch (...) {
    }
  }
}

// Reader thread: hands each reply to its request until the connection ends,
// then answers every open request with nothing.
void ReadReplies(HANDLE handle, HANDLE stop) {
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::uint8_t> bytes;
  while (event && tovix::broker::ReadMessage(handle, event.get(), bytes, {stop}, INFINITE)
                          .outcome == tovix::broker::ReadOutcome::Message) {
    std::optional<Message> reply = tovix::broker::DecodeMessage(bytes.data(), bytes.size());
    if (!reply || !reply->reply) break;  // not the program we started: stop listening
    std::shared_ptr<Pending> slot;
    {
      std::lock_guard guard(lock);
      const auto found = pending.find(reply->id);
      if (found == pending.end()) continue;
      slot = found->second;
      pending.erase(found);
      if (slot->abandoned) {
        CloseHanded(reply->process);
        CloseHanded(reply->output);
        continue;
      }
    }
    Deliver(slot, std::move(reply));
  }
  std::map<std::int64_t, std::shared_ptr<Pending>> orphans;
  {
    std::lock_guard guard(lock);
    connected = false;
    orphans.swap(pending);
  }
  for (auto& [id, slot] : orphans) Deliver(slot, std::nullopt);
}

// Writes one request; the caller holds `writeLock`.
bool WriteLocked(const Message& message) {
  if (!pipe) return false;
  std::vector<std::uint8_t> bytes = tovix::broker::EncodeMessage(message);
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const bool ok = event && tovix::broker::WriteMessage(pipe.get(), event.get(), bytes);
  flutter::WipeBytes(bytes);
  return ok;
}

std::shared_ptr<Pending> Send(Kind kind, Message& request, BrokerClient::Done callback) {
  auto slot = std::make_shared<Pending>();
  slot->callback = std::move(callback);
  {
    std::lock_guard guard(lock);
    if (!connected) return nullptr;
    request.id = ++nextId;
    request.kind = kind;
    request.reply = false;
    pending[request.id] = slot;
  }
  bool written = false;
  {
    std::lock_guard writing(writeLock);
    written = WriteLocked(request);
  }
  if (!written) {
    std::lock_guard guard(lock);
    pending.erase(request.id);
    return nullptr;
  }
  return slot;
}

void CloseLocked(std::unique_lock<std::mutex>& held) {
  std::thread ending = std::move(reader);
  held.unlock();
  if (ending.joinable()) {
    SetEvent(readerStop.get());
    ending.join();
  }
  held.lock();
  std::lock_guard writing(writeLock);
  pipe.reset();
  process.reset();
  connected = false;
}

// Opens the pipe `name` once it exists, and checks that its server is the
// process `server` before anything is sent: a name another process made
// first gets nothing. `serverGone` says when to stop waiting. The error is
// the "start_failed" message.
bool OpenPipe(const std::wstring& name, DWORD server, const std::function<bool()>& serverGone,
              tovix::UniqueFileHandle& opened, std::string& error) {
  const ULONGLONG deadline = GetTickCount64() + kConnectWaitMs;
  for (;;) {
    // Identification only: a server cannot act as this user.
    opened.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                           nullptr));
    if (opened) break;
    const DWORD openError = GetLastError();
    if ((openError != ERROR_FILE_NOT_FOUND && openError != ERROR_PIPE_BUSY) || serverGone() ||
        GetTickCount64() >= deadline) {
      error = "VPN service could not start: err=" + std::to_string(openError);
      return false;
    }
    if (openError == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), 100);
    } else {
      Sleep(5);
    }
  }
  ULONG serverSeen = 0;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!GetNamedPipeServerProcessId(opened.get(), &serverSeen) || serverSeen != server ||
      serverGone() || !SetNamedPipeHandleState(opened.get(), &mode, nullptr, nullptr)) {
    opened.reset();
    error = kBrokerUnverifiedMessage;
    return false;
  }
  return true;
}

// The service's state as the service manager reports it; nothing when it
// cannot be asked.
std::optional<SERVICE_STATUS_PROCESS> ServiceState(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status{};
  DWORD size = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &size)) {
    return std::nullopt;
  }
  return status;
}

// Whether the installed service runs `program` (the one beside this one),
// and no other: a service of our name that runs something else is not ours.
bool RunsOurProgram(SC_HANDLE service, const std::wstring& program) {
  DWORD size = 0;
  QueryServiceConfigW(service, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<std::uint8_t> buffer(size);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, size, &size) || config->lpBinaryPathName == nullptr) {
    return false;
  }
  return _wcsicmp(config->lpBinaryPathName, (L"\"" + program + L"\"").c_str()) == 0;
}

// The "start_failed" message of a program that could not be started.
std::string StartFailure(DWORD error, const std::wstring& program) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return "TovixService.exe not bundled at " + ToUtf8(program);
  }
  // The service ends so when another process holds its pipe's name.
  if (error == ERROR_PIPE_BUSY) return kBrokerUnverifiedMessage;
  return "VPN service could not start: err=" + std::to_string(error);
}

// Starts the service unless it runs, and waits until it does; the error is
// the "start_failed" message.
std::optional<SERVICE_STATUS_PROCESS> RunService(SC_HANDLE service, const std::wstring& program,
                                                 std::string& error) {
  const ULONGLONG deadline = GetTickCount64() + kConnectWaitMs;
  bool started = false;
  for (;;) {
    const std::optional<SERVICE_STATUS_PROCESS> status = ServiceState(service);
    if (!status) break;
    if (status->dwCurrentState == SERVICE_RUNNING && status->dwProcessId != 0) return status;
    if (status->dwCurrentState == SERVICE_STOPPED) {
      if (started && status->dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
          status->dwServiceSpecificExitCode ==
              static_cast<DWORD>(tovix::service_setup::Outcome::FolderNotAdminOnly)) {
        error = tovix::service_setup::kFolderMessage;
        return std::nullopt;
      }
      if (started && status->dwWin32ExitCode != NO_ERROR) {
        error = StartFailure(status->dwWin32ExitCode, program);
        return std::nullopt;
      }
      if (!StartServiceW(service, 0, nullptr) &&
          GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        error = StartFailure(GetLastError(), program);
        return std::nullopt;
      }
      started = true;
    }
    if (GetTickCount64() >= deadline) break;
    Sleep(20);
  }
  error = "VPN service could not start: err=" + std::to_string(ERROR_SERVICE_REQUEST_TIMEOUT);
  return std::nullopt;
}

// The installed service, when there is one, in place of the prompt: started
// if need be, and its pipe's server checked against the process the service
// manager names for it. False with `error` set when it is installed but
// cannot be had; false with `error` empty when it is not installed.
bool ConnectService(const std::wstring& program, tovix::UniqueFileHandle& opened, DWORD& pid,
                    std::string& error) {
  namespace setup = tovix::service_setup;
  tovix::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  tovix::UniqueServiceHandle service(
      OpenServiceW(manager.get(), setup::kServiceName,
                   SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service) {
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
      error = "VPN service could not start: err=" + std::to_string(GetLastError());
    }
    return false;
  }
  if (!RunsOurProgram(service.get(), program)) {
    error = kBrokerUnverifiedMessage;
    return false;
  }
  const std::optional<SERVICE_STATUS_PROCESS> running = RunService(service.get(), program, error);
  if (!running) return false;
  pid = running->dwProcessId;
  // Still the same process of the service once the pipe is open: a service
  // that ended meanwhile may have left its name to someone else.
  const auto ended = [&] {
    const std::optional<SERVICE_STATUS_PROCESS> now = ServiceState(service.get());
    return !now || now->dwCurrentState != SERVICE_RUNNING || now->dwProcessId != pid;
  };
  if (OpenPipe(setup::kPipeName, pid, ended, opened, error)) return true;
  // Ended meanwhile: why it ended says more.
  const std::optional<SERVICE_STATUS_PROCESS> now = ServiceState(service.get());
  if (now && now->dwCurrentState == SERVICE_STOPPED && now->dwWin32ExitCode != NO_ERROR) {
    error = StartFailure(now->dwWin32ExitCode, program);
  }
  return false;
}

// Connects the reader to the open pipe; `process` is set by the caller.
bool StartReading(std::string& error, std::unique_lock<std::mutex>& held) {
  connected = true;
  pending.clear();
  // A process that ends without Disconnect (a test, say) still joins the
  // reader before the statics it uses are torn down.
  static const bool exitHookRegistered = std::atexit(&BrokerClient::Disconnect) == 0;
  (void)exitHookRegistered;
  readerStop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  try {
    if (!readerStop) throw std::system_error(ERROR_NOT_ENOUGH_MEMORY, std::system_category());
    reader = std::thread(ReadReplies, pipe.get(), readerStop.get());
  } catch (const std::system_error&) {
    CloseLocked(held);
    error = "VPN service could not start: err=" + std::to_string(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

bool Launch(std::string& error, std::unique_lock<std::mutex>& held) {
  const std::wstring program = Program();
  tovix::UniqueFileHandle opened;
  DWORD pid = 0;
  held.unlock();  // the service manager may take a while
  const bool service = ConnectService(program, opened, pid, error);
  held.lock();
  servicePid = service ? pid : 0;
  if (service) {
    pipe = std::move(opened);
    return StartReading(error, held);
  }
  if (!error.empty()) return false;

  const std::wstring token = RandomToken();
  if (program.empty() || token.empty()) {
    error = "VPN service could not start: err=" + std::to_string(ERROR_FILE_NOT_FOUND);
    return false;
  }
  const std::wstring id = std::to_wstring(GetCurrentProcessId());
  const std::wstring parameters = std::wstring(tovix::broker::kBrokerSwitch) + L" " + id + L" " +
                                  token;
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"runas";
  info.lpFile = program.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_HIDE;
  const BrokerClient::Starter start = starter;
  held.unlock();  // the prompt may take the user a while
  const BOOL started = start(&info);
  const DWORD startError = GetLastError();
  held.lock();
  if (!started || info.hProcess == nullptr) {
    error = startError == ERROR_CANCELLED ? std::string(kBrokerDeclinedMessage)
                                          : StartFailure(startError, program);
    return false;
  }
  tovix::UniqueHandle started_process(info.hProcess);
  const HANDLE waitable = started_process.get();
  held.unlock();  // the broker may take a while to make its pipe
  const bool open =
      OpenPipe(std::wstring(tovix::broker::kBrokerPipePrefix) + id + L"." + token,
               GetProcessId(waitable),
               [waitable] { return WaitForSingleObject(waitable, 0) == WAIT_OBJECT_0; }, opened,
               error);
  held.lock();
  if (!open) return false;
  pipe = std::move(opened);
  process = std::move(started_process);
  return StartReading(error, held);
}

// The service hands over, in its hello, a handle that waits on its process
// (this process may not open it); it must be the process the service manager
// named. The broker's process is had from its start instead.
bool AdoptServiceProcess(const Message& hello) {
  std::lock_guard guard(lock);
  if (servicePid == 0) return true;
  tovix::UniqueHandle handed(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(hello.process)));
  if (!handed || GetProcessId(handed.get()) != servicePid) {
    (void)handed.release();  // not necessarily a handle of ours: left alone
    return false;
  }
  process = std::move(handed);
  return true;
}

// A connection still open when the process exits (an exit that did not go
// through the window's teardown) is closed here, before the statics above
// go: the reader is a joinable thread, and destroying one ends the process
// with std::terminate.
struct CloseAtExit {
  CloseAtExit() = default;
  CloseAtExit(const CloseAtExit&) = delete;
  CloseAtExit& operator=(const CloseAtExit&) = delete;
  ~CloseAtExit() {
    try {
      std::unique_lock held(lock);
      CloseLocked(held);
    } catch (...) {
    }
  }
} closeAtExit;

}  // namespace

bool BrokerClient::Ensure(std::string& error, std::optional<Hello>& hello) {
  {
    std::unique_lock held(lock);
    if (connected && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) return true;
    // A broker whose connection is gone ends its core and rule, then
    // itself: a new one starts only after, so that two never keep a VPN.
    tovix::UniqueHandle previousBroker;
    if (servicePid == 0) previousBroker = std::move(process);
    CloseLocked(held);
    if (previousBroker) {
      held.unlock();
      WaitForSingleObject(previousBroker.get(), kPreviousBrokerWaitMs);
      held.lock();
    }
    if (!Launch(error, held)) return false;
  }
  std::optional<Message> reply = Call(Kind::Hello, Message{}, kHelloWaitMs);
  if (reply && !AdoptServiceProcess(*reply)) reply.reset();
  if (!reply) {
    Disconnect();
    error = kBrokerUnverifiedMessage;
    return false;
  }
  hello = Hello{reply->flag, reply->ok};
  return true;
}

bool BrokerClient::Connected() {
  std::lock_guard guard(lock);
  return connected;
}

std::optional<Message> BrokerClient::Call(Kind kind, Message request, DWORD timeoutMs) {
  std::shared_ptr<Pending> slot = Send(kind, request, nullptr);
  flutter::WipeString(request.text);
  if (!slot) return std::nullopt;
  std::unique_lock held(lock);
  if (!replied.wait_for(held, std::chrono::milliseconds(timeoutMs), [&] { return slot->done; })) {
    slot->abandoned = true;
    return std::nullopt;
  }
  return std::move(slot->reply);
}

bool BrokerClient::CallAsync(Kind kind, Message request, Done done) {
  return Send(kind, request, std::move(done)) != nullptr;
}

HANDLE BrokerClient::DuplicateProcess() {
  std::lock_guard guard(lock);
  HANDLE copy = nullptr;
  if (!process || !DuplicateHandle(GetCurrentProcess(), process.get(), GetCurrentProcess(), &copy,
                                   SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    return nullptr;
  }
  return copy;
}

void BrokerClient::Disconnect() {
  std::unique_lock held(lock);
  CloseLocked(held);
}

void BrokerClient::SetStarter(Starter replacement) {
  std::lock_guard guard(lock);
  starter = replacement != nullptr ? replacement : ShellExecuteExW;
}

void BrokerClient::SetProgram(std::wstring path) {
  std::lock_guard guard(lock);
  programOverride = std::move(path);
}
