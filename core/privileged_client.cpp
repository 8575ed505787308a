// The connection to the privileged program (privileged_start.h tells how it
// is reached), as one object with explicit states. Requests are written by
// the calling threads, replies read by one reader thread that hands each to
// its waiter. What a lost connection means is decided here: every request in
// flight is answered with nothing, and the privileged side, whose lifeline
// the connection is, ends the core and the rule. Any thread.
#include "core/privileged_client.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "channels/secure_wipe.h"
#include "common/paths.h"
#include "common/unique_resource.h"
#include "core/privileged_start.h"
#include "protocol/pipe_framing.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

constexpr wchar_t kProgramName[] = L"TovixService.exe";
constexpr DWORD kHelloWaitMs = 10000;
// A broker ends within 2 s of its connection; a little more is allowed.
constexpr DWORD kPreviousBrokerWaitMs = 3000;

// A handle value the privileged program made in this process, when nonzero.
void CloseHanded(std::uint64_t value) {
  if (value != 0) CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)));
}

struct Pending {
  std::optional<Message> reply;
  bool done = false;
  // Its caller gave up waiting: a reply that still comes is let go, and the
  // handles it carries into this process are closed.
  bool abandoned = false;
  PrivilegedClient::Done callback;  // set for a request nobody waits for
};

class PrivilegedConnection {
 public:
  enum class State {
    None,        // never connected, or closed by this side
    Connecting,  // the service or the broker is being had
    Connected,   // requests go through
    Lost,        // the other side ended it; closed at the next use
  };

  PrivilegedConnection() = default;
  PrivilegedConnection(const PrivilegedConnection&) = delete;
  PrivilegedConnection& operator=(const PrivilegedConnection&) = delete;
  // A connection still open when the process exits (an exit that did not go
  // through the window's teardown) is closed before anything else goes: the
  // reader is a joinable thread, and destroying one ends the process.
  ~PrivilegedConnection() {
    try {
      Close();
    } catch (...) {
    }
  }

  bool Ensure(std::string& error, std::optional<PrivilegedClient::Hello>& hello);
  bool Connected() {
    std::lock_guard guard(lock_);
    return state_ == State::Connected;
  }
  std::optional<Message> Call(Kind kind, Message request, DWORD timeoutMs);
  bool CallAsync(Kind kind, Message request, PrivilegedClient::Done done) {
    return Send(kind, request, std::move(done)) != nullptr;
  }
  HANDLE DuplicateProcess();
  void Close() {
    std::unique_lock held(lock_);
    CloseLocked(held);
  }
  void SetStarter(ElevatedStarter starter) {
    std::lock_guard guard(lock_);
    starter_ = starter != nullptr ? starter : ShellExecuteExW;
  }
  void SetProgram(std::wstring path) {
    std::lock_guard guard(lock_);
    programOverride_ = std::move(path);
  }
  void LimitReplyWaits(Kind kind, DWORD ms) {
    std::lock_guard guard(lock_);
    limitedKind_ = kind;
    replyWaitLimit_ = ms;
  }

 private:
  bool Connect(std::string& error, std::unique_lock<std::mutex>& held);
  bool StartReading(std::string& error, std::unique_lock<std::mutex>& held);
  bool AdoptServiceProcess(const Message& hello);
  void ReadReplies(HANDLE pipe, HANDLE stop);
  void Deliver(const std::shared_ptr<Pending>& slot, std::optional<Message> reply);
  std::shared_ptr<Pending> Send(Kind kind, Message& request, PrivilegedClient::Done callback);
  bool WriteLocked(const Message& message);
  void CloseLocked(std::unique_lock<std::mutex>& held);

  // Guards everything below but what writeLock_ guards; the session log's
  // lock may be taken under it, nothing else.
  std::mutex lock_;
  std::condition_variable replied_;
  State state_ = State::None;
  tovix::UniqueHandle process_;   // the privileged process (wait rights)
  tovix::UniqueHandle previousBroker_;  // a closed connection's broker
  tovix::UniqueFileHandle pipe_;  // written under writeLock_ as well
  std::thread reader_;
  tovix::UniqueHandle readerStop_;  // manual-reset: the reader's read ends
  std::map<std::int64_t, std::shared_ptr<Pending>> pending_;
  std::int64_t nextId_ = 0;
  DWORD servicePid_ = 0;  // the installed service's, 0 for a broker
  std::wstring programOverride_;
  ElevatedStarter starter_ = ShellExecuteExW;
  Kind limitedKind_ = Kind::Hello;
  DWORD replyWaitLimit_ = INFINITE;
  // Held while a request is written, so that requests never interleave;
  // taken after lock_ where both are held, never while waiting for a reply.
  std::mutex writeLock_;
};

