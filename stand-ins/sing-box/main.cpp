// Stand-in for the VPN core sing-box.exe, for tests and benchmarks only.
// It honours the core's contract (reads its configuration from standard
// input, prints log lines and the readiness line "sing-box started", runs
// until it is ended) and can be told to misbehave through a comma-separated
// list of controls. The list is the first line of the file standin-core.txt
// beside this program when that file exists (a core started by another
// program than the test does not have the test's environment), otherwise the
// environment variable TOVIX_STANDIN_CORE:
//   noready           never print the readiness line
//   ignore-stdin      never read standard input
//   exit=<code>@<ms>  exit by itself with that code, ms after it started
//   exit=<code>       exit with that code 300 ms after the readiness line and
//                     whatever spam and lines follow it
//   fatal=<text>      print one line that is exactly <text>, after the
//                     configuration has been read (may be given several times)
//   spam=<bytes>      print that many bytes of 'x' without a newline, after
//                     the readiness line (or where it would have been)
//   echo-config       print "config bytes=<n> fnv1a=<16 hex digits>" (64-bit
//                     FNV-1a) of what arrived on standard input
//   pre=<n>           print n lines "pre line " <6-digit number, from 1> " "
//                     and 33 full stops (50 bytes each with the newline),
//                     before the readiness line
//   ready-after=<ms>  wait that long before printing the readiness line
//   fatal-after=<ms>  wait that long before printing the fatal lines
//   lines=<bytes>     after the readiness line, print that many bytes as
//                     100-byte lines (99 characters and a newline)
//   helper            first start a copy of itself (with the argument
//                     "helper", which stands for the controls "noready,
//                     ignore-stdin" whatever the file says) that inherits the
//                     output handles and so keeps the output pipe open after
//                     this process has ended
//   handle-probe=<n>  print "handle-probe <n> reached" when the handle value n
//                     is a semaphore this process holds with a count of 4242
//                     (a sentinel the test made inheritable in the host),
//                     else "handle-probe <n> absent"; the count is unchanged
// Output order: the "argv: " line, the handle-probe line, the configuration
// (read, echoed), the fatal lines, a few log lines, the pre lines, the
// readiness line, spam, lines, then the wait for the end.
// The first line is "argv: " followed by the parsed arguments separated by
// "|", then " cwd=" and the current directory (UTF-8).
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Controls {
  bool noready = false;
  bool ignoreStdin = false;
  bool echoConfig = false;
  bool exitTimed = false;
  bool exitAfterReady = false;
  bool helper = false;
  unsigned long exitCode = 0;
  unsigned long exitAfterMs = 0;
  std::vector<std::string> fatalLines;
  unsigned long long spamBytes = 0;
  unsigned long preLines = 0;
  unsigned long readyAfterMs = 0;
  unsigned long fatalAfterMs = 0;
  unsigned long long lineBytes = 0;
  bool probe = false;
  unsigned long long probeHandle = 0;
};

std::string Narrow(const wchar_t* text) {
  if (!text || !*text) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size) - 1);
  return out;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The first line of standin-core.txt beside this program, without its line
// end; nothing when there is no such file.
std::optional<std::string> ControlsFromFile() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::nullopt;
  std::wstring file(path, length);
  file.resize(file.find_last_of(L'\\') + 1);
  file += L"standin-core.txt";
  std::ifstream in(file.c_str(), std::ios::binary);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string ControlsFromEnvironment() {
  char buffer[8192];
  const DWORD length = GetEnvironmentVariableA("TOVIX_STANDIN_CORE", buffer, sizeof(buffer));
  if (length == 0 || length >= sizeof(buffer)) return {};
  return std::string(buffer, length);
}

Controls ParseControls(const std::string& text) {
  Controls c;
  std::string_view list(text);
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string item(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (item == "noready") {
      c.noready = true;
    } else if (item == "ignore-stdin") {
      c.ignoreStdin = true;
    } else if (item == "helper") {
      c.helper = true;
    } else if (item == "echo-config") {
      c.echoConfig = true;
    } else if (StartsWith(item, "exit=")) {
      const std::size_t at = item.find('@');
      c.exitCode = std::strtoul(item.c_str() + 5, nullptr, 10);
      if (at == std::string::npos) {
        c.exitAfterReady = true;
      } else {
        c.exitTimed = true;
        c.exitAfterMs = std::strtoul(item.c_str() + at + 1, nullptr, 10);
      }
    } else if (StartsWith(item, "fatal=")) {
      c.fatalLines.push_back(item.substr(6));
    } else if (StartsWith(item, "spam=")) {
      c.spamBytes = std::strtoull(item.c_str() + 5, nullptr, 10);
    } else if (StartsWith(item, "pre=")) {
      c.preLines = std::strtoul(item.c_str() + 4, nullptr, 10);
    } else if (StartsWith(item, "ready-after=")) {
      c.readyAfterMs = std::strtoul(item.c_str() + 12, nullptr, 10);
    } else if (StartsWith(item, "fatal-after=")) {
      c.fatalAfterMs = std::strtoul(item.c_str() + 12, nullptr, 10);
    } else if (StartsWith(item, "handle-probe=")) {
      c.probe = true;
      c.probeHandle = std::strtoull(item.c_str() + 13, nullptr, 10);
    } else if (StartsWith(item, "lines=")) {
      c.lineBytes = std::strtoull(item.c_str() + 6, nullptr, 10);
    }
  }
  return c;
}

