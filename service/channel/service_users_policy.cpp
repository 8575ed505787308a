// The administrator's policy on who may use the installed service: the
// decision and the reading of the registry and of a client's token. Any
// thread.
#include "service/channel/service_users_policy.h"

#include "common/unique_resource.h"

namespace {

// The one word that opens the service to everyone; "Administrators", and
// anything else, keeps it to administrators.
constexpr std::wstring_view kInteractive = L"Interactive";
// Longer than either word: a longer value is unknown, whatever it says.
constexpr DWORD kValueChars = 32;

}  // namespace

ServiceUsers ServiceUsersFromValue(const ServiceUsersValue& value) {
  if (value.status == ERROR_FILE_NOT_FOUND) return ServiceUsers::Interactive;
  if (value.status == ERROR_SUCCESS && value.type == REG_SZ && value.text == kInteractive) {
    return ServiceUsers::Interactive;
  }
  return ServiceUsers::Administrators;
}

ServiceUsers ReadServiceUsersPolicy(HKEY root, const wchar_t* keyPath) {
  ServiceUsersValue value;
  tovix::UniqueHkey key;
  value.status = RegOpenKeyExW(root, keyPath, 0, KEY_QUERY_VALUE, key.put());
  if (value.status != ERROR_SUCCESS) return ServiceUsersFromValue(value);
  // RegQueryValueExW, not RegGetValueW: the type is judged here, and a string
  // need not end with a null in the registry.
  wchar_t text[kValueChars] = {};
  DWORD bytes = sizeof text;
  value.status = RegQueryValueExW(key.get(), kServiceUsersValue, nullptr, &value.type,
                                  reinterpret_cast<BYTE*>(text), &bytes);
  if (value.status == ERROR_SUCCESS) {
    std::wstring_view read(text, bytes / sizeof(wchar_t));
    while (!read.empty() && read.back() == L'\0') read.remove_suffix(1);
    value.text = read;
  }
  return ServiceUsersFromValue(value);
}

bool ServiceAdmits(ServiceUsers policy, bool clientIsAdministrator) {
  return policy == ServiceUsers::Interactive || clientIsAdministrator;
}

bool TokenIsAdministrator(HANDLE token) {
  // CheckTokenMembership reads a null token as this thread's own (or this
  // process's): the service's, an administrator's.
  if (token == nullptr) return false;
  TOKEN_TYPE type = TokenPrimary;
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenType, &type, sizeof type, &size)) return false;
  // CheckTokenMembership takes impersonation tokens only.
  tovix::UniqueHandle duplicate;
  if (type == TokenPrimary) {
    if (!DuplicateToken(token, SecurityIdentification, duplicate.put())) return false;
    token = duplicate.get();
  }
  BYTE administrators[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof administrators;
  BOOL member = FALSE;
  return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &sidSize) &&
         CheckTokenMembership(token, administrators, &member) && member;
}
