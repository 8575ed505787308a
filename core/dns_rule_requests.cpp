// Requests for the DNS policy rule. The privileged program answers an install
// before a removal that follows it, so the lines and the status word arrive
// in the order the work was done.
#include "core/dns_rule_requests.h"

#include <mutex>
#include <optional>

#include "core/privileged_client.h"
#include "core/core_process.h"
#include "diagnostics/session_log.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

constexpr DWORD kRemoveWaitMs = 5000;

std::mutex statusLock;  // guards status; innermost but for the session log's
std::string status = "none";

void WriteLines(const Message& reply) {
  for (const tovix::broker::LogLine& line : reply.lines) SessionLog::Write(line.tag, line.text);
}

}  // namespace

std::string DnsPolicyStatusSnapshot() {
  // Without a connection there is no rule of ours: the privileged side
  // removes it when the connection ends, and the guard when that side dies.
  if (!PrivilegedClient::Connected()) return "none";
  std::lock_guard lock(statusLock);
  return status;
}

void StartDnsPolicyApply(std::uint64_t generation) {
  std::uint64_t core = 0;
  {
    std::lock_guard lock(CoreLock);
    if (!CoreProcess.running.load() || CoreProcess.coreGeneration.load() != generation) return;
    core = CoreProcess.brokerCore;
  }
  Message request;
  request.core = core;
  PrivilegedClient::CallAsync(Kind::ApplyDns, std::move(request),
                          [](const std::optional<Message>& reply) {
                            if (!reply) return;
                            WriteLines(*reply);
                            if (!reply->ok) return;
                            std::lock_guard lock(statusLock);
                            status = reply->text;
                          });
}

void RemoveDnsPolicyRule(std::string_view reason) {
  if (PrivilegedClient::Connected()) {
    Message request;
    request.text = std::string(reason);
    std::optional<Message> reply = PrivilegedClient::Call(Kind::RemoveDns, request, kRemoveWaitMs);
    if (!reply) {
      // Not known to be removed: the connection goes, and with it the rule
      // (the privileged side removes it when its connection ends).
      PrivilegedClient::Disconnect();
      return;
    }
    WriteLines(*reply);
  }
  std::lock_guard lock(statusLock);
  status = "none";
}
