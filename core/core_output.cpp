// Line assembly and per-line decisions over the core's output. Portable; runs
// on the core output reader thread.
#include "core/core_output.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr std::string_view kAdapterConflictTexts[] = {
    "Cannot create a file when that file already exists",
    "configure tun interface",
};

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

void AppendLine(std::string& out, std::string_view line) {
  out.append(line);
  out.push_back('\n');
}

// "FATAL", "fatal error:", "[fatal]" anywhere in `text`, or a "level=fatal"
// field with a blank or the line's own start and end on either side.
// `opensLine` and `closesLine` tell whether the text's first byte starts the
// line and its last byte ends it: an edge of a piece of a line (the end of
// the kept part of a cut line, either end of a window over dropped bytes) is
// no neighbour, and a field touching it is left to the piece that holds its
// neighbour.
bool IsFatalText(std::string_view text, bool opensLine, bool closesLine) {
  if (Contains(text, "FATAL") || Contains(text, "fatal error:") || Contains(text, "[fatal]")) {
    return true;
  }
  constexpr std::string_view kLevelField = "level=fatal";
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  for (std::size_t at = text.find(kLevelField); at != std::string_view::npos;
       at = text.find(kLevelField, at + 1)) {
    const std::size_t end = at + kLevelField.size();
    const bool before = at == 0 ? opensLine : isSpace(text[at - 1]);
    const bool after = end == text.size() ? closesLine : isSpace(text[end]);
    if (before && after) return true;
  }
  return false;
}

// Bytes a long line loses past its cut are still looked at for the fatal and
// adapter-conflict texts, in windows that begin with the last
// kDroppedTailBytes seen before them, so that a text across the cut or across
// two reads is found. Neither edge of a window is an edge of the line: a field
// at its start was judged in the window before (the carried bytes outnumber
// the field and its neighbour), and a field at its end waits in the carried
// bytes for its neighbour in the next read, or for the line's end
// (DecideCarriedBytes).
void ScanDroppedBytes(CoreLineState& state, std::string_view dropped) {
  if (state.droppedTail.empty() && !state.truncated) {
    const std::size_t keep = std::min(state.line.size(), kDroppedTailBytes);
    state.droppedTail.assign(state.line, state.line.size() - keep, keep);
  }
  std::string window = std::move(state.droppedTail);
  window.append(dropped);
  if (IsFatalText(window, false, false)) state.droppedFatal = true;
  if (IsAdapterConflictLine(window)) state.droppedAdapterConflict = true;
  const std::size_t keep = std::min(window.size(), kDroppedTailBytes);
  state.droppedTail.assign(window, window.size() - keep, keep);
}

// Hands the waiting core log lines over. They are let go even when the
// hand-over fails, so that a failing log cannot make them pile up.
void HandOverCoreLog(CoreLineState& state, CoreOutputActions& actions) {
  if (state.coreLog.empty()) return;
  struct Clear {
    std::string& lines;
    ~Clear() { lines.clear(); }
  } clear{state.coreLog};
  actions.WriteCore(std::string_view(state.coreLog).substr(0, state.coreLog.size() - 1));
}

// Queues the current line for the core log; a long run of lines in one read
// (a caller feeding more than a read) is handed over on the way.
void QueueCoreLine(CoreLineState& state, CoreOutputActions& actions) {
  AppendLine(state.coreLog, state.line);
  if (state.coreLog.size() >= kMaxCoreLine) HandOverCoreLog(state, actions);
}

// The line of a cut has ended (newline or end of output): the carried bytes
// end where the line does.
void DecideCarriedBytes(CoreLineState& state) {
  if (IsFatalText(state.droppedTail, false, true)) state.droppedFatal = true;
}

}  // namespace

std::wstring_view CoreReportFileName(CoreReport report) {
  return report == CoreReport::Failure ? L"core_failure.dpapi" : L"core_startup.dpapi";
}

bool IsFatalLine(std::string_view line) { return IsFatalText(line, true, true); }

bool IsAdapterConflictLine(std::string_view line) {
  return std::any_of(std::begin(kAdapterConflictTexts), std::end(kAdapterConflictTexts),
                     [line](std::string_view text) { return Contains(line, text); });
}

bool IsReadinessLine(std::string_view line) { return Contains(line, kReadinessText); }

