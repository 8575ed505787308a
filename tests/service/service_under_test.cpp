// TovixService.exe as the service tests run it: the program's own entry
// points, with folders read as support/installed_service.h says, and clients
// told apart by their program's name as well as by their user and session. Under Wine the
// real program refuses every folder (Wine makes a file's descriptor up, owned
// by the Wine user), and every process has the same user and session; this
// one shows the rest: registration, start, serving, stop, removal, and that
// the VPN of one Windows user is kept from the others. It can also be told
// to leave its pipe's name to someone else.
// Built for tests only; the shipped program has no such way in.
#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "protocol/service_setup.h"
#include "service/service_host.h"
#include "service/folders/install_folder.h"
#include "service/service_install.h"
#include "service/channel/service_server.h"
#include "support/installed_service.h"

namespace {

// A client named other than Tovix.exe counts as another Windows user, one per
// name: its SID gets one more sub-authority from the name, so that it is
// still a SID (and names a folder of its own). With "standard-users.test" in
// the service's folder, those other users are not administrators (under
// Wine every token is). Who the client is still comes from the pipe first.
std::optional<ClientIdentity> UserByProgramName(HANDLE pipe, HANDLE process, DWORD pid) {
  std::optional<ClientIdentity> identity = ReadPipeClientIdentity(pipe, pid);
  wchar_t path[MAX_PATH] = {};
  DWORD length = MAX_PATH;
  if (!identity || !QueryFullProcessImageNameW(process, 0, path, &length)) return std::nullopt;
  const std::wstring program(path, length);
  const std::wstring name = program.substr(program.find_last_of(L"\\/") + 1);
  if (_wcsicmp(name.c_str(), L"Tovix.exe") != 0) {
    identity->user += L"-" + std::to_wstring(std::hash<std::wstring>{}(name) & 0x7FFFFFFF);
    std::error_code ignored;
    if (std::filesystem::exists(OwnProgramPath().parent_path() / L"standard-users.test", ignored)) {
      identity->administrator = false;
    }
  }
  return identity;
}

// With "no-pipe.test" in its folder, the service runs without making its
// pipe: the name is then free for a test's own server, while the service
// manager names this process. With "slow-stop.test" as well, its clean-up
// after a stop takes 2 s, so that the state it reports meanwhile can be seen.
DWORD ServeOrOnlyRun(HANDLE stopRequested, ServiceIdle& idle) {
  std::error_code ignored;
  const std::filesystem::path folder = OwnProgramPath().parent_path();
  // With "plain-owner.test", its pipe is not owned by LocalSystem.
  if (std::filesystem::exists(folder / L"plain-owner.test", ignored)) {
    return ServeServicePipeOwnedByCreator(stopRequested, idle);
  }
  if (std::filesystem::exists(folder / L"no-pipe.test", ignored)) {
    idle.WaitFor(stopRequested);
    if (std::filesystem::exists(folder / L"slow-stop.test", ignored)) Sleep(2000);
    return NO_ERROR;
  }
  return ServeServicePipe(stopRequested, idle);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  SetFolderSecurityHooks(FolderAsTestsSeeIt, nullptr);
  SetClientIdentityReader(UserByProgramName);
  std::vector<std::wstring> arguments;
  for (int i = 1; i < __argc; ++i) arguments.emplace_back(__wargv[i]);
  if (IsServiceSetupSwitch(arguments)) return RunServiceSetup(arguments);
  if (arguments.empty()) {
    // With "short-idle.test" in its folder, it ends a second after its last
    // client rather than a minute.
    std::error_code ignored;
    if (std::filesystem::exists(OwnProgramPath().parent_path() / L"short-idle.test", ignored)) {
      SetServiceIdleDelay(std::chrono::seconds(1));
    }
    return RunAsService(ServeOrOnlyRun);
  }
  return static_cast<int>(tovix::service_setup::Outcome::BadArguments);
}
