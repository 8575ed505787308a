// DNS rule guard benchmark: the guard's private bytes and CPU time over a
// connected session (ten seconds by default), beside the host's own in the
// same run. The host is Tovix.exe with the stand-in core, started through its
// UI channel (its privileged program launches the core). The guard is
// TovixDnsGuard.exe, started by this program through DnsGuard::Start(), as
// the privileged program starts it, so that it watches this program through
// the handles it inherits (no adapter here carries the tunnel's DNS, so no
// rule is written and the privileged program starts no guard of its own).
// A third program, one that only sleeps, shows what any process costs here.
// Run by hand: <build>/tools/wine-run <build>/bin/dns_guard_bench.exe [seconds]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "bench/process_sample.h"
#include "service/dns_rule/dns_guard.h"
#include "shell/whole_program.h"

namespace {

using Sample = ProcessSample;

Sample Measure(HANDLE process) { return SampleProcess(process); }

void Print(const char* label, const Sample& begin, const Sample& end) {
  std::printf("  %-34s %10.0f KiB %10.0f KiB %10.1f ms\n", label, begin.privateKiB,
              end.privateKiB, end.cpuMs - begin.cpuMs);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  const std::string kCore = "kelpmarrow.vpn/core";
  const std::string config =
      R"({"inbounds":[{"type":"tun","interface_name":"Kelpmarrow"}],"outbounds":[{"type":"direct"}]})";

  whole_program::ScratchInstall install;
  auto host = install.Start(
      {}, {"call " + kCore + " " +
           whole_program::MethodCallHex("start", flutter::EncodableValue(config))});
  if (!host.WaitForLine("reply " + kCore, 30000, true)) {
    std::printf("the host did not answer \"start\"\n");
    return 1;
  }
  SetDnsGuardExecutable((install.folder() / kDnsGuardProgram).wstring());
  DnsGuard guard;
  if (const DWORD error = guard.Start(); error != ERROR_SUCCESS) {
    std::printf("the guard did not start: error %lu\n", error);
    return 1;
  }

  std::wstring idleCommand = L"\"" + (whole_program::BinaryFolder() / L"idle_program.exe").wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION idle{};
  if (!CreateProcessW(nullptr, idleCommand.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &idle)) {
    std::printf("the idle program did not start\n");
    return 1;
  }
  CloseHandle(idle.hThread);
  Sleep(500);  // past its start

  const Sample idleBegin = Measure(idle.hProcess);
  const Sample hostBegin = Measure(host.handle());
  const Sample guardBegin = Measure(guard.process());
  Sleep(static_cast<DWORD>(seconds) * 1000);
  const Sample idleEnd = Measure(idle.hProcess);
  const Sample hostEnd = Measure(host.handle());
  const Sample guardEnd = Measure(guard.process());

  // A guard that refused its handles ends at once, and its figures say
  // nothing.
  const bool guardWatched = WaitForSingleObject(guard.process(), 0) == WAIT_TIMEOUT;
  DWORD guardExit = 0;
  if (!guardWatched && GetExitCodeProcess(guard.process(), &guardExit)) {
    std::printf("the guard ended while it should watch: exit code %lu\n", guardExit);
  }
  std::printf("connected session, %d s: private bytes at start and end, CPU time in between\n",
              seconds);
  Print("a program that only sleeps", idleBegin, idleEnd);
  Print("Tovix.exe, the host", hostBegin, hostEnd);
  Print("TovixDnsGuard.exe", guardBegin, guardEnd);
  std::printf("  guard beyond the sleeping program: %.0f KiB private (target < 2048); "
              "%.1f ms CPU after its start (target 0), %.1f ms in all\n",
              std::max(guardBegin.privateKiB, guardEnd.privateKiB) -
                  std::max(idleBegin.privateKiB, idleEnd.privateKiB),
              guardEnd.cpuMs - guardBegin.cpuMs, guardEnd.cpuMs);

  TerminateProcess(idle.hProcess, 0);
  CloseHandle(idle.hProcess);
  guard.Release();
  host.Close();
  host.Wait(20000);
  return guardWatched ? 0 : 1;
}
