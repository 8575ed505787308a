// Benchmark of the privileged program (TovixService.exe) with the stand-in
// core, each figure beside a baseline measured in the same run:
//  - "start" to "running" through the start's worker with the privileged
//    program already running, beside a bare launch of the stand-in made the same way
//    (private pipes, a kill-on-close job, suspended creation with an exact
//    handle list, the configuration on standard input) up to its readiness
//    line; the two alternate so that both see the same machine load;
//  - "stop" to "idle", and the longest the window thread went unserved
//    during a start;
//  - the first start, which also starts and connects the privileged program;
//  - the privileged program while connected and idle: its CPU time over an
//    idle interval and its private bytes, beside a program that only sleeps.
// A second sleeping program, one that imports the system DLLs the service
// imports, shows how much of the service's memory is only those DLLs, and a
// third, with as many threads as the service, what its threads alone cost; a
// fourth, with as many threads and one more that has ended, what Wine keeps
// of a thread that the service ran and ended (its stack, until the next
// thread ends; Windows frees it at once).
// With --service, the same through the installed service instead (the test
// build of TovixService.exe, which Wine lets run from any folder, installed
// from a scratch folder and removed at the end); a first start then connects
// to the running service.
// Run by hand under Wine from its own folder (TovixService.exe, its test
// build and the sleeping programs beside it, bin\sing-box.exe and
// bin\wintun.dll below it):
//   broker_bench.exe [--service] [rounds] [idle seconds] [first starts]
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/process_sample.h"
#include "common/paths.h"
#include "common/unique_resource.h"
#include "core/privileged_client.h"
#include "core/async_start.h"
#include "core/core_launch.h"
#include "core/core_stop.h"
#include "core/vpn_events.h"
#include "service/channel/service_server.h"
#include "service/folders/vpn_folder.h"
#include "support/installed_service.h"

namespace fs = std::filesystem;

namespace {

const std::string kConfig =
    R"({"log":{"level":"info"},"inbounds":[{"type":"tun","tag":"tun-in",)"
    R"("interface_name":"Kelpmarrow","address":["172.19.0.1/30"],"auto_route":true}],)"
    R"("outbounds":[{"type":"direct","tag":"direct"}],"route":{"final":"direct"}})";
constexpr char kReadyLine[] = "sing-box started";

double NowMs() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

[[noreturn]] void Die(const std::string& what) {
  std::printf("failed: %s\n", what.c_str());
  std::fflush(stdout);
  std::exit(1);
}

// A message-only window of this thread in place of the main window: it
// drains the events and runs the start's answer, as the main window does.
LRESULT CALLBACK BenchWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == VpnEventMessage) {
    DrainVpnEvents();
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

HWND MakeBenchWindow() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = BenchWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TovixBrokerBench";
  RegisterClassW(&windowClass);
  return CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         windowClass.hInstance, nullptr);
}

// The longest the window thread went without handling its messages during
// the starts, over all rounds.
double longestWindowGapMs = 0;

// "start" to "running" and the start's answer, as the UI's "start" call runs
// it: on the start's worker, while this (the window) thread handles its
// messages; the longest gap between two turns of its loop is kept.
double HostStart() {
  bool answered = false;
  bool started = false;
  std::string error;
  const double begin = NowMs();
  BeginStart([](std::string& failure) { return StartCore(kConfig, failure); },
             [&](bool ok, const std::string& failure) {
               answered = true;
               started = ok;
               error = failure;
             });
  double last = begin;
  while (!answered || LastVpnState() != "running") {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    const double now = NowMs();
    longestWindowGapMs = std::max(longestWindowGapMs, now - last);
    last = now;
    if (answered && !started) Die("start: " + error);
    if (now - begin > 30000) Die("no \"running\" within 30 s, state " + LastVpnState());
  }
  return NowMs() - begin;
}

// "stop" to "idle".
std::vector<double> stops;
void HostStop() {
  const double begin = NowMs();
  StopCore();
  stops.push_back(NowMs() - begin);
}

