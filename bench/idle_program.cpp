// The smallest Windows program that stays alive: a baseline for what any
// process costs (under Wine, the loader and Wine's own DLLs take most of it).
// Built with TOVIX_IDLE_WITH_SERVICE_IMPORTS it also imports the system DLLs
// that TovixService.exe imports, without calling them, which shows how much
// of that program's cost is only those DLLs being loaded. Given a number, it
// runs that many threads in all, each only sleeping: what threads alone cost.
// A second number is of threads that start and end before it sleeps: Wine
// keeps the stack of the last thread that ended until another one ends.
#include <windows.h>

#ifdef TOVIX_IDLE_WITH_SERVICE_IMPORTS
// clang-format off: the IP helper's header needs Winsock's first.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
// clang-format on
#include <setupapi.h>

// Kept reachable so that the linker keeps every import.
void* volatile serviceImports[] = {
    reinterpret_cast<void*>(&RegOpenKeyExW),        reinterpret_cast<void*>(&GetAdaptersAddresses),
    reinterpret_cast<void*>(&SetupDiGetClassDevsW), reinterpret_cast<void*>(&WSAStartup),
};
#endif

DWORD WINAPI SleepForEver(void*) {
  Sleep(INFINITE);
  return 0;
}

DWORD WINAPI EndAtOnce(void*) { return 0; }

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  wchar_t* rest = commandLine;
  const long threads = wcstol(rest, &rest, 10);
  const long ended = wcstol(rest, &rest, 10);
  for (long i = 1; i < threads && i < 64; ++i) {
    HANDLE thread = CreateThread(nullptr, 0, SleepForEver, nullptr, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
  }
  for (long i = 0; i < ended && i < 64; ++i) {
    HANDLE thread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr);
    if (thread == nullptr) break;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  Sleep(INFINITE);
  return 0;
}
