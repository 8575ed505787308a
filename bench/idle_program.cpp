// The smallest Windows program that stays alive: a baseline for what any
// process costs (under Wine, the loader and Wine's own DLLs take most of it).
// Built with TOVIX_IDLE_WITH_SERVICE_IMPORTS it also imports the system DLLs
// that TovixService.exe imports, without calling them, which shows how much
// of that program's cost is only those DLLs being loaded.
#include <windows.h>

#ifdef TOVIX_IDLE_WITH_SERVICE_IMPORTS
// clang-format off: the IP helper's header needs Winsock's first.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on
#include <setupapi.h>
#include <shlobj.h>

// Kept reachable so that the linker keeps every import.
void* volatile serviceImports[] = {
    reinterpret_cast<void*>(&RegOpenKeyExW),        reinterpret_cast<void*>(&GetAdaptersAddresses),
    reinterpret_cast<void*>(&SetupDiGetClassDevsW), reinterpret_cast<void*>(&SHGetKnownFolderPath),
    reinterpret_cast<void*>(&WSAStartup),
};
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Sleep(INFINITE);
  return 0;
}
