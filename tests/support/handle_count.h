// The handles of this process that name a process or a file (pipes
// included), which is what supervising a core holds. GetProcessHandleCount
// answers 0 under Wine, so each handle value is asked for its type instead,
// up to a long run of values that name nothing. Directories, mutants,
// events and threads are left out: the system makes and keeps some of its
// own on first use of a feature (threads are counted apart).
#pragma once

#include <windows.h>
#include <winternl.h>

#include <string_view>

inline DWORD OpenHandleCount() {
  using QueryObject = NTSTATUS(WINAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  DWORD count = 0;
  DWORD misses = 0;
  for (ULONG_PTR value = 4; misses < 4096; value += 4) {
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags)) {
      ++misses;
      continue;
    }
    misses = 0;
    alignas(8) unsigned char type[512];  // a UNICODE_STRING and its text
    if (query(handle, static_cast<OBJECT_INFORMATION_CLASS>(2), type, sizeof type, nullptr) != 0) {
      continue;
    }
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(type);
    const std::wstring_view kind(name->Buffer, name->Length / sizeof(wchar_t));
    if (kind == L"Process" || kind == L"File") ++count;
  }
  return count;
}
