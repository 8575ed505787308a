// Every client is a stranger until its token, read through the pipe, says
// who it is, and even then it is only ever given what is its own: its replies, its log
// lines, handles to its own core (request_handler.h, with the service's
// policy). One request of one client is handled at a time across all
// clients, because the core and the rule are one per machine; requests are
// short, the longest (a launch) a few seconds.
#include "service/channel/service_server.h"

#include <sddl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/unique_resource.h"
#include "protocol/service_setup.h"
#include "service/channel/connection_seats.h"
#include "service/folders/install_folder.h"
#include "service/channel/pipe_connection.h"
#include "service/channel/request_handler.h"
#include "service/channel/service_users_policy.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

// At most this many clients at once: a further one waits for a free
// instance (WaitNamedPipe), and a thread is never made beyond it.
constexpr DWORD kMaxClients = 32;
// A client says hello at once; one that sends nothing gives up its place.
constexpr DWORD kFirstRequestWaitMs = 5000;
// How often the serving thread looks for silent connections and tends the
// idle rule.
constexpr LONG kTickMs = 1000;

std::optional<ClientIdentity> FromThePipe(HANDLE pipe, HANDLE, DWORD pid) {
  return ReadPipeClientIdentity(pipe, pid);
}
std::atomic<ClientIdentityReader> identityReader{FromThePipe};

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
  // The administrator's policy, read anew for each request it governs, so
  // that a change needs no restart.
  std::string RefuseRequest(const Client& client, Kind) override {
    if (ServiceAdmits(ReadServiceUsersPolicy(), client.identity.administrator)) return {};
    return kServiceLimitedToAdministrators;
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

void ServeClient(tovix::UniqueFileHandle pipe, HANDLE stop, RequestHandler& handler,
                 ConnectionSeats& seats, ServiceIdle& idle) {
  ULONG pid = 0;
  if (!GetNamedPipeClientProcessId(pipe.get(), &pid)) return;
  // The process only receives handles; who the client is comes from the pipe.
  tovix::UniqueHandle process(OpenProcess(
      SYNCHRONIZE | PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return;
  std::optional<ClientIdentity> identity = identityReader.load()(pipe.get(), process.get(), pid);
  if (!identity) return;
  const Client client{std::move(*identity), process.get()};
  // A user's fifth connection is closed at once.
  const std::unique_ptr<ConnectionSeats::Seat> seat = seats.Take(client, pipe.get());
  if (!seat) return;
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
        seat->Heard();
        idle.ClientActive();
        return handler.Handle(client, request, queue);
      },
      kFirstRequestWaitMs);
}

// The connection's thread.
void ConnectionThread(tovix::UniqueFileHandle pipe, HANDLE stop, RequestHandler& handler,
                      ConnectionSeats& seats, ServiceIdle& idle, HANDLE ended,
                      std::shared_ptr<std::atomic<bool>> done) {
  try {
    ServeClient(std::move(pipe), stop, handler, seats, idle);
  } catch (...) {
  }
  idle.ClientLeft();
  done->store(true);
  SetEvent(ended);
}

}  // namespace

namespace {

// The user of `token` (query rights) as a SID string into `identity`.
bool ReadTokenUser(HANDLE token, ClientIdentity& identity) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<std::uint8_t> user(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size)) return false;
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) {
    return false;
  }
  tovix::UniqueLocalMemory owned(text);
  identity.user = text;
  return true;
}

}  // namespace

std::optional<ClientIdentity> ReadPipeClientIdentity(HANDLE pipe, DWORD pid) {
  ClientIdentity identity;
  identity.pid = pid;
  ULONG session = 0;
  if (!GetNamedPipeClientSessionId(pipe, &session)) return std::nullopt;
  identity.session = session;
  if (!ImpersonateNamedPipeClient(pipe)) return std::nullopt;
  tovix::UniqueHandle token;
  // As this process: an identification-level token opens nothing as the
  // client, its own thread's token included.
  const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put());
  // Nothing more is done as the client; a thread that cannot stop being the
  // client must not go on serving.
  if (!RevertToSelf()) TerminateProcess(GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
  if (!opened || !ReadTokenUser(token.get(), identity)) return std::nullopt;
  identity.administrator = TokenIsAdministrator(token.get());
  return identity;
}

