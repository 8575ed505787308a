// A DLL with nothing in it but its name, copied under other names into the
// places a DLL search may look. Loaded into a process whose environment names
// a file in TOVIX_PROBE_MARKER, it creates that file: the sign that a program
// took it for the DLL it wanted.
#include <windows.h>

extern "C" __declspec(dllexport) int TovixProbe() { return 7; }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
  wchar_t marker[MAX_PATH] = {};
  if (reason == DLL_PROCESS_ATTACH &&
      GetEnvironmentVariableW(L"TOVIX_PROBE_MARKER", marker, MAX_PATH) - 1u < MAX_PATH - 1u) {
    const HANDLE file =
        CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
  return TRUE;
}
