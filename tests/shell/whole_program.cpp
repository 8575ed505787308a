// Whole-program test harness. Test thread.
#include "shell/whole_program.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "channels/method_call.h"
#include "channels/standard_codec.h"
#include "stand-ins/flutter_windows/ui_script.h"

namespace fs = std::filesystem;

namespace whole_program {

namespace {

constexpr const wchar_t* kProgramFiles[] = {
    L"Tovix.exe",
    L"TovixService.exe",
    L"TovixDnsGuard.exe",
    L"flutter_windows.dll",
    L"app_links_plugin.dll",
    L"audioplayers_windows_plugin.dll",
    L"connectivity_plus_plugin.dll",
    L"file_selector_windows_plugin.dll",
    L"url_launcher_windows_plugin.dll",
};

std::atomic<int> installCounter{0};

// Sets an environment variable for the scope, restoring the old value.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size != 0) {
      std::wstring old(size, L'\0');
      DWORD written = GetEnvironmentVariableW(name, old.data(), size);
      old.resize(written);
      old_ = old;
    }
    SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
  }
  ~ScopedEnvironment() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::optional<std::wstring> old_;
};

}  // namespace

fs::path BinaryFolder() {
  std::wstring path(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(length);
  return fs::path(path).parent_path();
}

std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
    } else if (c == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
      quoted.push_back(c);
      backslashes = 0;
    } else {
      quoted.append(backslashes, L'\\');
      quoted.push_back(c);
      backslashes = 0;
    }
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

Process::Process(tovix::UniqueHandle process, fs::path transcript, DWORD processId)
    : process_(std::move(process)), transcript_(std::move(transcript)), processId_(processId) {}

Process::~Process() { Kill(); }

std::optional<DWORD> Process::Wait(DWORD timeoutMs) {
  if (!process_) return std::nullopt;
  const DWORD waited = WaitForSingleObject(process_.get(), timeoutMs);
  if (waited == WAIT_FAILED) std::fprintf(stderr, "waiting for the program failed with error %lu\n", GetLastError());
  if (waited != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(process_.get(), &code)) return std::nullopt;
  return code;
}