std::optional<ClientIdentity> ReadClientIdentity(HANDLE process, DWORD pid) {
  tovix::UniqueHandle token;
  if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return std::nullopt;
  ClientIdentity identity;
  identity.pid = pid;
  DWORD sessionSize = 0;
  if (!GetTokenInformation(token.get(), TokenSessionId, &identity.session, sizeof identity.session,
                           &sessionSize) ||
      !ReadTokenUser(token.get(), identity)) {
    return std::nullopt;
  }
  return identity;
}

void SetClientIdentityReader(ClientIdentityReader reader) {
  identityReader.store(reader != nullptr ? reader : FromThePipe);
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

namespace {

DWORD ServePipe(HANDLE stopRequested, ServiceIdle& idle, bool ownedByLocalSystem) {
  const std::wstring name = tovix::service_setup::kPipeName;
  tovix::UniqueFileHandle next = CreateServerPipe(name, kMaxClients, true, ownedByLocalSystem);
  if (!next) return ERROR_PIPE_BUSY;
  ServicePolicy policy(idle);
  RequestHandler handler(policy);
  ConnectionSeats seats;
  Connections connections;
  // The tick: the idle rule, and the silent connections that give their
  // places back (the VPN's owner keeps its own).
  tovix::UniqueHandle tick(CreateWaitableTimerW(nullptr, FALSE, nullptr));
  LARGE_INTEGER firstTick;
  firstTick.QuadPart = -10000LL * kTickMs;
  if (!connections.ended || !tick ||
      !SetWaitableTimer(tick.get(), &firstTick, kTickMs, nullptr, nullptr, FALSE)) {
    return GetLastError();
  }
  const auto onTick = [&] {
    idle.Poll();
    seats.LetSilentGo(kSilenceLimit, [&](const Client& client) { return handler.OwnsOrBusy(client); });
  };
  for (;;) {
    if (!next) {
      // Every instance is in use: one comes free when a connection ends.
      const HANDLE waits[] = {connections.ended.get(), stopRequested, tick.get()};
      const DWORD woken = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
      if (woken == WAIT_OBJECT_0 + 2) {
        onTick();
        continue;
      }
      if (woken != WAIT_OBJECT_0) break;
      connections.JoinFinished();
      next = CreateServerPipe(name, kMaxClients, false, ownedByLocalSystem);
      if (!next && GetLastError() != ERROR_PIPE_BUSY) break;
      continue;
    }
    if (!AwaitConnection(next.get(), stopRequested, tick.get(), onTick)) {
      if (WaitForSingleObject(stopRequested, 0) == WAIT_OBJECT_0) break;
      DisconnectNamedPipe(next.get());
      continue;
    }
    connections.JoinFinished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    idle.ClientCame();
    try {
      connections.entries.push_back({std::thread(ConnectionThread, std::move(next),
                                                 stopRequested, std::ref(handler), std::ref(seats),
                                                 std::ref(idle), connections.ended.get(), done),
                                     done});
    } catch (const std::system_error&) {
      idle.ClientLeft();  // no thread: the connection closes with `next`
    }
    next = CreateServerPipe(name, kMaxClients, false, ownedByLocalSystem);
  }
  // Each connection sees the stop, ends its client's VPN and ends.
  SetEvent(stopRequested);
  connections.JoinAll();
  JoinDnsWorkers();
  return NO_ERROR;
}

}  // namespace

DWORD ServeServicePipe(HANDLE stopRequested, ServiceIdle& idle) {
  return ServePipe(stopRequested, idle, true);
}

DWORD ServeServicePipeOwnedByCreator(HANDLE stopRequested, ServiceIdle& idle) {
  return ServePipe(stopRequested, idle, false);
}
