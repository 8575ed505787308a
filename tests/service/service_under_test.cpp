// TovixService.exe as the install tests run it: the program's own entry
// points, with every folder read as admin-only. Under Wine the real program
// refuses every folder (Wine makes a file's descriptor up, owned by the Wine
// user), so this one shows the rest: registration, start, stop, removal.
// Built for tests only; the shipped program has no such way in.
#include <windows.h>

#include <string>
#include <vector>

#include "protocol/service_setup.h"
#include "service/service_host.h"
#include "service/service_install.h"
#include "service/vpn_folder.h"

namespace {

FolderInspection AdminOnlyFolder(HANDLE handle) {
  FolderInspection seen = InspectFolderHandle(handle);
  seen.security = FactsOfDescriptor(MakeAdminOnlyDescriptor().get());
  return seen;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  SetFolderSecurityHooks(AdminOnlyFolder, nullptr);
  std::vector<std::wstring> arguments;
  for (int i = 1; i < __argc; ++i) arguments.emplace_back(__wargv[i]);
  if (IsServiceSetupSwitch(arguments)) return RunServiceSetup(arguments);
  if (arguments.empty()) return RunAsService();
  return static_cast<int>(tovix::service_setup::Outcome::BadArguments);
}
