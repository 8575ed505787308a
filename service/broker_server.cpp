// The broker's pipe server. Everything on the pipe is hostile until shown
// otherwise: the pipe is new (a name someone else made first fails the
// creation), admits local clients only, and a connection is served only when
// its client is the process this broker was started for. A message that is
// too large or not well formed ends that connection, never the work for the
// core; the client's own end, however it comes, ends the core and the rule.
// Main thread, with one worker thread per DNS rule request.
#include "service/broker_server.h"

#include <sddl.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "channels/secure_wipe.h"
#include "common/unique_resource.h"
#include "service/adapter_sweep.h"
#include "service/dns_guard.h"
#include "service/dns_policy.h"
#include "service/dns_rule_owner.h"
#include "protocol/broker_protocol.h"
#include "service/core_launcher.h"
#include "service/service_log.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

constexpr DWORD kPipeBufferBytes = 65536;
constexpr DWORD kFirstReadBytes = 65536;
constexpr DWORD kWriteWaitMs = 5000;
constexpr DWORD kWorkerWaitMs = 1000;
// SYSTEM and Administrators: everything; interactive users: read and write,
// but not the right to make further instances of the pipe.
constexpr wchar_t kPipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)";

enum class Outcome { Disconnected, ClientEnded };

// Replies made by DNS workers, written by the main thread in the order they
// were queued. Each worker queues under DnsPolicyLock, so that a removal's
// reply (made under that lock too, afterwards) never overtakes them.
std::mutex replyLock;  // guards queuedReplies; taken under DnsPolicyLock
std::deque<Message> queuedReplies;
tovix::UniqueHandle repliesReady;  // auto-reset

struct Worker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done;
};
std::mutex workerLock;  // guards workers
std::vector<Worker> workers;

void QueueReply(Message reply) {
  {
    std::lock_guard lock(replyLock);
    queuedReplies.push_back(std::move(reply));
  }
  SetEvent(repliesReady.get());
}

void ApplyDnsWorker(Message reply, std::shared_ptr<std::atomic<bool>> done) {
  struct MarkDone {
    std::atomic<bool>& done;
    ~MarkDone() { done.store(true); }
  } mark{*done};
  try {
    ServiceLog log(reply.lines);
    RunDnsPolicyApply(reply.core, [&](const std::string& status) {
      reply.ok = true;
      reply.text = status;
      QueueReply(reply);
    });
    if (!reply.ok) QueueReply(reply);
  } catch (...) {
    // Thread entry: the client's request is answered "unchanged" at least.
    try {
      QueueReply(reply);
    } catch (...) {
    }
  }
}

void StartApplyDns(const Message& request) {
  Message reply;
  reply.id = request.id;
  reply.kind = request.kind;
  reply.reply = true;
  reply.core = request.core;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(workerLock);
  // Finished workers are joined as new ones come, so they never pile up.
  for (auto it = workers.begin(); it != workers.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
  workers.push_back(Worker{std::thread(ApplyDnsWorker, std::move(reply), done), done});
}

void JoinWorkers() {
  std::vector<Worker> ending;
  {
    std::lock_guard lock(workerLock);
    ending.swap(workers);
  }
  // A worker gives up as soon as its core is no longer current, which is the
  // case by now; one that does not finish in time is left to the process's
  // end.
  const ULONGLONG deadline = GetTickCount64() + kWorkerWaitMs;
  for (Worker& worker : ending) {
    while (!worker.done->load() && GetTickCount64() < deadline) Sleep(10);
    if (worker.done->load()) {
      worker.thread.join();
    } else {
      worker.thread.detach();
    }
  }
}

// The answer to one request, made on this thread; nothing for a request
// answered later by a worker.
std::optional<Message> Handle(Message& request, HANDLE client) {
  Message reply;
  reply.id = request.id;
  reply.kind = request.kind;
  reply.reply = true;
  ServiceLog log(reply.lines);
  switch (request.kind) {
    case Kind::Hello:
      reply.flag = DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget());
      reply.ok = TakeDnsGuardNote();
      break;
    case Kind::Launch:
      LaunchCore(request, client, reply);
      flutter::WipeString(request.text);
      break;
    case Kind::Resume:
      ResumeCore(request.core, reply);
      break;
    case Kind::Terminate:
      TerminateCore(request.core, request.flag ? 1 : 0, reply);
      break;
    case Kind::Release:
      ReleaseCore(request.core, reply);
      break;
    case Kind::ApplyDns:
      StartApplyDns(request);
      return std::nullopt;
    case Kind::RemoveDns:
      reply.text = RemoveDnsPolicyRule(request.text);
      reply.ok = true;
      break;
    case Kind::Cleanup:
      reply.ok = true;
      reply.flag = RunHostCleanup() > 0;
      break;
  }
  return reply;
}