// The stand-in launched the way the privileged program launches it, without
// the program: from CreateProcess to the readiness line on its output.
double BareLaunch(const fs::path& workFolder) {
  SECURITY_ATTRIBUTES plain{sizeof plain, nullptr, FALSE};
  HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
  const double begin = NowMs();
  if (!CreatePipe(&outRead, &outWrite, &plain, 0) || !CreatePipe(&inRead, &inWrite, &plain, 0)) {
    Die("CreatePipe");
  }
  tovix::UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);

  HANDLE handles[2] = {inRead, outWrite};
  HANDLE jobHandle = job.get();
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  InitializeProcThreadAttributeList(list, 2, 0, &size);
  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles,
                            nullptr, nullptr);
  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &jobHandle, sizeof jobHandle,
                            nullptr, nullptr);
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = inRead;
  startup.StartupInfo.hStdOutput = outWrite;
  startup.StartupInfo.hStdError = outWrite;
  startup.lpAttributeList = list;
  SetHandleInformation(inRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  SetHandleInformation(outWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  const fs::path core = ExecutableSiblingPath(L"sing-box.exe");
  std::wstring command =
      L"\"" + core.wstring() + L"\" run -c stdin -D \"" + workFolder.wstring() + L"\"";
  PROCESS_INFORMATION created{};
  BOOL ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                           CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                           nullptr, workFolder.c_str(), &startup.StartupInfo, &created);
  if (!ok && GetLastError() == ERROR_INTERNAL_ERROR) {
    // Wine now and then refuses the job at creation; the launcher then
    // creates the process without it and assigns the job afterwards.
    DeleteProcThreadAttributeList(list);
    InitializeProcThreadAttributeList(list, 2, 0, &size);
    UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles,
                              nullptr, nullptr);
    ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT,
                        nullptr, workFolder.c_str(), &startup.StartupInfo, &created);
    if (ok) AssignProcessToJobObject(job.get(), created.hProcess);
  }
  if (!ok) Die("bare CreateProcess err=" + std::to_string(GetLastError()));
  DeleteProcThreadAttributeList(list);
  CloseHandle(inRead);
  CloseHandle(outWrite);
  ResumeThread(created.hThread);
  DWORD written = 0;
  WriteFile(inWrite, kConfig.data(), static_cast<DWORD>(kConfig.size()), &written, nullptr);
  CloseHandle(inWrite);

  char buffer[4096];
  std::string seen;
  double ready = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(outRead, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    seen.append(buffer, got);
    if (seen.find(kReadyLine) != std::string::npos) {
      ready = NowMs();
      break;
    }
  }
  if (ready == 0) Die("the bare stand-in printed no readiness line");
  job.reset();  // kill on close
  WaitForSingleObject(created.hProcess, 5000);
  CloseHandle(created.hProcess);
  CloseHandle(created.hThread);
  CloseHandle(outRead);
  return ready - begin;
}

struct Sample {
  double privateKiB = -1;
  double cpuMs = -1;
  int threads = 0;
};

int ThreadCount(DWORD processId) {
  tovix::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == processId) ++count;
  }
  return count;
}

Sample Measure(HANDLE process) {
  Sample sample;
  const ProcessSample taken = SampleProcess(process);
  sample.privateKiB = taken.privateKiB;
  sample.cpuMs = taken.cpuMs;
  sample.threads = ThreadCount(GetProcessId(process));
  return sample;
}

void PrintSample(const char* label, const Sample& begin, const Sample& end) {
  std::printf("  %-38s %7.0f KiB %7.0f KiB %7.1f ms  threads %d, %d\n", label, begin.privateKiB,
              end.privateKiB, end.cpuMs - begin.cpuMs, begin.threads, end.threads);
}

HANDLE StartIdleProgram(const fs::path& program, int threads = 1, int ended = 0) {
  std::wstring command = L"\"" + program.wstring() + L"\" " + std::to_wstring(threads) + L" " +
                         std::to_wstring(ended);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION created{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &created)) {
    Die("could not start " + program.string());
  }
  CloseHandle(created.hThread);
  return created.hProcess;
}

