// Every client is a stranger until its process's token says who it is, and
// even then it is only ever given what is its own: its replies, its log
// lines, handles to its own core (request_handler.h, with the service's
// policy). One request of one client is handled at a time across all
// clients, because the core and the rule are one per machine; requests are
// short, the longest (a launch) a few seconds.
#include "service/service_server.h"

#include <sddl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/unique_resource.h"
#include "protocol/service_setup.h"
#include "service/install_folder.h"
#include "service/pipe_connection.h"
#include "service/request_handler.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

// At most this many clients at once: a further one waits for a free
// instance (WaitNamedPipe), and a thread is never made beyond it.
constexpr DWORD kMaxClients = 32;
// A client says hello at once; one that sends nothing gives up its place.
constexpr DWORD kFirstRequestWaitMs = 5000;

std::atomic<ClientIdentityReader> identityReader{ReadClientIdentity};

// The service's rules: one Windows user's VPN keeps everyone else out, a
// folder that has been opened up since the start runs nothing as SYSTEM, and
// a running core keeps the service from its idle stop.
class ServicePolicy : public ModePolicy {
 public:
  explicit ServicePolicy(ServiceIdle& idle) : idle_(idle) {}

  std::string RefuseStart(const Client& client, const Client* owner) override {
    const Admission admission =
        AdmitStart(owner != nullptr ? std::optional(owner->identity) : std::nullopt,
                   client.identity);
    if (admission != Admission::Granted) return std::string(RefusalOf(admission));
    if (!OwnFolderIsAdminOnly()) return std::string(tovix::service_setup::kFolderMessage);
    return {};
  }
  bool HandsItsProcess() const override { return true; }
  void CoreStarted() override { idle_.CoreStarted(); }
  void CoreEnded() override { idle_.CoreEnded(); }

 private:
  ServiceIdle& idle_;
};

// The connections' threads. A finished one is joined when the next starts.
struct Connections : FinishingThreads {
  tovix::UniqueHandle ended{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // auto-reset

  void JoinAll() {
    for (Entry& entry : entries) entry.thread.join();
    entries.clear();
  }
};

void ServeClient(tovix::UniqueFileHandle pipe, HANDLE stop, RequestHandler& handler) {
  ULONG pid = 0;
  if (!GetNamedPipeClientProcessId(pipe.get(), &pid)) return;
  tovix::UniqueHandle process(OpenProcess(
      SYNCHRONIZE | PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return;
  std::optional<ClientIdentity> identity = identityReader.load()(process.get(), pid);
  if (!identity) return;
  const Client client{std::move(*identity), process.get()};
  // However the connection ends, even by an exception, its VPN ends with it
  // (nobody can be told about that VPN any longer).
  struct EndsItsVpn {
    RequestHandler& handler;
    const Client& client;
    ConnectionEnd end = ConnectionEnd::Disconnected;
    ~EndsItsVpn() { handler.ConnectionEnded(client, end); }
  } endsItsVpn{handler, client};
  PipeConnection connection(pipe.get(), process.get(), stop);
  endsItsVpn.end = connection.Serve(
      [&](Message& request, const std::shared_ptr<ReplyQueue>& queue) {
        return handler.Handle(client, request, queue);
      },
      kFirstRequestWaitMs);
}

// The connection's thread: the client counts for the idle rule while it is
// connected.
void ConnectionThread(tovix::UniqueFileHandle pipe, HANDLE stop, RequestHandler& handler,
                      ServiceIdle& idle, HANDLE ended, std::shared_ptr<std::atomic<bool>> done) {
  try {
    ServeClient(std::move(pipe), stop, handler);
  } catch (...) {
  }
  idle.ClientLeft();
  done->store(true);
  SetEvent(ended);
}

}  // namespace

std::optional<ClientIdentity> ReadClientIdentity(HANDLE process, DWORD pid) {
  tovix::UniqueHandle token;
  if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return std::nullopt;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<std::uint8_t> user(size);
  DWORD session = 0;
  DWORD sessionSize = 0;
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, user.data(), size, &size) ||
      !GetTokenInformation(token.get(), TokenSessionId, &session, sizeof session,
                           &sessionSize)) {
    return std::nullopt;
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) {
    return std::nullopt;
  }
  tovix::UniqueLocalMemory owned(text);
  return ClientIdentity{text, session, pid};
}

void SetClientIdentityReader(ClientIdentityReader reader) {
  identityReader.store(reader != nullptr ? reader : ReadClientIdentity);
}

Admission AdmitStart(const std::optional<ClientIdentity>& owner, const ClientIdentity& client) {
  if (!owner || owner->pid == client.pid) return Admission::Granted;
  if (owner->user != client.user || owner->session != client.session) return Admission::OtherUser;
  return Admission::OtherProcess;
}

std::string_view RefusalOf(Admission admission) {
  switch (admission) {
    case Admission::Granted:
      return {};
    case Admission::OtherUser:
      return "the VPN is in use by another Windows user";
    case Admission::OtherProcess:
      return "the VPN is in use by another Tovix.exe";
  }
  return {};
}

DWORD ServeServicePipe(HANDLE stopRequested, ServiceIdle& idle) {
  const std::wstring name = tovix::service_setup::kPipeName;
  tovix::UniqueFileHandle next = CreateServerPipe(name, kMaxClients, true);
  if (!next) return ERROR_PIPE_BUSY;
  ServicePolicy policy(idle);
  RequestHandler handler(policy);
  Connections connections;
  if (!connections.ended) return GetLastError();
  for (;;) {
    if (!next) {
      // Every instance is in use: one comes free when a connection ends.
      const HANDLE waits[] = {connections.ended.get(), stopRequested};
      if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) break;
      connections.JoinFinished();
      next = CreateServerPipe(name, kMaxClients, false);
      if (!next && GetLastError() != ERROR_PIPE_BUSY) break;
      continue;
    }
    if (!AwaitConnection(next.get(), stopRequested, idle.timer(), [&idle] { idle.Poll(); })) {
      if (WaitForSingleObject(stopRequested, 0) == WAIT_OBJECT_0) break;
      DisconnectNamedPipe(next.get());
      continue;
    }
    connections.JoinFinished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    idle.ClientCame();
    try {
      connections.entries.push_back({std::thread(ConnectionThread, std::move(next),
                                                 stopRequested, std::ref(handler), std::ref(idle),
                                                 connections.ended.get(), done),
                                     done});
    } catch (const std::system_error&) {
      idle.ClientLeft();  // no thread: the connection closes with `next`
    }
    next = CreateServerPipe(name, kMaxClients, false);
  }
  // Each connection sees the stop, ends its client's VPN and ends.
  SetEvent(stopRequested);
  connections.JoinAll();
  JoinDnsWorkers();
  return NO_ERROR;
}