class Connection {
 public:
  Connection(HANDLE pipe, HANDLE client) : pipe_(pipe), client_(client) {
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }

  Outcome Serve() {
    if (!event_) return Outcome::Disconnected;
    for (;;) {
      std::vector<std::uint8_t> bytes;
      const std::optional<Outcome> ended = Read(bytes);
      if (ended) return *ended;
      std::optional<Message> request = tovix::broker::DecodeMessage(bytes.data(), bytes.size());
      flutter::WipeBytes(bytes);
      if (!request || request->reply) return Outcome::Disconnected;
      std::optional<Message> reply = Handle(*request, client_);
      flutter::WipeString(request->text);
      // Replies the workers queued meanwhile go first.
      if (!WriteQueued()) return Outcome::Disconnected;
      if (reply && !Write(*reply)) return Outcome::Disconnected;
    }
  }

 private:
  // One whole message into `bytes`; a message beyond the bound ends the
  // connection before it is read.
  std::optional<Outcome> Read(std::vector<std::uint8_t>& bytes) {
    for (;;) {
      bytes.assign(kFirstReadBytes, 0);
      ResetOverlapped();
      DWORD got = 0;
      BOOL done = ReadFile(pipe_, bytes.data(), kFirstReadBytes, &got, &overlapped_);
      DWORD error = done ? ERROR_SUCCESS : GetLastError();
      if (!done && error == ERROR_IO_PENDING) {
        const HANDLE waits[] = {event_.get(), client_, repliesReady.get()};
        const DWORD waited = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0 + 2) {
          // Worker replies while no request is in flight: write them, then
          // read again (a read cancelled before any byte moved loses none).
          CancelIoEx(pipe_, &overlapped_);
          done = GetOverlappedResult(pipe_, &overlapped_, &got, TRUE);
          error = done ? ERROR_SUCCESS : GetLastError();
          if (!done && error == ERROR_OPERATION_ABORTED) {
            if (!WriteQueued()) return Outcome::Disconnected;
            continue;
          }
        } else if (waited != WAIT_OBJECT_0) {
          CancelIoEx(pipe_, &overlapped_);
          GetOverlappedResult(pipe_, &overlapped_, &got, TRUE);
          return waited == WAIT_OBJECT_0 + 1 ? Outcome::ClientEnded : Outcome::Disconnected;
        } else {
          done = GetOverlappedResult(pipe_, &overlapped_, &got, FALSE);
          error = done ? ERROR_SUCCESS : GetLastError();
        }
      }
      if (done) {
        bytes.resize(got);
        return std::nullopt;
      }
      if (error != ERROR_MORE_DATA) return Outcome::Disconnected;
      return ReadRest(bytes, got);
    }
  }

  std::optional<Outcome> ReadRest(std::vector<std::uint8_t>& bytes, DWORD got) {
    DWORD left = 0;
    if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, nullptr, &left) ||
        static_cast<std::size_t>(got) + left > tovix::broker::kMaxMessageBytes) {
      return Outcome::Disconnected;
    }
    bytes.resize(static_cast<std::size_t>(got) + left);
    ResetOverlapped();
    DWORD more = 0;
    BOOL done = ReadFile(pipe_, bytes.data() + got, left, &more, &overlapped_);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
      const HANDLE waits[] = {event_.get(), client_};
      const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, kWriteWaitMs);
      if (waited != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &overlapped_);
        GetOverlappedResult(pipe_, &overlapped_, &more, TRUE);
        return waited == WAIT_OBJECT_0 + 1 ? Outcome::ClientEnded : Outcome::Disconnected;
      }
      done = GetOverlappedResult(pipe_, &overlapped_, &more, FALSE);
    }
    if (!done || more != left) return Outcome::Disconnected;
    return std::nullopt;
  }

  // A client that does not take its reply within 5 s loses the connection.
  bool Write(const Message& reply) {
    const std::vector<std::uint8_t> bytes = tovix::broker::EncodeMessage(reply);
    if (bytes.size() > tovix::broker::kMaxMessageBytes) return false;
    ResetOverlapped();
    DWORD written = 0;
    BOOL done = WriteFile(pipe_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          &overlapped_);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(event_.get(), kWriteWaitMs) != WAIT_OBJECT_0) {
        CancelIoEx(pipe_, &overlapped_);
        GetOverlappedResult(pipe_, &overlapped_, &written, TRUE);
        return false;
      }
      done = GetOverlappedResult(pipe_, &overlapped_, &written, FALSE);
    }
    return done && written == bytes.size();
  }

  bool WriteQueued() {
    for (;;) {
      Message reply;
      {
        std::lock_guard lock(replyLock);
        if (queuedReplies.empty()) return true;
        reply = std::move(queuedReplies.front());
        queuedReplies.pop_front();
      }
      if (!Write(reply)) return false;
    }
  }

  void ResetOverlapped() {
    overlapped_ = OVERLAPPED{};
    ResetEvent(event_.get());
    overlapped_.hEvent = event_.get();
  }

  HANDLE pipe_;
  HANDLE client_;
  tovix::UniqueHandle event_;
  OVERLAPPED overlapped_{};
};

