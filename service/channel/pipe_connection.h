// One client's connection on the privileged program's pipe, as the broker
// (one client) and the service (several) both serve it: whole messages read
// within a bound, one request answered at a time, and the replies that DNS
// workers make later written in the order they were made. Everything read is
// hostile until decoded; a message that is too large or not well formed ends
// the connection, never the program.
#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/unique_resource.h"
#include "protocol/broker_protocol.h"

// Replies made off the connection's thread, waiting to be written. Any
// thread; a DNS worker pushes under DnsPolicyLock, so that a removal's reply
// (made under that lock too, afterwards) never overtakes them.
class ReplyQueue {
 public:
  ReplyQueue();
  void Push(tovix::broker::Message reply);
  std::optional<tovix::broker::Message> Pop();
  HANDLE ready() const { return ready_.get(); }  // auto-reset, set by Push

 private:
  std::mutex lock_;  // guards replies_
  std::deque<tovix::broker::Message> replies_;
  tovix::UniqueHandle ready_;
};

// Threads that each set their `done` flag as they end. Not thread-safe.
struct FinishingThreads {
  struct Entry {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Entry> entries;

  // Joins the finished ones, so that they never pile up.
  void JoinFinished();
};

// Answers an ApplyDns request on a worker thread; its reply goes to `queue`.
void StartApplyDns(const tovix::broker::Message& request, std::shared_ptr<ReplyQueue> queue);
// Waits up to a second for the workers; one that does not finish is left to
// the process's end.
void JoinDnsWorkers();

// How a connection ended.
enum class ConnectionEnd { Disconnected, ClientEnded, Stopped };

// The answer to a request, made on the connection's thread; nothing for one
// answered later through the queue.
using Answer = std::function<std::optional<tovix::broker::Message>(
    tovix::broker::Message& request, const std::shared_ptr<ReplyQueue>& queue)>;

class PipeConnection {
 public:
  // `client` is the connected process, `stop` (may be null) ends the serving.
  PipeConnection(HANDLE pipe, HANDLE client, HANDLE stop);
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // Serves requests until the connection ends. A client that sends no
  // request within `firstRequestWaitMs` is disconnected.
  ConnectionEnd Serve(const Answer& answer, DWORD firstRequestWaitMs = INFINITE);

 private:
  std::optional<ConnectionEnd> Read(std::vector<std::uint8_t>& bytes, DWORD waitMs);
  bool Write(const tovix::broker::Message& reply);
  bool WriteQueued();
  void CloseHandedHandles(const tovix::broker::Message& reply);

  HANDLE pipe_;
  HANDLE client_;
  HANDLE stop_;
  std::shared_ptr<ReplyQueue> queue_;
  tovix::UniqueHandle event_;  // the overlapped operations' own
};

// Creates an instance of the pipe `name`: the first, or nothing, when
// `first` (a name another process made first is refused), with `limit`
// instances at most. Local clients only; SYSTEM and Administrators have all
// rights, interactive users read and write but cannot add instances.
// `ownedBySystem`: owned by LocalSystem (the service, which runs as it).
tovix::UniqueFileHandle CreateServerPipe(const std::wstring& name, DWORD limit, bool first,
                                         bool ownedBySystem = false);

// Waits for a client on `pipe`; false when `ended` (a process or an event)
// was signalled first, or the connection failed. `tick` (may be null) is a
// timer tended meanwhile: `onTick` runs each time it goes off.
bool AwaitConnection(HANDLE pipe, HANDLE ended, HANDLE tick = nullptr,
                     const std::function<void()>& onTick = {});

// The client is gone, however it went, or no longer heard: its core and its
// DNS rule go too. The request thread, once no request of the client is in
// hand.
void EndVpnOfEndedClient();
// The rule alone, with the note for the next session log.
void RemoveRuleOfEndedClient();
