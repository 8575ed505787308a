// TovixService.exe: the privileged program. Started by Tovix.exe through the
// elevation prompt as "TovixService.exe --broker <client pid> <token>", it
// serves that one process on the pipe named after both and ends with it.
// Started by the service manager (no arguments), it is the installed service
// and serves every client on the service's pipe. No window, no console.
// Main thread.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/decimal.h"
#include "protocol/broker_protocol.h"
#include "service/channel/broker_server.h"
#include "service/service_host.h"
#include "service/service_install.h"
#include "service/channel/service_server.h"

namespace {

constexpr int kExitRefused = 1;
constexpr std::size_t kTokenChars = 32;

bool IsToken(const std::wstring& text) {
  if (text.size() != kTokenChars) return false;
  for (const wchar_t c : text) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  return true;
}

int Run(const std::vector<std::wstring>& arguments) {
  if (arguments.size() == 3 && arguments[0] == tovix::broker::kBrokerSwitch) {
    const std::optional<std::uint64_t> client = PositiveDecimal(arguments[1], MAXDWORD);
    if (!client || !IsToken(arguments[2])) return kExitRefused;
    return RunBroker(static_cast<DWORD>(*client), std::wstring(tovix::broker::kBrokerPipePrefix) +
                                                      arguments[1] + L"." + arguments[2]);
  }
  return kExitRefused;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // System DLLs from the system folder only, before anything loads one.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  try {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < __argc; ++i) arguments.emplace_back(__wargv[i]);
    if (IsServiceSetupSwitch(arguments)) return RunServiceSetup(arguments);
    if (arguments.empty()) return RunAsService(ServeServicePipe);
    return Run(arguments);
  } catch (...) {
    return kExitRefused;
  }
}
