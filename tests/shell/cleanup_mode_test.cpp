// Tovix.exe --km-cleanup's exit code when the privileged program cannot be
// had. Wine never declines the elevation prompt: the starter stands in for a
// prompt that was declined.
#include "shell/cleanup_mode.h"

#include <gtest/gtest.h>

#include "core/privileged_client.h"
#include "shell/single_instance.h"

namespace {

BOOL WINAPI DeclinedPrompt(SHELLEXECUTEINFOW*) {
  SetLastError(ERROR_CANCELLED);
  return FALSE;
}

TEST(CleanupMode, ADeclinedPromptIsAFailure) {
  PrivilegedClient::SetStarter(DeclinedPrompt);
  const int exitCode = RunCleanupMode();
  PrivilegedClient::SetStarter(nullptr);
  EXPECT_EQ(exitCode, kExitFailure);
}

}  // namespace