std::string FailureReportText(std::string_view stamp, std::uint32_t pid,
                              std::string_view startupBuffer, std::string_view fatalLine) {
  std::string text = "Kelpmarrow core failure ";
  text.append(stamp).append("\npid=").append(std::to_string(pid)).append("\n");
  text.append(startupBuffer);
  AppendLine(text, fatalLine);
  return text;
}

std::string IncompleteStartupReportText(std::string_view stamp, std::uint32_t pid,
                                        std::string_view startupBuffer) {
  std::string text = "Kelpmarrow incomplete startup ";
  text.append(stamp).append("\npid=").append(std::to_string(pid)).append("\n");
  text.append(startupBuffer);
  return text;
}

void FeedCoreOutput(CoreLineState& state, std::string_view bytes, CoreOutputActions& actions) {
  // Equivalent to taking the bytes one by one, but copies whole runs.
  while (!bytes.empty()) {
    const void* found = std::memchr(bytes.data(), '\n', bytes.size());
    const std::size_t runLength =
        found ? static_cast<std::size_t>(static_cast<const char*>(found) - bytes.data())
              : bytes.size();
    const std::size_t room = kMaxCoreLine - std::min(state.line.size(), kMaxCoreLine);
    const std::size_t kept = std::min(runLength, room);
    state.line.append(bytes.data(), kept);
    if (kept < runLength) {
      ScanDroppedBytes(state, bytes.substr(kept, runLength - kept));
      state.truncated = true;
    }
    if (!found) break;
    HandleCoreLine(state, actions);
    bytes.remove_prefix(runLength + 1);
  }
  HandOverCoreLog(state, actions);
}

void HandleCoreLine(CoreLineState& state, CoreOutputActions& actions) {
  // Decided before the marker is appended: the marker's blank is no
  // neighbour of a field that the cut ends.
  if (state.truncated) DecideCarriedBytes(state);
  const bool fatal = state.droppedFatal || IsFatalText(state.line, true, !state.truncated);
  if (state.truncated) state.line.append(kLineTruncatedMarker);

  if (fatal) {
    HandOverCoreLog(state, actions);
    if (!state.fatalSeen) {
      state.fatalSeen = true;
      try {
        actions.SaveReport(CoreReport::Failure,
                           FailureReportText(actions.Stamp(), actions.Pid(), state.startupBuffer,
                                             state.line));
        actions.Log("[diagnostic]", "protected core failure saved");
      } catch (...) {
        actions.Log("[diagnostic]", "could not save protected core failure");
      }
    }
    const bool conflict = state.droppedAdapterConflict || IsAdapterConflictLine(state.line);
    actions.Emit("error", conflict ? kAdapterConflictMessage : kFatalMessage);
    state.startupBuffer.clear();
  } else if (!state.fatalSeen && IsReadinessLine(state.line)) {
    state.started = true;
    state.startupBuffer.clear();
    QueueCoreLine(state, actions);
    HandOverCoreLog(state, actions);
    if (actions.StillWanted()) {
      actions.Emit("running", "sing-box up");
      actions.StartDnsPolicy();
    }
  } else if (state.started) {
    QueueCoreLine(state, actions);
  } else if (!state.fatalSeen) {
    AppendLine(state.startupBuffer, state.line);
    if (state.startupBuffer.size() > kStartupBufferLimit) {
      state.startupBuffer.erase(0, state.startupBuffer.size() - kStartupBufferLimit);
    }
  }

  state.line.clear();
  state.truncated = false;
  state.droppedFatal = false;
  state.droppedAdapterConflict = false;
  state.droppedTail.clear();
}

void FinishCoreOutput(CoreLineState& state, CoreOutputActions& actions) {
  if (!state.line.empty() || state.truncated) HandleCoreLine(state, actions);
  HandOverCoreLog(state, actions);
  if (state.started || state.fatalSeen) return;
  try {
    actions.SaveReport(CoreReport::IncompleteStartup,
                       IncompleteStartupReportText(actions.Stamp(), actions.Pid(),
                                                   state.startupBuffer));
    actions.Log("[diagnostic]", "protected incomplete startup saved");
  } catch (...) {
    actions.Log("[diagnostic]", "could not save incomplete startup");
  }
}
