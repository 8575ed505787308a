// The clean-up mode of Tovix.exe. Main thread.
#include "shell/cleanup_mode.h"

#include <optional>
#include <string>

#include "core/privileged_client.h"
#include "shell/single_instance.h"

int RunCleanupMode() {
  constexpr DWORD kCleanupWaitMs = 30000;
  std::string error;
  std::optional<PrivilegedClient::Hello> hello;
  if (!PrivilegedClient::Ensure(error, hello)) return kExitFailure;
  const bool answered = PrivilegedClient::Call(tovix::broker::Kind::Cleanup, tovix::broker::Message{},
                                           kCleanupWaitMs)
                            .has_value();
  PrivilegedClient::Disconnect();
  return answered ? kExitOk : kExitFailure;
}
