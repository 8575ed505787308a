// "TovixService.exe --install" and "--uninstall": register this program as
// the service TovixService, and remove it again. Run elevated (Tovix.exe
// starts them through the elevation prompt, an installer as itself). Main
// thread.
#pragma once

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "protocol/service_setup.h"

// Registers `program` as the service (display name "Tovix VPN service",
// LocalSystem, its own process, started on demand, binary path the quoted
// path), or updates an existing registration to exactly that, and gives it
// MakeServiceDescriptor. Refuses (FolderNotAdminOnly, nothing changed) when
// the folder of `program` fails InstallFolderIsAdminOnly. Makes
// "%ProgramData%\Kelpmarrow" admin-only first (EnsureVpnFolderIn), and
// answers CompanyFolderInTheWay, unregistered, when it cannot.
tovix::service_setup::Outcome InstallService(const std::filesystem::path& program);

// Stops the service (waiting up to `stopWait` for it to report stopped and
// for its process to end), then deletes it. A service that is not there is
// removed already.
tovix::service_setup::Outcome UninstallService(std::chrono::milliseconds stopWait);

// The service's own descriptor: SYSTEM and Administrators may do anything;
// interactive users may query its configuration and status and start it,
// nothing more (no stop, no change, no delete, no reading of the
// descriptor).
tovix::UniqueLocalMemory MakeServiceDescriptor();

// True for the arguments of the two switches (one switch, nothing else).
bool IsServiceSetupSwitch(const std::vector<std::wstring>& arguments);

// Runs the switch for this program and answers its exit code; on failure
// writes the outcome's line to standard error.
int RunServiceSetup(const std::vector<std::wstring>& arguments);
