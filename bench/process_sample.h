// What the benchmarks read of another process: its private bytes and the CPU
// time it has used. Windows only; any thread.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <algorithm>

struct ProcessSample {
  double privateKiB = -1;
  double cpuMs = -1;
};

inline ProcessSample SampleProcess(HANDLE process) {
  ProcessSample sample;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                           sizeof memory)) {
    // Wine leaves PrivateUsage at zero for other processes and reports the
    // private commit as PagefileUsage, as Windows also does.
    sample.privateKiB =
        static_cast<double>(std::max(memory.PrivateUsage, memory.PagefileUsage)) / 1024.0;
  }
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    auto ticks = [](const FILETIME& t) {
      return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    sample.cpuMs = static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
  }
  return sample;
}
