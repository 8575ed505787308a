// Single instance: the instance mutex, the search for a running instance of
// this executable, and a secondary instance's hand-off of its command line.
// Main thread, before any window of this process exists.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr wchar_t kInstanceMutexName[] = L"Local\\Kelpmarrow.Desktop.v1";
constexpr wchar_t kMainWindowTitle[] = L"Tovix";
constexpr char kCleanupSwitch[] = "--km-cleanup";
constexpr ULONG_PTR kLinkRecordKind = 1026;
constexpr size_t kMaxLinkBytes = 32768;

// Exit codes of the process.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

// UTF-16 to UTF-8 refusing invalid text: a null, empty or unconvertible
// string (an unpaired surrogate, for one) gives an empty string.
std::string ArgumentToUtf8(const wchar_t* argument);

// A command line split as CommandLineToArgvW splits it: the program name
// first (always present, empty for an empty line), then the arguments. Here
// rather than through shell32, whose loading (with shlwapi) cost about 5 ms of
// the window's start-up; nothing else needs shell32 before a VPN start.
std::vector<std::wstring> SplitCommandLine(std::wstring_view line);

// The process's arguments after the program name, in UTF-8.
std::vector<std::string> CommandLineArguments();

bool HasCleanupSwitch(const std::vector<std::string>& arguments);

// The one argument to forward as a link: exactly one argument, not empty,
// containing ':'.
std::optional<std::string> LinkArgument(const std::vector<std::string>& arguments);

// The main window of another running process of this same executable
// (title "Tovix", image path equal ignoring case) that runs as this process's
// user in this process's session, or null.
HWND FindRunningInstance();

// What the search needs to know of a process's token.
struct InstanceToken {
  std::vector<unsigned char> user;  // the token user's SID
  DWORD session = 0;
};

// Whether a window's process may receive this instance's hand-off: only one
// of the same Windows user in the same session. Another user's copy of this
// executable would otherwise receive the links meant for this user's host.
// No token read: not trusted.
bool IsTrustedInstance(const std::optional<InstanceToken>& candidate, const InstanceToken& own);

// Reads a process's token; no value when it cannot be read.
using InstanceTokenReader = std::optional<InstanceToken> (*)(HANDLE process);
// Tests only: Wine runs every process as one user, so a test puts its own reader
// in place (null restores the one that asks Windows).
void SetInstanceTokenReader(InstanceTokenReader reader);

// A secondary instance's whole work: wait up to 5 s for a ready instance,
// forward the link (if any), bring that window forward. Returns the exit code.
int HandOffToRunningInstance(const std::vector<std::string>& arguments);
