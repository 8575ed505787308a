// The DLL search of Tovix.exe. Main thread (the hook: whichever thread first
// calls into a delay-loaded DLL).
#include "shell/dll_search.h"

FARPROC WINAPI LoadDelayedFromSystemFolder(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(
      LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

#if defined(_MSC_VER)
// MSVC's delay-load helper reads this constant; defining it replaces the
// library's empty default.
ExternC const PfnDliHook __pfnDliNotifyHook2 = &LoadDelayedFromSystemFolder;
#endif

void NarrowDllSearch() {
  // The application folder is still searched for the DLLs that ship beside
  // the program; the embedder and the plugins are imports the loader has
  // mapped before wWinMain. The current directory and PATH are gone from
  // every search that follows.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");  // also out of the legacy search, should anything use it
#if !defined(_MSC_VER)
  // MinGW-w64's delay-load helper reads a variable instead.
  __pfnDliNotifyHook2 = &LoadDelayedFromSystemFolder;
#endif
}