std::vector<std::string> Process::Transcript() const {
  std::vector<std::string> lines;
  std::ifstream file(transcript_, std::ios::binary);
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool Process::WaitForLine(const std::string& line, DWORD timeoutMs, bool prefix) {
  const ULONGLONG start = GetTickCount64();
  while (true) {
    if (IndexOf(Transcript(), line, prefix) >= 0) return true;
    bool ended = !process_ || WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
    if (ended) return IndexOf(Transcript(), line, prefix) >= 0;
    if (GetTickCount64() - start >= timeoutMs) return false;
    Sleep(10);
  }
}

HWND Process::MainWindow(DWORD timeoutMs) const {
  struct Search {
    DWORD processId;
    HWND found;
  };
  const ULONGLONG start = GetTickCount64();
  while (true) {
    Search search{processId_, nullptr};
    EnumWindows(
        [](HWND window, LPARAM lparam) -> BOOL {
          auto* s = reinterpret_cast<Search*>(lparam);
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          wchar_t title[16] = {};
          GetWindowTextW(window, title, 16);
          if (owner == s->processId && std::wstring_view(title) == L"Tovix") {
            s->found = window;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr || GetTickCount64() - start >= timeoutMs) return search.found;
    Sleep(10);
  }
}

bool Process::Close() {
  HWND window = MainWindow(5000);
  return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) != FALSE;
}

void Process::Kill() {
  if (process_ && WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 5000);
  }
}

ScratchInstall::ScratchInstall(InstallOptions options) {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  folder_ = fs::path(temp) / (L"tovix-wp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(installCounter.fetch_add(1)));
  fs::remove_all(folder_);
  fs::create_directories(folder_);
  const fs::path bin = BinaryFolder();
  for (const wchar_t* name : kProgramFiles) fs::copy_file(bin / name, folder_ / name);
  if (options.withData) fs::create_directories(folder_ / L"data" / L"flutter_assets");
  if (options.withCore) {
    fs::create_directories(folder_ / L"bin");
    std::error_code error;
    if (fs::exists(bin / L"sing-box.exe", error)) fs::copy_file(bin / L"sing-box.exe", folder_ / L"bin" / L"sing-box.exe");
    std::ofstream(folder_ / L"bin" / L"wintun.dll", std::ios::binary) << "wintun stand-in";
  }
}

ScratchInstall::~ScratchInstall() {
  std::error_code error;
  // A process that just ended may hold its files a moment longer.
  for (int attempt = 0; attempt < 20; ++attempt) {
    fs::remove_all(folder_, error);
    if (!error) return;
    Sleep(50);
  }
}

Process ScratchInstall::Start(const std::vector<std::wstring>& arguments, const std::vector<std::string>& script,
                              const std::wstring& name) {
  fs::path transcript = folder_ / (name + L".transcript");
  std::error_code error;
  fs::remove(transcript, error);
  std::wstring scriptPath;
  if (!script.empty()) {
    fs::path path = folder_ / (name + L".script");
    std::ofstream file(path, std::ios::binary);
    for (const std::string& line : script) file << line << "\n";
    scriptPath = path.wstring();
  }
  ScopedEnvironment scriptVariable(L"TOVIX_UI_SCRIPT", scriptPath);
  ScopedEnvironment transcriptVariable(L"TOVIX_UI_TRANSCRIPT", transcript.wstring());

  std::wstring commandLine = QuoteArgument(exe().wstring());
  for (const std::wstring& argument : arguments) commandLine += L" " + QuoteArgument(argument);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  // Under Wine a launch very rarely fails outright, early in a fresh test
  // process; it is reported and tried again rather than failing the test.
  for (int attempt = 1;; ++attempt) {
    if (CreateProcessW(exe().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       folder_.c_str(), &startup, &info)) {
      break;
    }
    std::fprintf(stderr, "CreateProcessW failed with error %lu (attempt %d)\n", GetLastError(), attempt);
    if (attempt == 3) return Process();
    Sleep(100);
  }
  CloseHandle(info.hThread);
  return Process(tovix::UniqueHandle(info.hProcess), transcript, info.dwProcessId);
}

RunResult ScratchInstall::Run(const std::vector<std::wstring>& arguments, const std::vector<std::string>& script,
                              DWORD timeoutMs, const std::wstring& name) {
  Process process = Start(arguments, script, name);
  RunResult result;
  result.exitCode = process.Wait(timeoutMs);
  process.Kill();
  result.transcript = process.Transcript();
  return result;
}

std::string MethodCallHex(const std::string& method, const flutter::EncodableValue& arguments) {
  flutter::MethodCall call(method, std::make_unique<flutter::EncodableValue>(arguments));
  std::unique_ptr<std::vector<uint8_t>> bytes = flutter::StandardMethodCodec::GetInstance().EncodeMethodCall(call);
  return ToHex(*bytes);
}

std::string ListenHex() { return MethodCallHex("listen"); }

std::optional<transcript::Reply> ReplyTo(const std::vector<std::string>& lines, const std::string& channel,
                                         size_t n) {
  const std::string prefix = "reply " + channel + " ";
  const std::string emptyReply = "reply " + channel;
  for (const std::string& line : lines) {
    bool match = line.rfind(prefix, 0) == 0 || line == emptyReply;
    if (!match) continue;
    if (n-- != 0) continue;
    std::string hex = line.size() > prefix.size() ? line.substr(prefix.size()) : std::string();
    std::optional<std::vector<uint8_t>> bytes = transcript::FromHex(hex);
    if (!bytes) return std::nullopt;
    return transcript::DecodeReply(*bytes);
  }
  return std::nullopt;
}

int IndexOf(const std::vector<std::string>& lines, const std::string& text, bool prefix) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (prefix ? lines[i].rfind(text, 0) == 0 : lines[i] == text) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace whole_program
