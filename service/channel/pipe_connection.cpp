// The connection's reads and writes (protocol/pipe_framing.h) are
// overlapped, so that a client that stops reading or writing never holds the
// thread beyond its bounds, and the client's end (or a stop of the program)
// is seen while a read is pending.
#include "service/channel/pipe_connection.h"

#include <sddl.h>

#include <atomic>
#include <thread>
#include <vector>

#include "channels/secure_wipe.h"
#include "protocol/pipe_framing.h"
#include "service/core/held_core.h"
#include "service/dns_rule/dns_guard.h"
#include "service/dns_rule/dns_policy.h"
#include "service/service_log.h"

using tovix::broker::Message;

namespace {

constexpr DWORD kPipeBufferBytes = 65536;
constexpr DWORD kWorkerWaitMs = 1000;
// SYSTEM and Administrators: everything; interactive users: read and write,
// but not the right to make further instances of the pipe.
constexpr wchar_t kPipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)";
// The installed service's: owned by LocalSystem (the service's own account,
// which it may name as owner), which its clients check.
constexpr wchar_t kSystemPipeSecurity[] = L"O:SYD:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)";

std::mutex workerLock;  // guards workers
FinishingThreads workers;

void ApplyDnsWorker(Message reply, std::shared_ptr<ReplyQueue> queue,
                    std::shared_ptr<std::atomic<bool>> done) {
  struct MarkDone {
    std::atomic<bool>& done;
    ~MarkDone() { done.store(true); }
  } mark{*done};
  try {
    ServiceLog log(reply.lines);
    RunDnsPolicyApply(reply.core, [&](const std::string& status) {
      reply.ok = true;
      reply.text = status;
      queue->Push(reply);
    });
    if (!reply.ok) queue->Push(reply);
  } catch (...) {
    // Thread entry: the client's request is answered "unchanged" at least.
    try {
      queue->Push(reply);
    } catch (...) {
    }
  }
}

}  // namespace

void FinishingThreads::JoinFinished() {
  for (auto it = entries.begin(); it != entries.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = entries.erase(it);
    } else {
      ++it;
    }
  }
}

ReplyQueue::ReplyQueue() : ready_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  if (!ready_) throw std::bad_alloc();
}

void ReplyQueue::Push(Message reply) {
  {
    std::lock_guard lock(lock_);
    replies_.push_back(std::move(reply));
  }
  SetEvent(ready_.get());
}

std::optional<Message> ReplyQueue::Pop() {
  std::lock_guard lock(lock_);
  if (replies_.empty()) return std::nullopt;
  Message reply = std::move(replies_.front());
  replies_.pop_front();
  return reply;
}

void StartApplyDns(const Message& request, std::shared_ptr<ReplyQueue> queue) {
  Message reply;
  reply.id = request.id;
  reply.kind = request.kind;
  reply.reply = true;
  reply.core = request.core;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(workerLock);
  workers.JoinFinished();
  workers.entries.push_back(
      {std::thread(ApplyDnsWorker, std::move(reply), std::move(queue), done), done});
}

void JoinDnsWorkers() {
  std::vector<FinishingThreads::Entry> ending;
  {
    std::lock_guard lock(workerLock);
    ending.swap(workers.entries);
  }
  // A worker gives up as soon as its core is no longer current, which is the
  // case by now.
  const ULONGLONG deadline = GetTickCount64() + kWorkerWaitMs;
  for (FinishingThreads::Entry& worker : ending) {
    while (!worker.done->load() && GetTickCount64() < deadline) Sleep(10);
    if (worker.done->load()) {
      worker.thread.join();
    } else {
      worker.thread.detach();
    }
  }
}