bool PrivilegedConnection::Ensure(std::string& error, std::optional<PrivilegedClient::Hello>& hello) {
  {
    std::unique_lock held(lock_);
    if (state_ == State::Connected && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      return true;
    }
    // A broker whose connection is gone, lost or closed by this side, ends
    // its core and rule, then itself: a new one starts only after, so that
    // two never keep a VPN.
    CloseLocked(held);
    if (tovix::UniqueHandle previousBroker = std::move(previousBroker_)) {
      held.unlock();
      WaitForSingleObject(previousBroker.get(), kPreviousBrokerWaitMs);
      held.lock();
    }
    if (!Connect(error, held)) return false;
  }
  std::optional<Message> reply = Call(Kind::Hello, Message{}, kHelloWaitMs);
  if (reply && !AdoptServiceProcess(*reply)) reply.reset();
  if (!reply) {
    Close();
    error = kServiceUnverifiedMessage;
    return false;
  }
  hello = PrivilegedClient::Hello{reply->flag, reply->ok};
  return true;
}

// The service when it is installed, else a broker through the prompt. The
// lock is let go while either is had: the service manager, the prompt and a
// new broker's pipe may each take a while, and a Close meanwhile must not
// wait for them.
bool PrivilegedConnection::Connect(std::string& error, std::unique_lock<std::mutex>& held) {
  state_ = State::Connecting;
  const std::wstring program =
      programOverride_.empty() ? ExecutableFolderFile(kProgramName) : programOverride_;
  const ElevatedStarter start = starter_;
  PrivilegedPipe opened;
  held.unlock();
  error.clear();  // empty after ConnectService: no service installed
  bool ok = ConnectService(program, opened, error);
  if (!ok && error.empty()) ok = StartBroker(program, start, opened, error);
  held.lock();
  if (!ok) {
    state_ = State::None;
    return false;
  }
  pipe_ = std::move(opened.pipe);
  process_ = std::move(opened.broker);
  servicePid_ = opened.servicePid;
  return StartReading(error, held);
}

