// Every client is a stranger until its process's token says who it is, and
// even then it is only ever given what is its own: its replies, its log
// lines, handles to its own core. One request of one client is handled at a
// time across all clients (`requestLock`), because the core and the rule are
// one per machine; requests are short, the longest (a launch) a few seconds.
#include "service/service_server.h"

#include <sddl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "channels/secure_wipe.h"
#include "common/unique_resource.h"
#include "protocol/service_setup.h"
#include "service/adapter_sweep.h"
#include "service/core_launcher.h"
#include "service/dns_guard.h"
#include "service/dns_policy.h"
#include "service/dns_rule_owner.h"
#include "service/install_folder.h"
#include "service/pipe_connection.h"
#include "service/service_log.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

// At most this many clients at once: a further one waits for a free
// instance (WaitNamedPipe), and a thread is never made beyond it.
constexpr DWORD kMaxClients = 32;
// A client says hello at once; one that sends nothing gives up its place.
constexpr DWORD kFirstRequestWaitMs = 5000;

std::atomic<ClientIdentityReader> identityReader{ReadClientIdentity};

struct Client {
  ClientIdentity identity;
  HANDLE process = nullptr;
};

// The client whose VPN runs, and whether its core is held. Guarded by
// requestLock, as is everything a request touches.
std::mutex requestLock;
const Client* owner = nullptr;
bool ownerCore = false;

void Refuse(Message& reply, std::string_view text, bool endsLog) {
  reply.ok = false;
  reply.flag = endsLog;
  reply.text = std::string(text);
}

// Ends the VPN of `client` when it holds it; requestLock held.
void EndVpnOf(const Client& client, ServiceIdle& idle) {
  if (owner != &client) return;
  EndVpnOfEndedClient();
  if (ownerCore) idle.CoreEnded();
  owner = nullptr;
  ownerCore = false;
}

// requestLock held.
std::optional<Message> Handle(const Client& client, Message& request,
                              const std::shared_ptr<ReplyQueue>& queue, ServiceIdle& idle) {
  Message reply;
  reply.id = request.id;
  reply.kind = request.kind;
  reply.reply = true;
  ServiceLog log(reply.lines);
  const bool owns = owner == &client;
  switch (request.kind) {
    case Kind::Hello: {
      // What is left behind is swept only while no VPN runs: a rule of a
      // running VPN is not left behind.
      if (owner == nullptr) {
        reply.flag = DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget());
        reply.ok = TakeDnsGuardNote();
      }
      // The client cannot open this process itself: it is given a handle
      // that can wait on it and tell its id, nothing more, to see the
      // service end.
      HANDLE theirs = nullptr;
      if (DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), client.process, &theirs,
                          SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
        reply.process = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(theirs));
      }
      break;
    }
    case Kind::Launch: {
      // A VPN whose core has ended by itself is over, though its owner has
      // not said so yet: it no longer keeps anyone else out.
      if (owner != nullptr && owner != &client && HeldCoreHasEnded()) EndVpnOf(*owner, idle);
      const Admission admission =
          AdmitStart(owner != nullptr ? std::optional(owner->identity) : std::nullopt,
                     client.identity);
      if (admission != Admission::Granted) {
        Refuse(reply, RefusalOf(admission), true);
      } else if (!OwnFolderIsAdminOnly()) {
        // Opened up since the service started: nothing of it runs as SYSTEM.
        Refuse(reply, tovix::service_setup::kFolderMessage, true);
      } else {
        LaunchCore(request, client.process, client.identity.user, reply);
        if (reply.ok) {
          owner = &client;
          if (!ownerCore) idle.CoreStarted();
          ownerCore = true;
        }
      }
      flutter::WipeString(request.text);
      break;
    }
    case Kind::Resume:
    case Kind::Terminate:
    case Kind::Release:
      if (!owns) {
        Refuse(reply, "no such core", false);
      } else if (request.kind == Kind::Resume) {
        ResumeCore(request.core, client.process, reply);
      } else if (request.kind == Kind::Terminate) {
        TerminateCore(request.core, request.flag ? 1 : 0, reply);
      } else {
        ReleaseCore(request.core, reply);
        if (reply.ok) {
          // The core is gone: the VPN is free for whoever starts it next.
          idle.CoreEnded();
          owner = nullptr;
          ownerCore = false;
        }
      }
      break;
    case Kind::ApplyDns:
      if (!owns) break;  // not ok: the rule stays as it is
      StartApplyDns(request, queue);
      return std::nullopt;
    case Kind::RemoveDns:
      // The owner's, or a rule nobody's VPN needs.
      if (owner != nullptr && !owns) break;
      reply.text = RemoveDnsPolicyRule(request.text);
      reply.ok = true;
      break;
    case Kind::Cleanup:
      reply.ok = true;
      // Nothing of another client's running VPN is cleaned up.
      if (owner == nullptr || owns) reply.flag = RunHostCleanup() > 0;
      break;
  }
  return reply;
}

// The connections' threads. A finished one is joined when the next starts.
struct Connections : FinishingThreads {
  tovix::UniqueHandle ended{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // auto-reset

  void JoinAll() {
    for (Entry& entry : entries) entry.thread.join();
    entries.clear();
  }
};

void ServeClient(tovix::UniqueFileHandle pipe, HANDLE stop, ServiceIdle& idle) {
  ULONG pid = 0;
  if (!GetNamedPipeClientProcessId(pipe.get(), &pid)) return;
  tovix::UniqueHandle process(OpenProcess(
      SYNCHRONIZE | PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return;
  std::optional<ClientIdentity> identity = identityReader.load()(process.get(), pid);
  if (!identity) return;
  const Client client{std::move(*identity), process.get()};
  // However the connection ends, even by an exception, its VPN ends with it
  // (nobody can be told about that VPN any longer), and `owner` never
  // outlives `client`.
  struct EndsItsVpn {
    const Client& client;
    ServiceIdle& idle;
    ConnectionEnd end = ConnectionEnd::Disconnected;
    ~EndsItsVpn() {
      std::lock_guard lock(requestLock);
      try {
        End();
      } catch (...) {
        if (owner == &client) owner = nullptr;
      }
    }
    void End() {
      if (end == ConnectionEnd::Stopped && owner == &client) {
        // The service is stopping: the rule goes now, and the core with
        // this process (its job), after the client has seen its connection
        // end. So the UI hears of a service that ended, as it would of one
        // that was killed, rather than of a core that exited.
        owner = nullptr;
        RemoveRuleOfEndedClient();
        return;
      }
      EndVpnOf(client, idle);
    }
  } endsItsVpn{client, idle};
  PipeConnection connection(pipe.get(), process.get(), stop);
  endsItsVpn.end = connection.Serve(
      [&](Message& request, const std::shared_ptr<ReplyQueue>& queue) {
        std::lock_guard lock(requestLock);
        return Handle(client, request, queue, idle);
      },
      kFirstRequestWaitMs);
}

// The connection's thread: the client counts for the idle rule while it is
// connected.
void ConnectionThread(tovix::UniqueFileHandle pipe, HANDLE stop, ServiceIdle& idle,
                      HANDLE ended, std::shared_ptr<std::atomic<bool>> done) {
  try {
    ServeClient(std::move(pipe), stop, idle);
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
                                                 stopRequested, std::ref(idle),
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
