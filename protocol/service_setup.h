// What Tovix.exe and TovixService.exe agree on about installing and removing
// the service: its names, the two switches of TovixService.exe and their exit
// codes. TovixService.exe runs elevated and writes nothing a user could have
// placed, so it reports why it failed through its exit code alone, and
// Tovix.exe turns the code into the same fixed line. Portable, any thread.
#pragma once

#include <string_view>

namespace tovix::service_setup {

inline constexpr wchar_t kServiceName[] = L"TovixService";
inline constexpr wchar_t kDisplayName[] = L"Tovix VPN service";
inline constexpr wchar_t kInstallSwitch[] = L"--install";
inline constexpr wchar_t kUninstallSwitch[] = L"--uninstall";
// Where the running service serves its clients: under the protected prefix,
// where only administrators and SYSTEM can make a pipe, so that no standard
// user can take the name while the service is stopped and keep it from
// starting.
inline constexpr wchar_t kPipeName[] =
    L"\\\\.\\pipe\\ProtectedPrefix\\Administrators\\Kelpmarrow.Tovix.Service";

// The exit codes of "TovixService.exe --install" and "--uninstall". The
// service reports FolderNotAdminOnly as its service-specific exit code too,
// when it refuses to start.
enum class Outcome : int {
  Done = 0,
  FolderNotAdminOnly = 1,
  NotAdministrator = 2,
  ServiceManagerRefused = 3,
  StillRunning = 4,
  BadArguments = 5,
  CompanyFolderInTheWay = 6,
};

inline constexpr std::string_view kFolderMessage =
    "TovixService.exe must be installed in a folder only administrators can change";

// The one line that says why; empty for Done and for a code that is none of
// the above.
constexpr std::string_view MessageOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done:
      return {};
    case Outcome::FolderNotAdminOnly:
      return kFolderMessage;
    case Outcome::NotAdministrator:
      return "administrator rights are needed to install or remove the service";
    case Outcome::ServiceManagerRefused:
      return "the Windows service manager refused the change";
    case Outcome::StillRunning:
      return "the service did not stop in time";
    case Outcome::BadArguments:
      return "TovixService.exe takes --install or --uninstall";
    case Outcome::CompanyFolderInTheWay:
      return "%ProgramData%\\Kelpmarrow is not admin-only and cannot be moved aside";
  }
  return {};
}

}  // namespace tovix::service_setup
