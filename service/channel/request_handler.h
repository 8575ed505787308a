// The one answer to every request on the privileged program's pipe, for both
// of its modes: the broker, which serves the one Tovix.exe that started it
// through the elevation prompt, and the installed service, which serves
// every Windows user's Tovix.exe. The VPN (its core and DNS rule) belongs to
// the client that started it until that client releases its core or its
// connection ends; nobody else can touch it or hear of it. What differs
// between the modes is a small policy: who may start, what the folder rule
// means, and what the hello hands over. Connection threads; one request at
// a time across all clients.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "protocol/broker_protocol.h"
#include "service/channel/pipe_connection.h"
#include "service/channel/service_server.h"

// A connected client: who it is, and its process (wait, query and
// duplicate rights), which the handles it is given are made in.
struct Client {
  ClientIdentity identity;
  HANDLE process = nullptr;
};

// What the mode decides.
class ModePolicy {
 public:
  virtual ~ModePolicy() = default;
  // The "start_failed" refusal of a start by `client` while `owner` (null:
  // nobody) holds the VPN, or empty to admit it. Lines it writes go to the
  // client's session log.
  virtual std::string RefuseStart(const Client& client, const Client* owner) = 0;
  // The refusal of any request but the hello, whoever holds the VPN, or
  // empty to go on (the service's ServiceUsers policy); a refused "start"
  // is answered as RefuseStart's are.
  virtual std::string RefuseRequest(const Client&, tovix::broker::Kind) { return {}; }
  // Whether the hello hands the client a handle that waits on this process
  // (the service's: the client cannot open it; the broker's it started).
  virtual bool HandsItsProcess() const = 0;
  // A VPN's core began, or ended (the service's idle rule counts them).
  virtual void CoreStarted() {}
  virtual void CoreEnded() {}
};

class RequestHandler {
 public:
  explicit RequestHandler(ModePolicy& policy) : policy_(policy) {}
  RequestHandler(const RequestHandler&) = delete;
  RequestHandler& operator=(const RequestHandler&) = delete;

  // The answer to `request` of `client`; nothing for one answered later
  // through `queue` (a DNS rule's install).
  std::optional<tovix::broker::Message> Handle(const Client& client,
                                               tovix::broker::Message& request,
                                               const std::shared_ptr<ReplyQueue>& queue);

  // The connection of `client` has ended as `end`: its VPN ends with it. A
  // program that is stopping removes the rule now and leaves the core to its
  // own end (the job), after the client has seen the connection go, so that
  // the UI hears of a service that ended rather than of a core that exited.
  void ConnectionEnded(const Client& client, ConnectionEnd end);

  // Whether `client` holds the VPN, or a request is in hand (after which it
  // might): never waits for the request.
  bool OwnsOrBusy(const Client& client);

 private:
  void EndVpnOf(const Client& client);  // lock_ held

  std::mutex lock_;  // guards owner_ and ownerCore_, and orders all requests
  ModePolicy& policy_;
  const Client* owner_ = nullptr;  // whose VPN runs; never outlives its client
  bool ownerCore_ = false;         // whether its core is held
};