bool PrivilegedConnection::StartReading(std::string& error, std::unique_lock<std::mutex>& held) {
  pending_.clear();
  // A process that ends without Close (a test, say) still joins the reader
  // before the statics its callbacks use are torn down: an exit hook
  // registered now runs before the destructors of everything built so far.
  static const bool exitHookRegistered = std::atexit(&PrivilegedClient::Disconnect) == 0;
  (void)exitHookRegistered;
  readerStop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  try {
    if (!readerStop_) throw std::system_error(ERROR_NOT_ENOUGH_MEMORY, std::system_category());
    reader_ = std::thread(&PrivilegedConnection::ReadReplies, this, pipe_.get(), readerStop_.get());
  } catch (const std::system_error&) {
    CloseLocked(held);
    error = "VPN service could not start: err=" + std::to_string(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  state_ = State::Connected;
  return true;
}

// The service hands over, in its hello, a handle that waits on its process
// (this process may not open it); it must be the process the service manager
// named. The broker's process is had from its start instead.
bool PrivilegedConnection::AdoptServiceProcess(const Message& hello) {
  std::lock_guard guard(lock_);
  if (servicePid_ == 0) return true;
  tovix::UniqueHandle handed(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(hello.process)));
  if (!handed || GetProcessId(handed.get()) != servicePid_) {
    (void)handed.release();  // not necessarily a handle of ours: left alone
    return false;
  }
  process_ = std::move(handed);
  return true;
}

void PrivilegedConnection::Deliver(const std::shared_ptr<Pending>& slot,
                                   std::optional<Message> reply) {
  PrivilegedClient::Done callback;
  {
    std::lock_guard guard(lock_);
    slot->reply = std::move(reply);
    slot->done = true;
    callback = std::move(slot->callback);
  }
  replied_.notify_all();
  if (callback) {
    try {
      callback(slot->reply);
    } catch (...) {
    }
  }
}

// Reader thread: hands each reply to its request until the connection ends,
// then answers every open request with nothing.
void PrivilegedConnection::ReadReplies(HANDLE pipe, HANDLE stop) {
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::uint8_t> bytes;
  bool lost = true;
  while (event) {
    const tovix::broker::ReadResult read =
        tovix::broker::ReadMessage(pipe, event.get(), bytes, {stop}, INFINITE);
    if (read.outcome != tovix::broker::ReadOutcome::Message) {
      lost = read.outcome != tovix::broker::ReadOutcome::Woken;
      break;
    }
    std::optional<Message> reply = tovix::broker::DecodeMessage(bytes.data(), bytes.size());
    if (!reply || !reply->reply) break;  // not the program we started: stop listening
    std::shared_ptr<Pending> slot;
    {
      std::lock_guard guard(lock_);
      const auto found = pending_.find(reply->id);
      if (found == pending_.end()) continue;
      slot = found->second;
      pending_.erase(found);
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
    std::lock_guard guard(lock_);
    if (state_ == State::Connected) state_ = lost ? State::Lost : State::None;
    orphans.swap(pending_);
  }
  for (auto& [id, slot] : orphans) Deliver(slot, std::nullopt);
}

// Writes one request; the caller holds writeLock_.
bool PrivilegedConnection::WriteLocked(const Message& message) {
  if (!pipe_) return false;
  std::vector<std::uint8_t> bytes = tovix::broker::EncodeMessage(message);
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const bool ok = event && tovix::broker::WriteMessage(pipe_.get(), event.get(), bytes);
  flutter::WipeBytes(bytes);
  return ok;
}

std::shared_ptr<Pending> PrivilegedConnection::Send(Kind kind, Message& request,
                                                    PrivilegedClient::Done callback) {
  auto slot = std::make_shared<Pending>();
  slot->callback = std::move(callback);
  {
    std::lock_guard guard(lock_);
    if (state_ != State::Connected) return nullptr;
    request.id = ++nextId_;
    request.kind = kind;
    request.reply = false;
    pending_[request.id] = slot;
  }
  bool written = false;
  {
    std::lock_guard writing(writeLock_);
    written = WriteLocked(request);
  }
  if (!written) {
    std::lock_guard guard(lock_);
    pending_.erase(request.id);
    return nullptr;
  }
  return slot;
}

std::optional<Message> PrivilegedConnection::Call(Kind kind, Message request, DWORD timeoutMs) {
  std::shared_ptr<Pending> slot = Send(kind, request, nullptr);
  flutter::WipeString(request.text);
  if (!slot) return std::nullopt;
  std::unique_lock held(lock_);
  if (kind == limitedKind_) timeoutMs = std::min(timeoutMs, replyWaitLimit_);
  // A timed wait may round up: no wait at all is no wait.
  if (timeoutMs == 0 ||
      !replied_.wait_for(held, std::chrono::milliseconds(timeoutMs), [&] { return slot->done; })) {
    slot->abandoned = true;
    return std::nullopt;
  }
  return std::move(slot->reply);
}

HANDLE PrivilegedConnection::DuplicateProcess() {
  std::lock_guard guard(lock_);
  HANDLE copy = nullptr;
  if (!process_ ||
      !DuplicateHandle(GetCurrentProcess(), process_.get(), GetCurrentProcess(), &copy,
                       SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    return nullptr;
  }
  return copy;
}

void PrivilegedConnection::CloseLocked(std::unique_lock<std::mutex>& held) {
  std::thread ending = std::move(reader_);
  held.unlock();
  if (ending.joinable()) {
    SetEvent(readerStop_.get());
    ending.join();
  }
  held.lock();
  std::lock_guard writing(writeLock_);
  pipe_.reset();
  if (servicePid_ == 0 && process_) previousBroker_ = std::move(process_);
  process_.reset();
  state_ = State::None;
}

PrivilegedConnection connection;

}  // namespace

bool PrivilegedClient::Ensure(std::string& error, std::optional<Hello>& hello) {
  return connection.Ensure(error, hello);
}

bool PrivilegedClient::Connected() { return connection.Connected(); }

std::optional<Message> PrivilegedClient::Call(Kind kind, Message request, DWORD timeoutMs) {
  return connection.Call(kind, std::move(request), timeoutMs);
}

bool PrivilegedClient::CallAsync(Kind kind, Message request, Done done) {
  return connection.CallAsync(kind, std::move(request), std::move(done));
}

HANDLE PrivilegedClient::DuplicateProcess() { return connection.DuplicateProcess(); }

void PrivilegedClient::Disconnect() { connection.Close(); }

void PrivilegedClient::SetStarter(Starter starter) { connection.SetStarter(starter); }

void PrivilegedClient::SetProgram(std::wstring path) { connection.SetProgram(std::move(path)); }

void PrivilegedClient::LimitReplyWaits(Kind kind, DWORD ms) { connection.LimitReplyWaits(kind, ms); }
