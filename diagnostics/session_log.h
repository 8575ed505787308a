// The per-session log files under <dataDir>\logs, and the optional core log.
// One process-wide writer; every operation takes its lock, which is always
// the innermost lock of the host. Any thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

class SessionLog {
 public:
  // Opens a new session log (and the core log when "core-diagnostics.on"
  // exists in `dataDir`). Folder-scan errors propagate as filesystem_error.
  static void Open(const std::filesystem::path& dataDir);
  // Writes the end line and closes both logs; a closed log is left alone.
  static void End();
  // "[<time>] <tag> <text>\n"; dropped while no session log is open.
  static void Write(std::string_view tag, std::string_view text);
  // Core output lines into the core log, if open: `lines` holds one line, or
  // several separated by line feeds; each gets the stamp of this call, and
  // all go to the file in one write.
  static void WriteCore(std::string_view lines);
  // The session log opened last (empty before the first open).
  static std::filesystem::path CurrentPath();
  // A "[dns_policy]" note for the next session log that opens.
  static void SetPendingDnsNote(std::string note);
};

// Deletes the oldest regular files whose names begin with `prefix` so that at
// most `keep` remain.
void PruneOldLogs(const std::filesystem::path& folder, std::size_t keep, std::string_view prefix);

// "YYYY-MM-DD hh:mm:ss.fff", local time: the stamp of log lines and reports.
std::string LineStamp();
