// Running-instance search and the secondary instance's hand-off. Main thread.
#include "shell/single_instance.h"

#include <climits>
#include <memory>
#include <vector>

#include "common/unique_resource.h"
#include "shell/flutter_window.h"

namespace {

constexpr DWORD kPathBufferChars = 32768;
constexpr ULONGLONG kReadyWaitMs = 5000;
constexpr DWORD kPollMs = 25;
constexpr UINT kHandOffTimeoutMs = 2000;
// SMTO_BLOCK | SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT
constexpr UINT kHandOffFlags = 0x23;
// A token's user record is a SID of at most 68 bytes after a small header.
constexpr DWORD kTokenUserLimitBytes = 1024;

std::optional<InstanceToken> ReadInstanceToken(HANDLE process) {
  tovix::UniqueHandle token;
  if (!OpenProcessToken(process, TOKEN_QUERY, token.put())) return std::nullopt;
  DWORD session = 0;
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenSessionId, &session, sizeof(session), &size)) {
    return std::nullopt;
  }
  // TOKEN_USER and the SID it points to, in one buffer.
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0 || size > kTokenUserLimitBytes) return std::nullopt;
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return std::nullopt;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  const DWORD sidLength = GetLengthSid(user->User.Sid);
  const auto* sid = static_cast<const unsigned char*>(user->User.Sid);
  return InstanceToken{std::vector<unsigned char>(sid, sid + sidLength), session};
}

// Main thread only, like the search itself.
InstanceTokenReader tokenReader = &ReadInstanceToken;

struct SearchContext {
  DWORD processId = 0;
  InstanceToken own;
  std::wstring executablePath;
  HWND found = nullptr;
};

BOOL CALLBACK ConsiderWindow(HWND window, LPARAM lparam) {
  auto* context = reinterpret_cast<SearchContext*>(lparam);
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  if (processId == 0 || processId == context->processId) return TRUE;

  wchar_t title[64] = {};
  GetWindowTextW(window, title, 64);
  if (std::wstring_view(title) != kMainWindowTitle) return TRUE;

  tovix::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return TRUE;
  std::wstring image(kPathBufferChars, L'\0');
  DWORD length = kPathBufferChars;
  if (QueryFullProcessImageNameW(process.get(), 0, image.data(), &length) &&
      CompareStringOrdinal(context->executablePath.c_str(), -1, image.data(), static_cast<int>(length),
                           TRUE) == CSTR_EQUAL &&
      IsTrustedInstance(tokenReader(process.get()), context->own)) {
    context->found = window;
    return FALSE;
  }
  return TRUE;
}

bool SendLink(HWND window, const std::string& link) {
  // The text and one NUL byte.
  std::string payload = link;
  payload.push_back('\0');
  COPYDATASTRUCT record{};
  record.dwData = kLinkRecordKind;
  record.cbData = static_cast<DWORD>(payload.size());
  record.lpData = payload.data();
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&record), kHandOffFlags,
                             kHandOffTimeoutMs, &result) != 0;
}

}  // namespace

bool IsTrustedInstance(const std::optional<InstanceToken>& candidate, const InstanceToken& own) {
  return candidate && !own.user.empty() && candidate->user == own.user &&
         candidate->session == own.session;
}

void SetInstanceTokenReader(InstanceTokenReader reader) {
  tokenReader = reader ? reader : &ReadInstanceToken;
}

std::string ArgumentToUtf8(const wchar_t* argument) {
  if (argument == nullptr) return {};
  // The length query covers the terminator: 1 means empty, 0 invalid text.
  int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argument, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  size_t characters = wcslen(argument);
  if (characters > static_cast<size_t>(INT_MAX)) return {};
  std::string out(static_cast<size_t>(size - 1), '\0');
  int written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argument, static_cast<int>(characters),
                                    out.data(), size - 1, nullptr, nullptr);
  if (written == 0) return {};
  out.resize(static_cast<size_t>(written));
  return out;
}

std::vector<std::wstring> SplitCommandLine(std::wstring_view line) {
  auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
  std::vector<std::wstring> arguments;
  size_t at = 0;
  // The program name: up to the next quote when it starts with one, else up
  // to the first blank; a backslash is only a character here.
  std::wstring program;
  if (at < line.size() && line[at] == L'"') {
    for (++at; at < line.size() && line[at] != L'"'; ++at) program += line[at];
    if (at < line.size()) ++at;
  } else {
    for (; at < line.size() && !blank(line[at]); ++at) program += line[at];
  }
  arguments.push_back(std::move(program));
  while (true) {
    while (at < line.size() && blank(line[at])) ++at;
    if (at == line.size()) return arguments;
    std::wstring argument;
    bool quoted = false;
    while (at < line.size() && (quoted || !blank(line[at]))) {
      if (line[at] == L'\\') {
        // 2n backslashes before a quote are n and the quote opens or closes;
        // 2n + 1 are n and a literal quote; elsewhere they are themselves.
        size_t run = 0;
        for (; at < line.size() && line[at] == L'\\'; ++at) ++run;
        const bool beforeQuote = at < line.size() && line[at] == L'"';
        argument.append(beforeQuote ? run / 2 : run, L'\\');
        if (beforeQuote && run % 2 == 1) argument += line[at++];
      } else if (line[at] == L'"') {
        // Inside quotes, a doubled quote is a literal one that also ends
        // the quoted part.
        if (quoted && at + 1 < line.size() && line[at + 1] == L'"') {
          argument += L'"';
          quoted = false;
          at += 2;
        } else {
          quoted = !quoted;
          ++at;
        }
      } else {
        argument += line[at++];
      }
    }
    arguments.push_back(std::move(argument));
  }
}

std::vector<std::string> CommandLineArguments() {
  const std::vector<std::wstring> split = SplitCommandLine(GetCommandLineW());
  std::vector<std::string> arguments;
  for (size_t i = 1; i < split.size(); ++i) arguments.push_back(ArgumentToUtf8(split[i].c_str()));
  return arguments;
}

bool HasCleanupSwitch(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == kCleanupSwitch) return true;
  }
  return false;
}

std::optional<std::string> LinkArgument(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1 || arguments[0].empty() || arguments[0].find(':') == std::string::npos) {
    return std::nullopt;
  }
  return arguments[0];
}

HWND FindRunningInstance() {
  SearchContext context;
  context.executablePath.assign(kPathBufferChars, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, context.executablePath.data(), kPathBufferChars);
  if (length == 0 || length >= kPathBufferChars) return nullptr;
  context.executablePath.resize(length);
  context.processId = GetCurrentProcessId();
  const std::optional<InstanceToken> own = tokenReader(GetCurrentProcess());
  if (!own) return nullptr;
  context.own = *own;
  EnumWindows(&ConsiderWindow, reinterpret_cast<LPARAM>(&context));
  return context.found;
}

int HandOffToRunningInstance(const std::vector<std::string>& arguments) {
  const ULONGLONG start = GetTickCount64();
  HWND window = nullptr;
  while (true) {
    window = FindRunningInstance();
    if (window != nullptr && GetPropW(window, kAppLinksReadyProperty) != nullptr) break;
    Sleep(kPollMs);
    if (GetTickCount64() - start >= kReadyWaitMs) return kExitFailure;
  }
  if (std::optional<std::string> link = LinkArgument(arguments)) {
    if (link->size() > kMaxLinkBytes) return kExitFailure;
    if (!SendLink(window, *link)) return kExitFailure;
  }
  ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
  return kExitOk;
}
