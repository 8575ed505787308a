// One line on standard error, for the command-line switches of the two
// programs. Both are GUI programs: they have a standard error only when the
// caller gave them one (a redirect, an installer's pipe), and write there
// with WriteFile; without one the line goes nowhere. Any thread.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

inline void WriteErrorLine(std::string_view text) {
  const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE || text.empty()) return;
  const std::string line = std::string(text) + "\r\n";
  DWORD written = 0;
  WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
