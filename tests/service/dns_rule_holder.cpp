// Stands in for the privileged program in the guard's tests: a process whose
// death the guard is to notice, killed by the test from outside.
//   dns_rule_holder hold     installs the machine rule as the privileged
//                            program does (owner record, guard, values),
//                            prints "installed", then waits to be killed;
//   dns_rule_holder release  starts the guard, prints "started", releases it
//                            when a line arrives on standard input, and ends.
// The guard is TovixDnsGuard.exe beside this program.
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "service/dns_rule/dns_guard.h"
#include "service/dns_rule/dns_policy.h"

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc == 2 ? argv[1] : L"";
  if (mode == L"hold") {
    std::string status;
    RunDnsPolicyApply([] { return true; }, MachineDnsPolicyTarget(),
                      [](std::wstring_view) { return std::vector<std::wstring>{L"172.19.0.2"}; },
                      [&](const std::string& decided) { status = decided; });
    std::printf("%s\n", status.c_str());
    std::fflush(stdout);
    Sleep(INFINITE);
  }
  if (mode == L"release") {
    DnsGuard guard;
    if (const DWORD error = guard.Start(); error != ERROR_SUCCESS) {
      std::printf("failed %lu\n", error);
      return 1;
    }
    std::printf("started\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    guard.Release();
    return 0;
  }
  return 2;
}