void Print(std::string_view text) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(text.size() > (1u << 20) ? (1u << 20) : text.size());
    if (!WriteFile(out, text.data(), chunk, &written, nullptr) || written == 0) {
      ExitProcess(2);  // nobody reads any more
    }
    text.remove_prefix(written);
  }
}

// Prints `total` bytes built from a repeating block, in large writes.
void PrintRepeated(const std::string& block, unsigned long long total) {
  std::string chunk;
  while (chunk.size() < (1u << 16)) chunk += block;
  while (total > 0) {
    const std::size_t now = total < chunk.size() ? static_cast<std::size_t>(total) : chunk.size();
    Print(std::string_view(chunk.data(), now));
    total -= now;
  }
}

std::string ArgvLine() {
  std::string line = "argv: ";
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 0; args && i < count; ++i) {
    if (i > 0) line += "|";
    line += Narrow(args[i]);
  }
  if (args) LocalFree(args);
  wchar_t cwd[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, cwd);
  return line + " cwd=" + Narrow(cwd) + "\n";
}

std::string ReadAllStdin() {
  std::string data;
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, buffer, sizeof(buffer), &got, nullptr) || got == 0) break;
    data.append(buffer, got);
  }
  return data;
}

std::string ConfigEcho(const std::string& config) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : config) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  char line[96];
  std::snprintf(line, sizeof(line), "config bytes=%llu fnv1a=%016llx\n",
                static_cast<unsigned long long>(config.size()),
                static_cast<unsigned long long>(hash));
  return line;
}

DWORD WINAPI TimedExit(void* parameter) {
  const auto* c = static_cast<const Controls*>(parameter);
  Sleep(c->exitAfterMs);
  ExitProcess(static_cast<UINT>(c->exitCode));
}

// The sentinel is told apart from any other handle that happens to have the
// same value by its count: one release reports the count before it, and a
// wait takes the one back.
std::string HandleProbeLine(unsigned long long value) {
  const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
  LONG before = 0;
  const bool released = ReleaseSemaphore(handle, 1, &before) != FALSE;
  if (released) WaitForSingleObject(handle, 0);
  const bool reached = released && before == 4242;
  return "handle-probe " + std::to_string(value) + (reached ? " reached\n" : " absent\n");
}

}  // namespace

// A copy of this program that shares the output handles and waits to be
// ended, like a helper process a core could leave behind.
void StartHelper() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(path) + L"\" helper";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                     nullptr, nullptr, &startup, &info)) {
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
}

// The helper copy's controls come from its argument: the file it would read
// asks for a helper, and the copy must not start one in turn.
Controls ReadControls(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "helper") {
    return ParseControls("noready,ignore-stdin");
  }
  return ParseControls(ControlsFromFile().value_or(ControlsFromEnvironment()));
}

int main(int argc, char** argv) {
  static const Controls controls = ReadControls(argc, argv);
  if (controls.helper) StartHelper();
  if (controls.exitTimed) {
    CreateThread(nullptr, 0, TimedExit, const_cast<Controls*>(&controls), 0, nullptr);
  }

  Print(ArgvLine());
  if (controls.probe) Print(HandleProbeLine(controls.probeHandle));
  if (!controls.ignoreStdin) {
    const std::string config = ReadAllStdin();
    if (controls.echoConfig) Print(ConfigEcho(config));
  }
  if (controls.fatalAfterMs) Sleep(controls.fatalAfterMs);
  for (const std::string& fatal : controls.fatalLines) Print(fatal + "\n");
  Print("INFO[0000] inbound/tun[tun-in]: stand-in core\n");
  Print("INFO[0000] outbound/direct[direct]: stand-in core\n");
  for (unsigned long i = 1; i <= controls.preLines; ++i) {
    char line[64];
    std::snprintf(line, sizeof(line), "pre line %06lu .................................\n", i);
    Print(line);
  }
  if (!controls.noready) {
    if (controls.readyAfterMs) Sleep(controls.readyAfterMs);
    Print("INFO[0000] sing-box started (stand-in)\n");
  }
  if (controls.spamBytes) PrintRepeated("x", controls.spamBytes);
  if (controls.lineBytes) PrintRepeated(std::string(99, 'l') + "\n", controls.lineBytes);
  if (controls.exitAfterReady) {
    // The pause lets the host see the readiness line before it sees the exit.
    Sleep(300);
    ExitProcess(static_cast<UINT>(controls.exitCode));
  }

  // Until ended; a stand-in that lost its host gives up after ten minutes.
  Sleep(10 * 60 * 1000);
  return 0;
}
