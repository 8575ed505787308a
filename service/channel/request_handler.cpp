// Requests of the privileged program's clients, whatever its mode.
#include "service/channel/request_handler.h"

#include <cstdint>

#include "channels/secure_wipe.h"
#include "service/core/adapter_sweep.h"
#include "service/core/held_core.h"
#include "service/dns_rule/dns_guard.h"
#include "service/dns_rule/dns_policy.h"
#include "service/dns_rule/dns_rule_owner.h"
#include "service/service_log.h"

using tovix::broker::Kind;
using tovix::broker::Message;

namespace {

void Refuse(Message& reply, std::string text, bool endsLog) {
  reply.ok = false;
  reply.flag = endsLog;
  reply.text = std::move(text);
}

}  // namespace

std::optional<Message> RequestHandler::Handle(const Client& client, Message& request,
                                              const std::shared_ptr<ReplyQueue>& queue) {
  std::lock_guard guard(lock_);
  Message reply;
  reply.id = request.id;
  reply.kind = request.kind;
  reply.reply = true;
  ServiceLog log(reply.lines);
  const bool owns = owner_ == &client;
  if (request.kind != Kind::Hello) {
    if (std::string refusal = policy_.RefuseRequest(client, request.kind); !refusal.empty()) {
      Refuse(reply, std::move(refusal), request.kind == Kind::Launch);
      flutter::WipeString(request.text);
      return reply;
    }
  }
  switch (request.kind) {
    case Kind::Hello: {
      // What is left behind is swept only while no VPN runs: a rule of a
      // running VPN is not left behind.
      if (owner_ == nullptr) {
        reply.flag = DeleteUnownedDnsPolicyRule(MachineDnsPolicyTarget());
        reply.ok = TakeDnsGuardNote();
      }
      HANDLE theirs = nullptr;
      if (policy_.HandsItsProcess() &&
          DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), client.process, &theirs,
                          SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
        reply.process = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(theirs));
      }
      break;
    }
    case Kind::Launch: {
      // A VPN whose core has ended by itself is over, though its owner has
      // not said so yet: it no longer keeps anyone else out.
      if (owner_ != nullptr && !owns && HeldCoreHasEnded()) EndVpnOf(*owner_);
      if (std::string refusal = policy_.RefuseStart(client, owner_); !refusal.empty()) {
        Refuse(reply, std::move(refusal), true);
      } else {
        LaunchCore(request, client.process, client.identity.user, reply);
        if (reply.ok) {
          owner_ = &client;
          if (!ownerCore_) policy_.CoreStarted();
          ownerCore_ = true;
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
          policy_.CoreEnded();
          owner_ = nullptr;
          ownerCore_ = false;
        }
      }
      break;
    case Kind::ApplyDns:
      if (!owns) break;  // not ok: the rule stays as it is
      StartApplyDns(request, queue);
      return std::nullopt;
    case Kind::RemoveDns:
      // The owner's, or a rule nobody's VPN needs.
      if (owner_ != nullptr && !owns) break;
      reply.text = RemoveDnsPolicyRule(request.text);
      reply.ok = true;
      break;
    case Kind::Cleanup:
      reply.ok = true;
      // Nothing of another client's running VPN is cleaned up.
      if (owner_ == nullptr || owns) reply.flag = RunHostCleanup() > 0;
      break;
  }
  return reply;
}

void RequestHandler::ConnectionEnded(const Client& client, ConnectionEnd end) {
  std::lock_guard guard(lock_);
  try {
    if (end == ConnectionEnd::Stopped && owner_ == &client) {
      owner_ = nullptr;
      RemoveRuleOfEndedClient();
      return;
    }
    EndVpnOf(client);
  } catch (...) {
    if (owner_ == &client) owner_ = nullptr;
  }
}

bool RequestHandler::OwnsOrBusy(const Client& client) {
  std::unique_lock guard(lock_, std::try_to_lock);
  return !guard.owns_lock() || owner_ == &client;
}

void RequestHandler::EndVpnOf(const Client& client) {
  if (owner_ != &client) return;
  EndVpnOfEndedClient();
  if (ownerCore_) policy_.CoreEnded();
  owner_ = nullptr;
  ownerCore_ = false;
}