PipeConnection::PipeConnection(HANDLE pipe, HANDLE client, HANDLE stop)
    : pipe_(pipe), client_(client), stop_(stop), queue_(std::make_shared<ReplyQueue>()) {
  event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

ConnectionEnd PipeConnection::Serve(const Answer& answer, DWORD firstRequestWaitMs) {
  if (!event_) return ConnectionEnd::Disconnected;
  DWORD waitMs = firstRequestWaitMs;
  for (;;) {
    std::vector<std::uint8_t> bytes;
    const std::optional<ConnectionEnd> ended = Read(bytes, waitMs);
    if (ended) return *ended;
    waitMs = INFINITE;
    std::optional<Message> request = tovix::broker::DecodeMessage(bytes.data(), bytes.size());
    flutter::WipeBytes(bytes);
    if (!request || request->reply) return ConnectionEnd::Disconnected;
    std::optional<Message> reply = answer(*request, queue_);
    flutter::WipeString(request->text);
    // Replies the workers queued meanwhile go first.
    if (!WriteQueued()) {
      if (reply) CloseHandedHandles(*reply);
      return ConnectionEnd::Disconnected;
    }
    if (reply && !Write(*reply)) {
      CloseHandedHandles(*reply);
      return ConnectionEnd::Disconnected;
    }
  }
}

// One whole message into `bytes`, or how the connection ended. Replies that
// workers queue while no request is in flight are written meanwhile.
std::optional<ConnectionEnd> PipeConnection::Read(std::vector<std::uint8_t>& bytes, DWORD waitMs) {
  const ULONGLONG deadline = waitMs == INFINITE ? 0 : GetTickCount64() + waitMs;
  for (;;) {
    DWORD left = INFINITE;
    if (deadline != 0) {
      const ULONGLONG now = GetTickCount64();
      left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    const tovix::broker::ReadResult read = tovix::broker::ReadMessage(
        pipe_, event_.get(), bytes, {client_, queue_->ready(), stop_}, left);
    switch (read.outcome) {
      case tovix::broker::ReadOutcome::Message:
        return std::nullopt;
      case tovix::broker::ReadOutcome::Woken:
        if (read.woken == 0) return ConnectionEnd::ClientEnded;
        if (read.woken == 2) return ConnectionEnd::Stopped;
        if (!WriteQueued()) return ConnectionEnd::Disconnected;
        continue;
      case tovix::broker::ReadOutcome::TimedOut:  // silent too long
      case tovix::broker::ReadOutcome::Broken:
        return ConnectionEnd::Disconnected;
    }
  }
}

// A client that does not take its reply within 5 s loses the connection.
bool PipeConnection::Write(const Message& reply) {
  return tovix::broker::WriteMessage(pipe_, event_.get(), tovix::broker::EncodeMessage(reply));
}

bool PipeConnection::WriteQueued() {
  while (std::optional<Message> reply = queue_->Pop()) {
    if (!Write(*reply)) return false;
  }
  return true;
}

// A reply that never reached the client: the handles it made in the client's
// process (the core's, the output pipe's, this process's) are closed there,
// so that none is left behind.
void PipeConnection::CloseHandedHandles(const Message& reply) {
  for (const std::uint64_t value : {reply.process, reply.output}) {
    if (value == 0) continue;
    DuplicateHandle(client_, reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)), nullptr,
                    nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
  }
}

tovix::UniqueFileHandle CreateServerPipe(const std::wstring& name, DWORD limit, bool first,
                                         bool ownedBySystem) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          ownedBySystem ? kSystemPipeSecurity : kPipeSecurity, SDDL_REVISION_1, &descriptor,
          nullptr)) {
    return tovix::UniqueFileHandle();
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  const DWORD openMode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  tovix::UniqueFileHandle pipe(CreateNamedPipeW(
      name.c_str(), openMode,
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, limit,
      kPipeBufferBytes, kPipeBufferBytes, 0, &attributes));
  LocalFree(descriptor);
  if (!pipe || !first) return pipe;
  // Wine creates another instance of an existing pipe in spite of the flag.
  // Such a pipe was made by its first creator, with its own limit and its
  // own instances: only a pipe of one instance, with our limit, is ours.
  DWORD limitSeen = 0;
  DWORD instances = 0;
  if (!GetNamedPipeInfo(pipe.get(), nullptr, nullptr, nullptr, &limitSeen) || limitSeen != limit ||
      !GetNamedPipeHandleStateW(pipe.get(), nullptr, &instances, nullptr, nullptr, nullptr, 0) ||
      instances != 1) {
    pipe.reset();
  }
  return pipe;
}

bool AwaitConnection(HANDLE pipe, HANDLE ended, HANDLE tick, const std::function<void()>& onTick) {
  tovix::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  OVERLAPPED overlapped{};
  overlapped.hEvent = event.get();
  if (ConnectNamedPipe(pipe, &overlapped)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED) return true;
  if (error != ERROR_IO_PENDING) return false;
  const HANDLE waits[] = {event.get(), ended, tick};
  const DWORD count = tick != nullptr ? 3 : 2;
  DWORD woken = 0;
  while ((woken = WaitForMultipleObjects(count, waits, FALSE, INFINITE)) == WAIT_OBJECT_0 + 2) {
    onTick();
  }
  if (woken == WAIT_OBJECT_0) {
    DWORD ignored = 0;
    return GetOverlappedResult(pipe, &overlapped, &ignored, FALSE) != FALSE;
  }
  CancelIoEx(pipe, &overlapped);
  DWORD ignored = 0;
  GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
  return false;
}

void EndVpnOfEndedClient() {
  ReleaseAnyCore();
  RemoveRuleOfEndedClient();
}

void RemoveRuleOfEndedClient() {
  std::vector<tovix::broker::LogLine> unheard;
  ServiceLog log(unheard);
  RemoveDnsPolicyRule("host ended");
  // The next session log says that the rule of a host that ended while
  // connected was removed, as when the guard removes it.
  for (const tovix::broker::LogLine& line : unheard) {
    if (line.text.rfind("removed", 0) == 0) LeaveDnsGuardNote();
  }
}
