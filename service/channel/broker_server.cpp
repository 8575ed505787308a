// The broker's pipe server. Everything on the pipe is hostile until shown
// otherwise: the pipe is new (a name someone else made first fails the
// creation), admits local clients only, and a connection is served only when
// its client is the process this broker was started for. The one connection
// is the lifeline: its end, however it comes (the client's end, a message
// that is too large or not well formed), ends the core and the rule, and the
// broker with them.
// Main thread, with one worker thread per DNS rule request.
#include "service/channel/broker_server.h"

#include <memory>
#include <optional>

#include "common/text.h"
#include "common/unique_resource.h"
#include "protocol/broker_protocol.h"
#include "service/folders/install_folder.h"
#include "service/channel/pipe_connection.h"
#include "service/channel/request_handler.h"
#include "service/service_log.h"
#include "service/channel/service_server.h"

using tovix::broker::Message;

namespace {

// The broker serves the one process that started it through the elevation
// prompt, whose user consented to it: it runs the core and the guard from
// its own folder even when non-administrators could change that folder (a
// per-user install), but says so in the session log.
// The folder is judged once, at the first start: the judgement changes
// nothing here, and walking every folder up to the volume's root costs
// milliseconds at each start.
class BrokerPolicy : public ModePolicy {
 public:
  std::string RefuseStart(const Client&, const Client*) override {
    if (!folderAdminOnly_) folderAdminOnly_ = OwnFolderIsAdminOnly();
    if (!*folderAdminOnly_) {
      ServiceLog::Write("[boot]", "install folder can be changed by non-administrators: " +
                                      ToUtf8(OwnProgramPath().parent_path().native()));
    }
    return {};
  }
  // Tovix.exe has the broker's process from its start.
  bool HandsItsProcess() const override { return false; }

 private:
  std::optional<bool> folderAdminOnly_;
};

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
  std::optional<ClientIdentity> identity = ReadClientIdentity(client.get(), clientPid);
  const Client served{identity ? std::move(*identity) : ClientIdentity{}, client.get()};
  BrokerPolicy policy;
  RequestHandler handler(policy);
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
      handler.ConnectionEnded(served, connection.Serve([&](Message& request,
                                                           const std::shared_ptr<ReplyQueue>& queue) {
        return handler.Handle(served, request, queue);
      }));
      DisconnectNamedPipe(pipe.get());
      break;
    }
    DisconnectNamedPipe(pipe.get());
  }
  EndVpnOfEndedClient();
  JoinDnsWorkers();
  return 0;
}
