// Launching sing-box.exe. Window thread.
#include "core/core_launch.h"

bool StartCore(const std::string& config, std::string& error) {
  (void)config;
  error = "core launch is not available";
  return false;
}
