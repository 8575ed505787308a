// The connection to the privileged program. The program is started with the
// verb "runas" (the elevation prompt) and makes a pipe whose name holds this
// process's id and a random token. Before anything is sent, the pipe's server
// must be the very process that was started: a name another process made
// first gets nothing. Requests are written by the calling threads, replies
// read by one reader thread that hands each to its waiter. Any thread.
#include "core/broker_client.h"

#include <bcrypt.h>
#include <shellapi.h>

#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "channels/secure_wipe.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/unique_resource.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

constexpr wchar_t kProgramName[] = L"TovixService.exe";
constexpr ULONGLONG kConnectWaitMs = 10000;
constexpr DWORD kFirstReadBytes = 65536;
constexpr DWORD kHelloWaitMs = 10000;
constexpr DWORD kWriteWaitMs = 5000;

struct Pending {
  std::optional<Message> reply;
  bool done = false;
  BrokerClient::Done callback;  // set for a request nobody waits for
};

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

// Completes one overlapped write on the pipe within `waitMs`: a privileged
// side that stops reading must not hold the caller (the window thread, in a
// stop) for longer. False when it failed or was cancelled.
bool Complete(BOOL started, OVERLAPPED& overlapped, DWORD& transferred, DWORD waitMs) {
  if (started) return GetOverlappedResult(pipe.get(), &overlapped, &transferred, FALSE) != FALSE;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(overlapped.hEvent, waitMs) != WAIT_OBJECT_0) {
    CancelIoEx(pipe.get(), &overlapped);
    GetOverlappedResult(pipe.get(), &overlapped, &transferred, TRUE);
    return false;
  }
  return GetOverlappedResult(pipe.get(), &overlapped, &transferred, FALSE) != FALSE;
}

// Reads one message; false when the connection is over.
bool ReadMessage(HANDLE handle, HANDLE event, std::vector<std::uint8_t>& bytes) {
  bytes.assign(kFirstReadBytes, 0);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD got = 0;
  BOOL started = ReadFile(handle, bytes.data(), kFirstReadBytes, &got, &overlapped);
  if (!started && GetLastError() == ERROR_IO_PENDING) {
    started = GetOverlappedResult(handle, &overlapped, &got, TRUE);
  }
  if (started) {
    bytes.resize(got);
    return true;
  }
  if (GetLastError() != ERROR_MORE_DATA) return false;
  DWORD left = 0;
  if (!PeekNamedPipe(handle, nullptr, 0, nullptr, nullptr, &left) ||
      static_cast<std::size_t>(got) + left > tovix::broker::kMaxMessageBytes) {
    return false;
  }
  bytes.resize(static_cast<std::size_t>(got) + left);
  overlapped = OVERLAPPED{};
  overlapped.hEvent = event;
  DWORD more = 0;
  started = ReadFile(handle, bytes.data() + got, left, &more, &overlapped);
  if (!started && GetLastError() == ERROR_IO_PENDING) {
    started = GetOverlappedResult(handle, &overlapped, &more, TRUE);
  }
  return started && more == left;
}

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
void ReadReplies(HANDLE handle) {
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::uint8_t> bytes;
  while (event && ReadMessage(handle, event.get(), bytes)) {
    std::optional<Message> reply = tovix::broker::DecodeMessage(bytes.data(), bytes.size());
    if (!reply || !reply->reply) break;  // not the program we started: stop listening
    std::shared_ptr<Pending> slot;
    {
      std::lock_guard guard(lock);
      const auto found = pending.find(reply->id);
      if (found == pending.end()) continue;
      slot = found->second;
      pending.erase(found);
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
  if (bytes.size() > tovix::broker::kMaxMessageBytes) return false;
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  DWORD written = 0;
  const BOOL started =
      WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, &overlapped);
  const bool ok = Complete(started, overlapped, written, kWriteWaitMs) && written == bytes.size();
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
  if (pipe) CancelIoEx(pipe.get(), nullptr);
  std::thread ending = std::move(reader);
  held.unlock();
  if (ending.joinable()) ending.join();
  held.lock();
  std::lock_guard writing(writeLock);
  pipe.reset();
  process.reset();
  connected = false;
}

// Opens the program's pipe once it exists, and checks that its server is the
// program itself. The error is the "start_failed" message.
bool OpenPipe(const std::wstring& name, HANDLE program, std::string& error) {
  const ULONGLONG deadline = GetTickCount64() + kConnectWaitMs;
  for (;;) {
    // Identification only: a server cannot act as this user.
    pipe.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                           nullptr));
    if (pipe) break;
    const DWORD openError = GetLastError();
    if ((openError != ERROR_FILE_NOT_FOUND && openError != ERROR_PIPE_BUSY) ||
        WaitForSingleObject(program, 0) == WAIT_OBJECT_0 || GetTickCount64() >= deadline) {
      error = "VPN service could not start: err=" + std::to_string(openError);
      return false;
    }
    if (openError == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), 100);
    } else {
      Sleep(5);
    }
  }
  ULONG server = 0;
  if (!GetNamedPipeServerProcessId(pipe.get(), &server) || server != GetProcessId(program)) {
    pipe.reset();
    error = kBrokerUnverifiedMessage;
    return false;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr)) {
    pipe.reset();
    error = kBrokerUnverifiedMessage;
    return false;
  }
  return true;
}

bool Launch(std::string& error, std::unique_lock<std::mutex>& held) {
  const std::wstring program = Program();
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
    if (startError == ERROR_CANCELLED) {
      error = kBrokerDeclinedMessage;
    } else if (startError == ERROR_FILE_NOT_FOUND || startError == ERROR_PATH_NOT_FOUND) {
      error = "TovixService.exe not bundled at " + ToUtf8(program);
    } else {
      error = "VPN service could not start: err=" + std::to_string(startError);
    }
    return false;
  }
  tovix::UniqueHandle started_process(info.hProcess);
  if (!OpenPipe(std::wstring(tovix::broker::kBrokerPipePrefix) + id + L"." + token,
                started_process.get(), error)) {
    return false;
  }
  process = std::move(started_process);
  connected = true;
  pending.clear();
  // A process that ends without Disconnect (a test, say) still joins the
  // reader before the statics it uses are torn down.
  static const bool exitHookRegistered = std::atexit(&BrokerClient::Disconnect) == 0;
  (void)exitHookRegistered;
  try {
    reader = std::thread(ReadReplies, pipe.get());
  } catch (const std::system_error&) {
    CloseLocked(held);
    error = "VPN service could not start: err=" + std::to_string(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
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
    CloseLocked(held);
    if (!Launch(error, held)) return false;
  }
  std::optional<Message> reply = Call(Kind::Hello, Message{}, kHelloWaitMs);
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
    pending.erase(request.id);
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
