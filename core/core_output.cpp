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

// Bytes a long line loses past its cut are still looked at for the fatal and
// adapter-conflict texts, with the last bytes before them, so that a text
// across the cut or across two reads is found once.
void ScanDroppedBytes(CoreLineState& state, std::string_view dropped) {
  if (state.droppedTail.empty() && !state.truncated) {
    const std::size_t keep = std::min(state.line.size(), kDroppedTailBytes);
    state.droppedTail.assign(state.line, state.line.size() - keep, keep);
  }
  std::string window = std::move(state.droppedTail);
  window.append(dropped);
  if (IsFatalLine(window)) state.droppedFatal = true;
  if (IsAdapterConflictLine(window)) state.droppedAdapterConflict = true;
  const std::size_t keep = std::min(window.size(), kDroppedTailBytes);
  state.droppedTail.assign(window, window.size() - keep, keep);
}

}  // namespace

std::wstring_view CoreReportFileName(CoreReport report) {
  return report == CoreReport::Failure ? L"core_failure.dpapi" : L"core_startup.dpapi";
}

bool IsFatalLine(std::string_view line) {
  if (Contains(line, "FATAL") || Contains(line, "fatal error:") || Contains(line, "[fatal]")) {
    return true;
  }
  // A structured field: "level=fatal" standing on its own, not the end of
  // "loglevel=fatal" nor the start of "level=fatal.example.com".
  constexpr std::string_view kLevelField = "level=fatal";
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  for (std::size_t at = line.find(kLevelField); at != std::string_view::npos;
       at = line.find(kLevelField, at + 1)) {
    const std::size_t end = at + kLevelField.size();
    if ((at == 0 || isSpace(line[at - 1])) && (end == line.size() || isSpace(line[end]))) {
      return true;
    }
  }
  return false;
}

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
    if (!found) return;
    HandleCoreLine(state, actions);
    bytes.remove_prefix(runLength + 1);
  }
}

void HandleCoreLine(CoreLineState& state, CoreOutputActions& actions) {
  if (state.truncated) state.line.append(kLineTruncatedMarker);

  if (state.droppedFatal || IsFatalLine(state.line)) {
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
    actions.WriteCore(state.line);
    if (actions.StillWanted()) {
      actions.Emit("running", "sing-box up");
      actions.StartDnsPolicy();
    }
  } else if (state.started) {
    actions.WriteCore(state.line);
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