HANDLE OpenBroker() {
  tovix::UniqueHandle waitable(PrivilegedClient::DuplicateProcess());
  if (!waitable) Die("no privileged program");
  HANDLE broker = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                              GetProcessId(waitable.get()));
  if (broker == nullptr) Die("OpenProcess of the privileged program");
  return broker;
}

}  // namespace

int main(int argc, char** argv) {
  const bool viaService = argc > 1 && std::string(argv[1]) == "--service";
  if (viaService) {
    --argc;
    ++argv;
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
  const int firstStarts = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  SetEnvironmentVariableW(L"TOVIX_STANDIN_CORE", nullptr);
  SetVpnEventWindow(MakeBenchWindow());
  const fs::path self = fs::path(ExecutableSiblingPath(L"sing-box.exe")).parent_path();
  const fs::path folder = ExecutableSiblingPath(L"TovixService.exe").parent_path();
  std::error_code ignored;
  fs::remove(self / L"standin-core.txt", ignored);  // the plain stand-in
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  const fs::path work = fs::path(temp) / (L"tovix-broker-bench-" + std::to_wstring(GetCurrentProcessId()));
  fs::create_directories(work);
  std::unique_ptr<InstalledService> service;
  if (viaService) {
    const fs::path serviceFolder = work / L"service";
    fs::create_directories(serviceFolder / L"bin");
    fs::copy_file(folder / L"TovixDnsGuard.exe", serviceFolder / L"TovixDnsGuard.exe");
    fs::copy_file(self / L"sing-box.exe", serviceFolder / L"bin" / L"sing-box.exe");
    fs::copy_file(self / L"wintun.dll", serviceFolder / L"bin" / L"wintun.dll");
    service = std::make_unique<InstalledService>(serviceFolder);
    if (!service->installed()) Die("could not install the service");
    PrivilegedClient::SetProgram(serviceFolder / L"TovixService.exe");
  }
  const char* const through = viaService ? "the installed service" : "TovixService.exe";

  // Wine keeps no security descriptor of a file, so there the privileged
  // program finds its folder foreign at every start and moves it aside; the
  // folders pile up in the prefix over test runs, and each start grows slower
  // with them (Wine reads the whole folder to look up a new name).
  int movedAside = 0;
  for (const auto& entry : fs::directory_iterator(CommonAppDataFolder(), ignored)) {
    if (entry.path().filename().wstring().rfind(L"Kelpmarrow.", 0) == 0) ++movedAside;
  }
  if (movedAside > 100) {
    std::printf("warning: %d folders moved aside in %s slow every start; remove them for figures "
                "that compare (README)\n",
                movedAside, CommonAppDataFolder().string().c_str());
  }

  // The first start of this process starts the privileged program; it is
  // kept for the rounds that follow, as the UI keeps it.
  const double firstBare = BareLaunch(work);
  std::vector<double> first{HostStart()};
  StopCore();
  const double firstAfter = BareLaunch(work);

  std::vector<double> bare, host;
  for (int i = 0; i < rounds; ++i) {
    bare.push_back(BareLaunch(work));
    host.push_back(HostStart());
    HostStop();
  }
  std::printf("\"start\" to \"running\", privileged program running, medians of %d\n", rounds);
  std::printf("  bare launch of the stand-in, same way  %8.1f ms (min %.1f)\n", Median(bare),
              *std::min_element(bare.begin(), bare.end()));
  std::printf("  through %-30s %8.1f ms (min %.1f)\n", through, Median(host),
              *std::min_element(host.begin(), host.end()));
  std::printf("  ratio %.2f (target <= 1.20)\n", Median(host) / Median(bare));
  // What each start spends on the user's core folder, made here the same
  // way. Wine keeps no security descriptor of a file, so every level reads
  // as foreign and is made anew at every start; Windows keeps the folder.
  if (!viaService) {
    const std::wstring user = ReadClientIdentity(GetCurrentProcess(), GetCurrentProcessId())->user;
    std::vector<double> folder;
    for (int i = 0; i < rounds; ++i) {
      const double begin = NowMs();
      EnsureUserVpnFolder(user);
      folder.push_back(NowMs() - begin);
    }
    std::printf("  of which the user's core folder %.1f ms median; the ratio without it %.2f\n",
                Median(folder), (Median(host) - Median(folder)) / Median(bare));
  }
  std::printf("  \"stop\" to \"idle\" %8.1f ms median, %.1f ms at most (target <= 50)\n",
              Median(stops), *std::max_element(stops.begin(), stops.end()));
  std::printf("  longest the window thread went unserved during a start %.1f ms (target <= 50)\n",
              longestWindowGapMs);

  // Connected and idle.
  HostStart();
  HANDLE broker = OpenBroker();
  HANDLE idle = StartIdleProgram(folder / L"idle_program.exe");
  HANDLE idleImports = StartIdleProgram(folder / L"idle_program_service_imports.exe");
  HANDLE idleThreads = StartIdleProgram(folder / L"idle_program.exe", Measure(broker).threads);
  Sleep(1000);  // past the idle programs' start and the core's first lines
  const Sample idleBegin = Measure(idle);
  const Sample importsBegin = Measure(idleImports);
  const Sample threadsBegin = Measure(idleThreads);
  const Sample brokerBegin = Measure(broker);
  Sleep(static_cast<DWORD>(idleSeconds) * 1000);
  const Sample idleEnd = Measure(idle);
  const Sample importsEnd = Measure(idleImports);
  const Sample threadsEnd = Measure(idleThreads);
  const Sample brokerEnd = Measure(broker);
  // Threads of the service end while it idles (a DNS worker, a connection),
  // so this one is made to match its threads at the end.
  HANDLE idleEnded = StartIdleProgram(folder / L"idle_program.exe", brokerEnd.threads, 1);
  Sleep(1000);
  const Sample ended = Measure(idleEnded);
  std::printf("connected and idle, %d s: private bytes at start and end, CPU time in between,"
              " threads at start and end\n",
              idleSeconds);
  PrintSample("a program that only sleeps (baseline)", idleBegin, idleEnd);
  PrintSample("the same, importing the service's DLLs", importsBegin, importsEnd);
  PrintSample("the same, with the service's threads", threadsBegin, threadsEnd);
  PrintSample("sleeping, threads as at end, 1 ended", ended, ended);
  PrintSample(through, brokerBegin, brokerEnd);
  std::printf("  %s beyond the sleeping program: %.0f KiB private at the start, %.0f KiB"
              " at the end (target <= 2048), of which its system DLLs %.0f KiB;\n"
              "  %.1f ms CPU while idle, the sleeping program %.1f ms (target 0; Wine counts CPU"
              " time in 10 ms ticks)\n",
              through, brokerBegin.privateKiB - idleBegin.privateKiB, brokerEnd.privateKiB - idleEnd.privateKiB,
              importsEnd.privateKiB - idleEnd.privateKiB, brokerEnd.cpuMs - brokerBegin.cpuMs,
              idleEnd.cpuMs - idleBegin.cpuMs);
  std::printf("  %s beyond a sleeping program of as many threads: %.0f KiB at the end\n",
              through, brokerEnd.privateKiB - threadsEnd.privateKiB);
  std::printf("  %s beyond a sleeping program of its threads at the end and one ended:"
              " %.0f KiB\n",
              through, brokerEnd.privateKiB - ended.privateKiB);
  for (HANDLE process : {idle, idleImports, idleThreads, idleEnded}) {
    TerminateProcess(process, 0);
    CloseHandle(process);
  }
  CloseHandle(broker);
  StopCore();

  // More first starts: each after a new connection, so each starts a new
  // privileged program (the earlier ones stay until this process ends).
  for (int i = 1; i < firstStarts; ++i) {
    PrivilegedClient::Disconnect();
    first.push_back(HostStart());
    StopCore();
  }
  std::printf(viaService ? "first start of a new connection to the running service: %.1f ms"
                          " median of %d"
                        : "first start, including the privileged program's own start: %.1f ms"
                          " median of %d"
              " (min %.1f); bare launch %.1f ms just before, %.1f ms after\n",
              Median(first), firstStarts, *std::min_element(first.begin(), first.end()),
              firstBare, firstAfter);
  PrivilegedClient::Disconnect();
  service.reset();
  fs::remove_all(work, ignored);
  return 0;
}
