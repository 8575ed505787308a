// The administrator's choice of who may use the installed service: the
// policy value "ServiceUsers" (REG_SZ) under
// HKEY_LOCAL_MACHINE\SOFTWARE\Policies\Kelpmarrow\Tovix, which only
// administrators (or group policy) can write.
//   absent (key or value)  "Interactive": any interactive user, as before;
//   "Administrators"       only members of Administrators may start, stop or
//                          clean up;
//   anything else          "Administrators": a value that cannot be read, is
//                          not a string, or says something unknown never opens
//                          the service wider than the strict choice.
// The reading is a thin layer over plain decisions, which are tested apart.
// Any thread; the caller reads the policy anew at each connection.
#pragma once

#include <windows.h>

#include <string_view>

inline constexpr wchar_t kServiceUsersPolicyKey[] = L"SOFTWARE\\Policies\\Kelpmarrow\\Tovix";
inline constexpr wchar_t kServiceUsersValue[] = L"ServiceUsers";
// The refusal of "start", "stop" and clean-up under the strict choice.
inline constexpr char kServiceLimitedToAdministrators[] =
    "the VPN service is limited to administrators on this computer";

enum class ServiceUsers {
  Interactive,     // any interactive user (the default)
  Administrators,  // members of BUILTIN\Administrators only
};

// What a read of the value gave.
struct ServiceUsersValue {
  LSTATUS status = ERROR_FILE_NOT_FOUND;  // of the key's opening, then of the value's read
  DWORD type = REG_NONE;
  std::wstring_view text;  // the string without its terminating null(s)
};

// The decision over a read: not found (key or value) is Interactive; exactly
// "Interactive" or "Administrators" (as written, case and all) is that
// choice; anything else Administrators.
ServiceUsers ServiceUsersFromValue(const ServiceUsersValue& value);

// Reads the value under `root`\`keyPath` (the machine's policy key unless a
// test names a scratch key) and decides.
ServiceUsers ReadServiceUsersPolicy(HKEY root = HKEY_LOCAL_MACHINE,
                                    const wchar_t* keyPath = kServiceUsersPolicyKey);

// Whether a client whose token is (or is not) a member of Administrators is
// served under `policy`.
bool ServiceAdmits(ServiceUsers policy, bool clientIsAdministrator);

// Whether the token is a member of BUILTIN\Administrators, the group enabled
// (CheckTokenMembership): an administrator's unelevated token, which holds
// the group for deny only, is not. `token` is an impersonation token (of any
// level, identification included, as ImpersonateNamedPipeClient gives) or a
// primary token, opened with TOKEN_QUERY (and TOKEN_DUPLICATE for a primary
// one, which is duplicated at identification level first). False when the
// answer cannot be had (a null handle included: it never stands for the
// caller's own token), so a doubt never admits.
bool TokenIsAdministrator(HANDLE token);
