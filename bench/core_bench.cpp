// Benchmark of the core supervision with the stand-in core, each figure
// beside a baseline measured in the same run:
//  - output throughput through the host's reader (core log off and on)
//    beside a bare 4096-byte drain of the same stand-in's output;
//  - start latency ("start" to "running") beside a bare CreateProcess of the
//    stand-in up to its readiness line;
//  - stop latency of a running core.
// Run by hand under Wine from its own folder (TovixService.exe beside it,
// bin\sing-box.exe and bin\wintun.dll below it):
//   core_bench.exe [megabytes] [rounds] [throughput rounds].
// The host's cores are launched by TovixService.exe and do not have this
// program's environment, so the stand-in's controls go into its file,
// bin\standin-core.txt.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/paths.h"
#include "core/privileged_client.h"
#include "core/core_launch.h"
#include "core/core_stop.h"
#include "core/vpn_events.h"

namespace fs = std::filesystem;

namespace {

double NowMs() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool WaitForState(const char* state, double timeoutMs) {
  const double deadline = NowMs() + timeoutMs;
  while (LastVpnState() != state) {
    if (NowMs() > deadline) return false;
    Sleep(1);
  }
  return true;
}

void SetControls(const std::string& controls) {
  const fs::path file = ExecutableSiblingPath(L"sing-box.exe").parent_path() / L"standin-core.txt";
  std::error_code ignored;
  fs::remove(file, ignored);
  if (!controls.empty()) std::ofstream(file) << controls << "\n";
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

// The stand-in started the plain way: stdin "{}", stdout on a pipe read in
// 4096-byte reads. Returns the time to its readiness line and, in `drainMs`,
// from there to the end of its output.
double BareRun(double* drainMs) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE outRead, outWrite, inRead, inWrite;
  CreatePipe(&outRead, &outWrite, &inherit, 0);
  CreatePipe(&inRead, &inWrite, &inherit, 0);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  const fs::path core = ExecutableSiblingPath(L"sing-box.exe");
  std::wstring command = L"\"" + core.wstring() + L"\" run -c stdin";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = outWrite;
  PROCESS_INFORMATION created{};
  const double begin = NowMs();
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &created)) {
    std::fprintf(stderr, "CreateProcess failed %lu\n", GetLastError());
    std::exit(1);
  }
  CloseHandle(outWrite);
  CloseHandle(inRead);
  DWORD written = 0;
  WriteFile(inWrite, "{}", 2, &written, nullptr);
  CloseHandle(inWrite);

  char buffer[4096];
  std::string seen;
  double ready = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(outRead, buffer, sizeof(buffer), &got, nullptr) || got == 0) break;
    if (ready == 0) {
      seen.append(buffer, got);
      if (seen.find("sing-box started") != std::string::npos) {
        ready = NowMs();
        if (!drainMs) break;
      }
    }
  }
  if (drainMs) *drainMs = NowMs() - ready;
  TerminateProcess(created.hProcess, 0);
  WaitForSingleObject(created.hProcess, INFINITE);
  CloseHandle(created.hProcess);
  CloseHandle(created.hThread);
  CloseHandle(outRead);
  return ready - begin;
}

// Time from "running" to the core's own end, through the host.
double HostDrain() {
  std::string error;
  if (!StartCore("{}", error)) {
    std::fprintf(stderr, "start failed: %s\n", error.c_str());
    std::exit(1);
  }
  if (!WaitForState("running", 30000)) std::exit(1);
  const double ready = NowMs();
  if (!WaitForState("network_lost", 600000)) std::exit(1);
  const double took = NowMs() - ready;
  StopCore();
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned long megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  const int throughputRounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const double mb = static_cast<double>(megabytes);
  SetEnvironmentVariableW(L"TOVIX_STANDIN_CORE", nullptr);
  const fs::path diagnostics = dataDir() / L"core-diagnostics.on";
  fs::remove(diagnostics);

  // Output throughput: the stand-in prints `megabytes` of 100-byte lines
  // after readiness and exits 300 ms later (included in every figure alike).
  // Each round drains bare, through the host with the core log off, then on;
  // a round's ratios are taken against its own bare drain, so that a change
  // of machine load between rounds does not show as a change of the host.
  SetControls("lines=" + std::to_string(megabytes * 1024 * 1024) + ",exit=0");
  std::vector<double> bareMs, offMs, onMs, offRatio, onRatio;
  for (int round = 0; round < throughputRounds; ++round) {
    double bareDrain = 0;
    BareRun(&bareDrain);
    const double hostOff = HostDrain();
    std::ofstream(diagnostics) << "";
    const double hostOn = HostDrain();
    fs::remove(diagnostics);
    bareMs.push_back(bareDrain);
    offMs.push_back(hostOff);
    onMs.push_back(hostOn);
    offRatio.push_back(bareDrain / hostOff);
    onRatio.push_back(bareDrain / hostOn);
    std::printf("  round %d: bare drain %.1f MB/s | core log off %.1f MB/s (%.2f of bare)"
                " | core log on %.1f MB/s (%.2f of bare)\n",
                round + 1, mb * 1000 / bareDrain, mb * 1000 / hostOff, offRatio.back(),
                mb * 1000 / hostOn, onRatio.back());
  }
  std::printf("output %lu MB, medians of %d rounds: bare drain %.1f MB/s | host, core log off"
              " %.1f MB/s (%.2f of bare) | host, core log on %.1f MB/s (%.2f of bare)\n",
              megabytes, throughputRounds, mb * 1000 / Median(bareMs), mb * 1000 / Median(offMs),
              Median(offRatio), mb * 1000 / Median(onMs), Median(onRatio));

  // Start and stop latency, medians over `rounds`, alternating with the bare
  // start so that both see the same machine load.
  SetControls("");
  std::vector<double> bare, start, stop;
  for (int i = 0; i < rounds; ++i) {
    bare.push_back(BareRun(nullptr));
    std::string error;
    const double begin = NowMs();
    if (!StartCore("{}", error) || !WaitForState("running", 30000)) {
      std::fprintf(stderr, "start failed: %s\n", error.c_str());
      return 1;
    }
    start.push_back(NowMs() - begin);
    const double stopBegin = NowMs();
    StopCore();
    stop.push_back(NowMs() - stopBegin);
  }
  std::printf("start to running: host %.1f ms | bare CreateProcess to readiness %.1f ms"
              " (ratio %.2f), medians of %d\n",
              Median(start), Median(bare), Median(start) / Median(bare), rounds);
  std::printf("stop of a running core: %.1f ms median\n", Median(stop));
  SetControls("");
  PrivilegedClient::Disconnect();  // joins the connection's reader before exit
  return 0;
}