tovix::UniqueFileHandle CreateBrokerPipe(const std::wstring& name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return tovix::UniqueFileHandle();
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  // The first instance or nothing: a name another process made first is
  // refused, and one instance only, so no second server can join it.
  tovix::UniqueFileHandle pipe(CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
      kPipeBufferBytes, kPipeBufferBytes, 0, &attributes));
  LocalFree(descriptor);
  if (!pipe) return pipe;
  // Wine creates another instance of an existing pipe in spite of the flag.
  // Such a pipe was made by its first creator, with its own limit and its
  // own instances: only a pipe of one instance, limited to one, is ours.
  DWORD limit = 0;
  DWORD instances = 0;
  if (!GetNamedPipeInfo(pipe.get(), nullptr, nullptr, nullptr, &limit) || limit != 1 ||
      !GetNamedPipeHandleStateW(pipe.get(), nullptr, &instances, nullptr, nullptr, nullptr, 0) ||
      instances != 1) {
    pipe.reset();
  }
  return pipe;
}

// Waits for a connection; nothing when the client process ended first.
bool AwaitConnection(HANDLE pipe, HANDLE client) {
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  if (ConnectNamedPipe(pipe, &overlapped)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return true;
  if (error != ERROR_IO_PENDING) return false;
  const HANDLE waits[] = {event.get(), client};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
    DWORD ignored = 0;
    return GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != FALSE;
  }
  CancelIoEx(pipe, &overlapped);
  DWORD ignored = 0;
  GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
  return false;
}

bool ClientEnded(HANDLE client) { return WaitForSingleObject(client, 0) == WAIT_OBJECT_0; }

}  // namespace

int RunBroker(DWORD clientPid, const std::wstring& pipeName) {
  tovix::UniqueHandle client(
      OpenProcess(SYNCHRONIZE | PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                  clientPid));
  repliesReady.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!client || !repliesReady) return 1;
  tovix::UniqueFileHandle pipe = CreateBrokerPipe(pipeName);
  if (!pipe) return 1;

  while (!ClientEnded(client.get())) {
    if (!AwaitConnection(pipe.get(), client.get())) {
      if (ClientEnded(client.get())) break;
      DisconnectNamedPipe(pipe.get());
      continue;
    }
    // Only the process this broker serves is heard; anyone else is
    // disconnected before a byte of theirs is read.
    ULONG connected = 0;
    if (GetNamedPipeClientProcessId(pipe.get(), &connected) && connected == clientPid) {
      Connection connection(pipe.get(), client.get());
      if (connection.Serve() == Outcome::ClientEnded) {
        DisconnectNamedPipe(pipe.get());
        break;
      }
    }
    DisconnectNamedPipe(pipe.get());
    std::lock_guard lock(replyLock);
    queuedReplies.clear();  // meant for the connection that ended
  }
  // The client is gone, however it went: its core and its rule go too.
  ReleaseAnyCore();
  std::vector<tovix::broker::LogLine> unheard;
  ServiceLog log(unheard);
  RemoveDnsPolicyRule("host ended");
  // The next session log says that the rule of a host that ended while
  // connected was removed, as when the guard removes it.
  for (const tovix::broker::LogLine& line : unheard) {
    if (line.text.rfind("removed", 0) == 0) LeaveDnsGuardNote();
  }
  JoinWorkers();
  return 0;
}
