// The per-session log files. Any thread.
#include "diagnostics/session_log.h"

namespace fs = std::filesystem;

void SessionLog::Open(const fs::path&) {}
void SessionLog::End() {}
void SessionLog::Write(std::string_view, std::string_view) {}
void SessionLog::WriteCore(std::string_view) {}
fs::path SessionLog::CurrentPath() { return {}; }
void SessionLog::SetPendingDnsNote(std::string) {}
void PruneOldLogs(const fs::path&, std::size_t, std::string_view) {}
std::string LineStamp() { return "0000-00-00 00:00:00.000"; }
