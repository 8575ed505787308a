// Browsers registered on the machine: the Start-menu registrations of both
// hives and both registry views, then the user's http and https defaults,
// each reduced to its executable path. Runs on the window thread, inside the
// core channel's "registeredBrowsers" handler; keeps no state.
#include "browsers/registered_browsers.h"

#include <windows.h>

#include "common/text.h"
#include "common/unique_resource.h"

namespace {

constexpr DWORD kValueBytes = 4096;
constexpr DWORD kMaxSubKeys = 256;
constexpr DWORD kNameChars = 256;

constexpr const wchar_t* kRegistrationKeys[] = {
    L"SOFTWARE\\Clients\\StartMenuInternet",
    L"SOFTWARE\\WOW6432Node\\Clients\\StartMenuInternet",
};
constexpr const wchar_t* kProtocols[] = {L"http", L"https"};
constexpr wchar_t kOpenCommand[] = L"\\shell\\open\\command";

// A string or expandable string value (expanded), read into a zeroed buffer
// of 4096 bytes. Anything else (missing, another type, too long as stored or
// once expanded) is empty.
// The raw value is read unexpanded and expanded here: RegGetValueW asked to
// expand (RRF_RT_REG_SZ without RRF_NOEXPAND) writes past the caller's buffer
// under Wine when the expanded text is longer than the buffer, and asking for
// RRF_RT_REG_EXPAND_SZ without RRF_NOEXPAND is refused as invalid.
std::wstring ReadString(HKEY root, const std::wstring& subKey, const wchar_t* valueName) {
  constexpr DWORD kChars = kValueBytes / sizeof(wchar_t);
  std::vector<wchar_t> raw(kChars + 1, L'\0');  // one spare terminator
  DWORD size = kValueBytes;
  DWORD type = REG_NONE;
  if (RegGetValueW(root, subKey.c_str(), valueName,
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, raw.data(),
                   &size) != ERROR_SUCCESS) {
    return {};
  }
  if (type != REG_EXPAND_SZ) return std::wstring(raw.data());
  std::vector<wchar_t> expanded(kChars + 1, L'\0');
  DWORD needed = ExpandEnvironmentStringsW(raw.data(), expanded.data(), kChars);
  if (needed == 0 || needed > kChars) return {};
  return std::wstring(expanded.data());
}

void AppendExecutable(std::vector<std::string>& list, const std::wstring& command) {
  const std::wstring path = ExtractExecutablePath(command);
  if (path.empty()) return;
  std::string utf8 = ToUtf8(path);
  if (!utf8.empty()) list.push_back(std::move(utf8));  // empty paths never appear
}

}  // namespace

std::vector<std::string> QueryRegisteredBrowsers() {
  std::vector<std::string> browsers;

  for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    for (const wchar_t* keyPath : kRegistrationKeys) {
      tovix::UniqueHkey key;
      if (RegOpenKeyExW(hive, keyPath, 0, KEY_READ, key.put()) != ERROR_SUCCESS) continue;
      for (DWORD index = 0; index < kMaxSubKeys; ++index) {
        wchar_t name[kNameChars] = {};
        DWORD nameChars = kNameChars;
        if (RegEnumKeyExW(key.get(), index, name, &nameChars, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS) {
          break;
        }
        AppendExecutable(browsers,
                         ReadString(key.get(), std::wstring(name, nameChars) + kOpenCommand,
                                    nullptr));
      }
    }
  }

  for (const wchar_t* protocol : kProtocols) {
    const std::wstring choice =
        std::wstring(L"Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\") +
        protocol + L"\\UserChoice";
    const std::wstring progId = ReadString(HKEY_CURRENT_USER, choice, L"ProgId");
    if (progId.empty()) continue;
    AppendExecutable(browsers, ReadString(HKEY_CLASSES_ROOT, progId + kOpenCommand, nullptr));
  }
  return browsers;
}
