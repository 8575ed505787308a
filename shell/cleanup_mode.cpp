// The clean-up mode of Tovix.exe. Main thread.
#include "shell/cleanup_mode.h"

#include <optional>
#include <string>

#include "core/broker_client.h"
#include "shell/single_instance.h"

int RunCleanupMode() {
  constexpr DWORD kCleanupWaitMs = 30000;
  std::string error;
  std::optional<BrokerClient::Hello> hello;
  if (!BrokerClient::Ensure(error, hello)) return kExitFailure;
  const bool answered = BrokerClient::Call(tovix::broker::Kind::Cleanup, tovix::broker::Message{},
                                           kCleanupWaitMs)
                            .has_value();
  BrokerClient::Disconnect();
  return answered ? kExitOk : kExitFailure;
}
