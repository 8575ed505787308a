// The executable of a shell open command: the text between leading quotes,
// or an unquoted command up to and including its first ".exe". Pure text
// work with no Windows header, so it also builds and is tested natively.
// Any thread.
#include <cwctype>

#include "browsers/registered_browsers.h"

std::wstring ExtractExecutablePath(std::wstring_view command) {
  if (command.empty()) return {};
  if (command.front() == L'"') {
    if (command.size() < 2) return {};
    const std::size_t closing = command.find(L'"', 1);
    if (closing == std::wstring_view::npos) return {};
    return std::wstring(command.substr(1, closing - 1));
  }
  if (command.size() < 4) return {};
  // Spaces do not separate: "C:\Program Files\x.exe --flag" keeps its spaces.
  std::wstring lower(command);
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
  const std::size_t at = lower.find(L".exe");
  if (at == std::wstring::npos) return {};
  return std::wstring(command.substr(0, at + 4));
}
