// Shared helpers of the network and DNS rule tests: scratch registry keys and
// folders, a session log opened in a scratch folder (Tovix.exe's tests), raw
// registry reads. Test thread.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "diagnostics/session_log.h"
#include "service/dns_rule/dns_policy.h"
#include "support/scratch_folder.h"

namespace nettest {

inline std::wstring RandomSuffix() {
  std::random_device device;
  std::wstringstream text;
  text << std::hex << device() << device();
  return text.str();
}

// HKCU\Software\TovixTest\<random>, deleted with everything below it.
class ScratchKey {
 public:
  ScratchKey() : path_(L"Software\\TovixTest\\" + RandomSuffix()) {
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    if (key) RegCloseKey(key);
  }
  ~ScratchKey() { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring Sub(const std::wstring& relative) const { return path_ + L"\\" + relative; }
  // A target whose rule parent is <key>\Rules and group policy <key>\Policy.
  DnsPolicyTarget Target() const {
    return DnsPolicyTarget{HKEY_CURRENT_USER, Sub(L"Rules"), Sub(L"Policy")};
  }

 private:
  std::wstring path_;
};

inline bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

inline LSTATUS CreateKey(HKEY root, const std::wstring& path, DWORD options = 0) {
  HKEY key = nullptr;
  const LSTATUS status =
      RegCreateKeyExW(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (key) RegCloseKey(key);
  return status;
}

inline LSTATUS SetRaw(HKEY root, const std::wstring& path, const wchar_t* name, DWORD type,
                      const void* data, DWORD size) {
  return RegSetKeyValueW(root, path.c_str(), name, type, data, size);
}

// A REG_MULTI_SZ from the given strings, with every terminator.
inline LSTATUS SetMultiString(HKEY root, const std::wstring& path, const wchar_t* name,
                              const std::vector<std::wstring>& items) {
  std::wstring data;
  for (const auto& item : items) {
    data += item;
    data += L'\0';
  }
  data += L'\0';
  return SetRaw(root, path, name, REG_MULTI_SZ, data.data(),
                static_cast<DWORD>(data.size() * sizeof(wchar_t)));
}

struct RawValue {
  DWORD type = 0;
  std::vector<std::uint8_t> bytes;
};

inline std::optional<RawValue> ReadRaw(HKEY root, const std::wstring& path, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
  RawValue value;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    value.bytes.resize(size);
    status = RegQueryValueExW(key, name, nullptr, &value.type, value.bytes.data(), &size);
    value.bytes.resize(size);
  }
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return value;
}

inline std::vector<std::uint8_t> Utf16Bytes(std::wstring_view text, bool terminated = true) {
  std::vector<std::uint8_t> bytes;
  for (wchar_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

inline std::vector<std::uint8_t> DwordBytes(DWORD value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

inline std::vector<std::wstring> SubKeyNames(HKEY root, const std::wstring& path) {
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256] = {};
    DWORD chars = 256;
    if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name);
  }
  RegCloseKey(key);
  return names;
}

// A session log of its own in a scratch folder for the test's lifetime.
class SessionCapture {
 public:
  SessionCapture() { SessionLog::Open(folder_.path()); }
  ~SessionCapture() { SessionLog::End(); }
  SessionCapture(const SessionCapture&) = delete;
  SessionCapture& operator=(const SessionCapture&) = delete;

  // The texts of every line with this tag ("[<stamp>] <tag> <text>").
  std::vector<std::string> Texts(const std::string& tag) const {
    std::vector<std::string> texts;
    std::ifstream file(SessionLog::CurrentPath(), std::ios::binary);
    std::string line;
    const std::string marker = "] " + tag + " ";
    while (std::getline(file, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line.front() != '[') continue;
      const size_t at = line.find(marker);
      if (at != std::string::npos) texts.push_back(line.substr(at + marker.size()));
    }
    return texts;
  }

 private:
  ScratchFolder folder_;
};

// Waits up to `timeout` for `done`; true when it became true.
template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(20);
  }
  return true;
}

}  // namespace nettest
