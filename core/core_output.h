// What the core prints: the line assembler over the bytes of its output pipe
// and the decisions taken per line (readiness, fatal errors, the startup
// buffer, the failure reports). Plain code over bytes and strings; what it
// does to the rest of the host goes through CoreOutputActions, which the
// reader thread (core_output_reader.cpp) binds to events, the session log and
// the protected report files. Runs on the core output reader thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::size_t kCoreReadSize = 4096;
inline constexpr std::size_t kMaxCoreLine = 65536;
inline constexpr std::size_t kStartupBufferLimit = 32768;
// Longer than the longest text the line decisions look for.
inline constexpr std::size_t kDroppedTailBytes = 64;

inline constexpr std::string_view kLineTruncatedMarker = " [line truncated]";
inline constexpr std::string_view kReadinessText = "sing-box started";
inline constexpr std::string_view kFatalMessage = "VPN core reported a fatal error";
// "Windows did not release the VPN network adapter of the previous run",
// in the UI's language; UTF-8 bytes.
inline constexpr std::string_view kAdapterConflictMessage =
    "Windows \xD0\xBD\xD0\xB5 \xD0\xBE\xD1\x82\xD0\xB4\xD0\xB0\xD0\xBB "
    "\xD1\x81\xD0\xB5\xD1\x82\xD0\xB5\xD0\xB2\xD0\xBE\xD0\xB9 "
    "\xD0\xB0\xD0\xB4\xD0\xB0\xD0\xBF\xD1\x82\xD0\xB5\xD1\x80 VPN "
    "\xD0\xBE\xD1\x82 \xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xBB\xD0\xBE\xD0\xB3\xD0\xBE "
    "\xD0\xB7\xD0\xB0\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA\xD0\xB0";

// Per core run; owned by its reader thread.
struct CoreLineState {
  std::string line;           // the line being assembled, without its newline
  std::string startupBuffer;  // lines before readiness, each + "\n"; <= kStartupBufferLimit
  bool started = false;       // the readiness line was seen
  bool fatalSeen = false;     // the first fatal line was seen (one failure report)
  bool truncated = false;     // bytes of the current line were dropped
  // What the dropped bytes of the current line held, so that a fatal text
  // past the cut still counts, and the last bytes seen around the cut, for a
  // text that the cut or a read boundary splits and for a "level=fatal"
  // field whose right neighbour has not been read yet.
  bool droppedFatal = false;
  bool droppedAdapterConflict = false;
  std::string droppedTail;  // at most kDroppedTailBytes
  // Lines for the core log not yet handed over, each + "\n". They go to
  // WriteCore in one piece at the end of each read and before any other
  // action, so that the log takes one write per read instead of one per line
  // and the order towards events and the session log stays that of the lines.
  std::string coreLog;
};

enum class CoreReport { Failure, IncompleteStartup };

// "core_failure.dpapi" / "core_startup.dpapi".
std::wstring_view CoreReportFileName(CoreReport report);

// Everything a line decision does outside CoreLineState. The reader's
// binding acts only for the current core: events, log lines and reports of a
// core that a newer launch has replaced are dropped, each decided in one step
// with its effect, and "running" is queued only if the core is still wanted
// at that moment (StillWanted is then asked again, with the queueing).
class CoreOutputActions {
 public:
  virtual ~CoreOutputActions() = default;
  virtual void Emit(std::string_view state, std::string_view message) = 0;
  virtual void Log(std::string_view tag, std::string_view text) = 0;
  // One or more core log lines, separated by line feeds.
  virtual void WriteCore(std::string_view lines) = 0;
  // The core is still wanted (`running`, and still the current core):
  // readiness is announced.
  virtual bool StillWanted() = 0;
  virtual void StartDnsPolicy() = 0;
  // Protects and stores a report; raises an exception on failure.
  virtual void SaveReport(CoreReport report, const std::string& text) = 0;
  // The log's line stamp and the core's pid, for report headings.
  virtual std::string Stamp() = 0;
  virtual std::uint32_t Pid() = 0;
};

// "FATAL" anywhere (the core's level label, also with colour codes around
// it); lower-case "fatal" only as a level or a runtime failure: "fatal
// error:", "[fatal]" or a "level=fatal" field. Inside a host name, a path or
// a tag it is ordinary text.
bool IsFatalLine(std::string_view line);
bool IsAdapterConflictLine(std::string_view line);
bool IsReadinessLine(std::string_view line);

std::string FailureReportText(std::string_view stamp, std::uint32_t pid,
                              std::string_view startupBuffer, std::string_view fatalLine);
std::string IncompleteStartupReportText(std::string_view stamp, std::uint32_t pid,
                                        std::string_view startupBuffer);

// Splits bytes into lines: each newline completes the line (HandleCoreLine);
// other bytes, a carriage return included, are kept up to kMaxCoreLine per
// line and dropped beyond it. The core log lines of `bytes` are handed over
// before it returns.
void FeedCoreOutput(CoreLineState& state, std::string_view bytes, CoreOutputActions& actions);

// Acts on the completed `state.line`, then empties it.
void HandleCoreLine(CoreLineState& state, CoreOutputActions& actions);

// At the end of the output: the last unterminated line, then the
// incomplete-startup report for a core that was never ready and never fatal.
void FinishCoreOutput(CoreLineState& state, CoreOutputActions& actions);

// Thread body of the core output reader: reads CoreProcess.outputRead to its
// end (Windows; core_output_reader.cpp). Started before the core is resumed.
void CoreOutputReader();
