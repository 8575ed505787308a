// The broker's pipe server. Everything on the pipe is hostile until shown
// otherwise: the pipe is new (a name someone else made first fails the
// creation), admits local clients only, and a connection is served only when
// its client is the process this broker was started for. The one connection
// is the lifeline: its end, however it comes (the client's end, a message
// that is too large or not well formed), ends the core and the rule, and the
// broker with them.
// Main thread, with one worker thread per DNS rule request.
#include "service/broker_server.h"

#include <memory>
#include <optional>

#include "channels/secure_wipe.h"
#include "common/unique_resource.h"
#include "service/adapter_sweep.h"
#include "service/dns_guard.h"
#include "service/dns_policy.h"
#include "service/dns_rule_owner.h"
#include "protocol/broker_protocol.h"
#include "service/core_launcher.h"
#include "service/pipe_connection.h"
#include "service/service_log.h"
#include "service/service_server.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

// The answer to one request, made on this thread; nothing for a request
// answered later by a worker.
std::optional<Message> Handle(Message& request, HANDLE client, const std::wstring& user,
                              const std::shared_ptr<ReplyQueue>& queue) {
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
      LaunchCore(request, client, user, reply);
      flutter::WipeString(request.text);
      break;
    case Kind::Resume:
      ResumeCore(request.core, client, reply);
      break;
    case Kind::Terminate:
      TerminateCore(request.core, request.flag ? 1 : 0, reply);
      break;
    case Kind::Release:
      ReleaseCore(request.core, reply);
      break;
    case Kind::ApplyDns:
      StartApplyDns(request, queue);
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

bool ClientEnded(HANDLE client) { return WaitForSingleObject(client, 0) == WAIT_OBJECT_0; }

}  // namespace

int RunBroker(DWORD clientPid, const std::wstring& pipeName) {
  tovix::UniqueHandle client(
      OpenProcess(SYNCHRONIZE | PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                  clientPid));
  if (!client) return 1;
  // One instance: no second server can join the name.
  tovix::UniqueFileHandle pipe = CreateServerPipe(pipeName, 1, true);
  if (!pipe) return 1;

  // The user the prompt was answered for; without one, no core starts.
  const std::optional<ClientIdentity> identity = ReadClientIdentity(client.get(), clientPid);
  const std::wstring user = identity ? identity->user : std::wstring();
  const RequestHandler handle = [&](Message& request, const std::shared_ptr<ReplyQueue>& queue) {
    return Handle(request, client.get(), user, queue);
  };
  // The connection is the lifeline: however it ends (the client's end, a
  // broken pipe, a message that is not one), the core and the rule end with
  // it and this program exits. A client that connects again starts afresh.
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
      PipeConnection connection(pipe.get(), client.get(), nullptr);
      connection.Serve(handle);
      DisconnectNamedPipe(pipe.get());
      break;
    }
    DisconnectNamedPipe(pipe.get());
  }
  EndVpnOfEndedClient();
  JoinDnsWorkers();
  return 0;
}
