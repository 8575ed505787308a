// Tovix.exe --install-service and --uninstall-service: an installer (or a
// user) registers or removes the service through the program it knows. No
// window: Tovix.exe runs "TovixService.exe --install" or "--uninstall" from
// its own folder through the elevation prompt (one prompt; none when already
// elevated), waits for it, and exits 0, or 1 with one line on standard error
// that says why. Main thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

inline constexpr char kInstallServiceSwitch[] = "--install-service";
inline constexpr char kUninstallServiceSwitch[] = "--uninstall-service";

// The exit code when the first argument is one of the two switches (which
// then must stand alone); nullopt otherwise, and nothing is done.
std::optional<int> RunServiceSwitch(const std::vector<std::string>& arguments);
