// The core output's line assembler and line decisions, driven with bytes no
// real core prints on demand (split lines, huge lines, failing report
// storage). Portable: runs natively under the sanitizers and under Wine.
#include "core/core_output.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Recorded {
  std::vector<std::pair<std::string, std::string>> events;
  std::vector<std::pair<std::string, std::string>> logLines;
  std::vector<std::string> coreLines;
  int coreWrites = 0;
  std::vector<std::pair<CoreReport, std::string>> reports;
  int dnsStarts = 0;
};

class RecordingActions final : public CoreOutputActions {
 public:
  Recorded seen;
  bool wanted = true;
  bool reportsFail = false;

  void Emit(std::string_view state, std::string_view message) override {
    seen.events.emplace_back(state, message);
  }
  void Log(std::string_view tag, std::string_view text) override {
    seen.logLines.emplace_back(tag, text);
  }
  void WriteCore(std::string_view lines) override {
    for (std::size_t end; (end = lines.find('\n')) != std::string_view::npos;) {
      seen.coreLines.emplace_back(lines.substr(0, end));
      lines.remove_prefix(end + 1);
    }
    seen.coreLines.emplace_back(lines);
    ++seen.coreWrites;
  }
  bool StillWanted() override { return wanted; }
  void StartDnsPolicy() override { ++seen.dnsStarts; }
  void SaveReport(CoreReport report, const std::string& text) override {
    if (reportsFail) throw std::runtime_error("Could not protect settings");
    seen.reports.emplace_back(report, text);
  }
  std::string Stamp() override { return "2026-01-02 03:04:05.006"; }
  std::uint32_t Pid() override { return 4242; }
};

// Feeds `bytes` in reads of at most `readSize` bytes, as the reader does.
void FeedInReads(CoreLineState& state, std::string_view bytes, RecordingActions& actions,
                 std::size_t readSize = kCoreReadSize) {
  while (!bytes.empty()) {
    const std::size_t now = std::min(readSize, bytes.size());
    FeedCoreOutput(state, bytes.substr(0, now), actions);
    bytes.remove_prefix(now);
  }
}

using Event = std::pair<std::string, std::string>;

}  // namespace

TEST(CoreLineAssembly, SplitsOnLineFeedOnlyAcrossReadBoundaries) {
  CoreLineState state;
  RecordingActions actions;
  state.started = true;  // every ordinary line goes to the core log
  FeedInReads(state, "first\r\nsec", actions, 3);
  FeedInReads(state, "ond\n\nthird", actions, 1);
  EXPECT_EQ(actions.seen.coreLines, (std::vector<std::string>{"first\r", "second", ""}));
  EXPECT_EQ(state.line, "third") << "an unterminated line waits for more bytes";
  FinishCoreOutput(state, actions);
  EXPECT_EQ(actions.seen.coreLines.back(), "third");
  EXPECT_TRUE(actions.seen.reports.empty()) << "a ready core leaves no startup report";

  const int writes = actions.seen.coreWrites;
  FeedCoreOutput(state, "a\nb\n\nc\n", actions);
  EXPECT_EQ(actions.seen.coreWrites, writes + 1) << "the lines of one read go over in one piece";
  EXPECT_EQ(actions.seen.coreLines.size(), 8u);
}

TEST(CoreLineAssembly, KeepsAtMost64KiBOfALineAndMarksTheCut) {
  CoreLineState state;
  RecordingActions actions;
  state.started = true;
  FeedInReads(state, std::string(100000, 'x') + "\n" + std::string(kMaxCoreLine, 'y') + "\n" +
                         std::string(kMaxCoreLine + 1, 'z') + "\nshort\n",
              actions);
  ASSERT_EQ(actions.seen.coreLines.size(), 4u);
  EXPECT_EQ(actions.seen.coreLines[0], std::string(65536, 'x') + " [line truncated]");
  EXPECT_EQ(actions.seen.coreLines[1], std::string(65536, 'y')) << "exactly 64 KiB is whole";
  EXPECT_EQ(actions.seen.coreLines[2], std::string(65536, 'z') + " [line truncated]");
  EXPECT_EQ(actions.seen.coreLines[3], "short") << "the cut does not spill into the next line";
}

TEST(CoreLineAssembly, MemoryStaysBoundedOverAHundredMegabytesWithoutNewline) {
  CoreLineState state;
  RecordingActions actions;
  const std::string chunk(kCoreReadSize, 'q');
  for (std::size_t fed = 0; fed < 100u * 1024 * 1024; fed += chunk.size()) {
    FeedCoreOutput(state, chunk, actions);
    ASSERT_LE(state.line.capacity(), 2 * kMaxCoreLine);
  }
  EXPECT_TRUE(state.truncated);
  FinishCoreOutput(state, actions);
  EXPECT_LE(state.startupBuffer.size(), kStartupBufferLimit);
  ASSERT_EQ(actions.seen.reports.size(), 1u);
  // The startup report holds the tail of that one truncated line.
  const std::string& report = actions.seen.reports[0].second;
  EXPECT_EQ(report.substr(report.size() - 19), "q [line truncated]\n");
}

TEST(CoreLineDecisions, FatalSpellingsAndAdapterConflictChooseTheMessage) {
  CoreLineState state;
  RecordingActions actions;
  FeedInReads(state,
              "time=\"x\" level=fatal msg=\"this one counts\"\n"
              "only Fatal here\n"
              "FATAL[0000] start service: configure tun interface: access denied\n"
              "ERROR [fatal] Cannot create a file when that file already exists.\n",
              actions);
  const std::string conflict =
      "Windows \xD0\xBD\xD0\xB5 \xD0\xBE\xD1\x82\xD0\xB4\xD0\xB0\xD0\xBB "
      "\xD1\x81\xD0\xB5\xD1\x82\xD0\xB5\xD0\xB2\xD0\xBE\xD0\xB9 "
      "\xD0\xB0\xD0\xB4\xD0\xB0\xD0\xBF\xD1\x82\xD0\xB5\xD1\x80 VPN \xD0\xBE\xD1\x82 "
      "\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xBB\xD0\xBE\xD0\xB3\xD0\xBE "
      "\xD0\xB7\xD0\xB0\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA\xD0\xB0";
  EXPECT_EQ(actions.seen.events,
            (std::vector<Event>{{"error", "VPN core reported a fatal error"},
                                {"error", conflict},
                                {"error", conflict}}));
  EXPECT_EQ(actions.seen.reports.size(), 1u) << "one failure report per core";
  EXPECT_TRUE(actions.seen.coreLines.empty()) << "fatal lines never reach the core log";
  EXPECT_FALSE(IsFatalLine("only Fatal here"));
  EXPECT_FALSE(IsFatalLine("FaTaL"));
}

TEST(CoreLineDecisions, FailureReportHoldsHeadingBufferAndFatalLine) {
  CoreLineState state;
  RecordingActions actions;
  FeedInReads(state, "argv: x\nINFO one\nFATAL boom\nafter fatal\nFATAL again\n", actions);
  ASSERT_EQ(actions.seen.reports.size(), 1u);
  EXPECT_EQ(actions.seen.reports[0].first, CoreReport::Failure);
  EXPECT_EQ(actions.seen.reports[0].second,
            "Kelpmarrow core failure 2026-01-02 03:04:05.006\npid=4242\n"
            "argv: x\nINFO one\nFATAL boom\n");
  EXPECT_EQ(actions.seen.logLines,
            (std::vector<Event>{{"[diagnostic]", "protected core failure saved"}}));
  EXPECT_TRUE(state.startupBuffer.empty()) << "lines after a fatal line are dropped";
  FinishCoreOutput(state, actions);
  EXPECT_EQ(actions.seen.reports.size(), 1u) << "no startup report after a fatal line";
}

TEST(CoreLineDecisions, FatalAfterReadinessReportsOnlyTheHeadingAndLine) {
  CoreLineState state;
  RecordingActions actions;
  FeedInReads(state, "early\nsing-box started\nlater\nfatal error: gone\n", actions);
  ASSERT_EQ(actions.seen.reports.size(), 1u);
  EXPECT_EQ(actions.seen.reports[0].second,
            "Kelpmarrow core failure 2026-01-02 03:04:05.006\npid=4242\nfatal error: gone\n");
  EXPECT_EQ(actions.seen.coreLines, (std::vector<std::string>{"sing-box started", "later"}));
}

TEST(CoreLineDecisions, ReadinessAnnouncesOnlyWhileTheCoreIsWanted) {
  CoreLineState state;
  RecordingActions actions;
  actions.wanted = false;  // a stop is under way
  FeedInReads(state, "INFO x sing-box started (12ms)\n", actions);
  EXPECT_TRUE(state.started);
  EXPECT_TRUE(actions.seen.events.empty());
  EXPECT_EQ(actions.seen.dnsStarts, 0);

  actions.wanted = true;
  FeedInReads(state, "again: sing-box started\n", actions);
  EXPECT_EQ(actions.seen.events, (std::vector<Event>{{"running", "sing-box up"}}));
  EXPECT_EQ(actions.seen.dnsStarts, 1);
}

TEST(CoreLineDecisions, ReadinessAfterAFatalLineIsNotReadiness) {
  CoreLineState state;
  RecordingActions actions;
  FeedInReads(state, "FATAL no tun\nsing-box started\n", actions);
  EXPECT_FALSE(state.started);
  EXPECT_EQ(actions.seen.events.size(), 1u);
  EXPECT_EQ(actions.seen.dnsStarts, 0);
}

TEST(CoreLineDecisions, StartupBufferKeepsTheLast32KiB) {
  CoreLineState state;
  RecordingActions actions;
  std::string all;
  for (int i = 0; i < 3000; ++i) all += "line " + std::to_string(i) + " of the startup chatter\n";
  FeedInReads(state, all, actions);
  ASSERT_EQ(state.startupBuffer.size(), kStartupBufferLimit);
  EXPECT_EQ(state.startupBuffer, all.substr(all.size() - kStartupBufferLimit));
  FinishCoreOutput(state, actions);
  ASSERT_EQ(actions.seen.reports.size(), 1u);
  EXPECT_EQ(actions.seen.reports[0].first, CoreReport::IncompleteStartup);
  EXPECT_EQ(actions.seen.reports[0].second,
            "Kelpmarrow incomplete startup 2026-01-02 03:04:05.006\npid=4242\n" +
                all.substr(all.size() - kStartupBufferLimit));
  EXPECT_EQ(actions.seen.logLines.back(),
            (Event{"[diagnostic]", "protected incomplete startup saved"}));
}

TEST(CoreLineDecisions, ReportFailuresAreLoggedAndReadingGoesOn) {
  CoreLineState state;
  RecordingActions actions;
  actions.reportsFail = true;
  FeedInReads(state, "FATAL one\nFATAL two\n", actions);
  EXPECT_EQ(actions.seen.events.size(), 2u);
  EXPECT_EQ(actions.seen.logLines,
            (std::vector<Event>{{"[diagnostic]", "could not save protected core failure"}}));

  CoreLineState quiet;
  RecordingActions quietActions;
  quietActions.reportsFail = true;
  FeedInReads(quiet, "no newline at the end", quietActions);
  FinishCoreOutput(quiet, quietActions);
  EXPECT_EQ(quietActions.seen.logLines,
            (std::vector<Event>{{"[diagnostic]", "could not save incomplete startup"}}));
}

TEST(CoreLineDecisions, LowerCaseFatalCountsOnlyAsALevelOrRuntimeFailure) {
  const struct {
    const char* line;
    bool fatal;
  } cases[] = {
      {"\x1b[31mFATAL\x1b[0m[0001] start service: boom", true},
      {"+0100 2026-01-02 03:04:05 FATAL[0001] router: boom", true},
      {"fatal error: all goroutines are asleep - deadlock!", true},
      {"time=\"2026\" level=fatal msg=\"boom\"", true},
      {"level=fatal", true},
      {"2026/01/02 [fatal] listen: boom", true},
      {"INFO[0001] [3141 0ms] inbound/tun[tun-in]: inbound connection to fatal.example.com:443",
       false},
      {"INFO[0001] outbound/direct: open C:\\data\\fatal\\cache.db", false},
      {"INFO[0001] rule_set[geosite-fatal]: updated", false},
      {"DEBUG loglevel=fatal level=fatalistic level=fatal.example.com", false},
      {"WARN Fatal-looking but not fatal", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsFatalLine(c.line), c.fatal) << c.line;
}

TEST(CoreLineDecisions, FatalTextSplitAtEveryReadBoundaryCountsOnce) {
  // With a NUL byte, control characters and invalid UTF-8 around it.
  constexpr char kBytes[] = "\0\xfe\xff\x1b[31mFATAL\x1b[0m[0000] configure tun interface: \xc3(\n";
  const std::string line(kBytes, sizeof kBytes - 1);
  for (std::size_t cut = 1; cut < line.size(); ++cut) {
    CoreLineState state;
    RecordingActions actions;
    FeedCoreOutput(state, line.substr(0, cut), actions);
    FeedCoreOutput(state, line.substr(cut), actions);
    ASSERT_EQ(actions.seen.events.size(), 1u) << "cut at " << cut;
    EXPECT_EQ(actions.seen.events[0].second, kAdapterConflictMessage) << "cut at " << cut;
  }
}

TEST(CoreLineDecisions, FatalTextPastTheCutOfAHugeLineStillCountsOnce) {
  // The text lies beyond the 64 KiB that are kept, across a read boundary,
  // and across the cut itself.
  for (std::size_t before : {kMaxCoreLine - 3, kMaxCoreLine + 4093, std::size_t{5} * 1024 * 1024}) {
    CoreLineState state;
    RecordingActions actions;
    state.started = true;
    FeedInReads(state, std::string(before, 'x') + " level=fatal configure tun interface\nnext\n",
                actions);
    EXPECT_EQ(actions.seen.events,
              (std::vector<Event>{{"error", std::string(kAdapterConflictMessage)}}))
        << before;
    EXPECT_EQ(actions.seen.reports.size(), 1u);
    EXPECT_EQ(actions.seen.coreLines, (std::vector<std::string>{"next"}))
        << "the flag ends with its line";
    EXPECT_LE(state.droppedTail.size(), kDroppedTailBytes);
  }
}

TEST(CoreLineDecisions, LevelFieldCountsOnlyWithRealNeighboursAtCutsAndReadEdges) {
  // Filler, then `text` ending at byte `endsAt` of the line, then `after`.
  const auto place = [](std::string_view text, std::size_t endsAt, std::string_view after) {
    return std::string(endsAt - text.size(), 'x').append(text).append(after);
  };
  const std::string longTail = " " + std::string(100, 'x') + "\n";
  constexpr std::size_t kOneRead = std::size_t{1} << 30;
  constexpr std::size_t kPastCut = 20 * kCoreReadSize;  // a read edge among dropped bytes
  const struct {
    const char* what;
    std::string bytes;
    std::size_t readSize;
    bool fatal;
  } cases[] = {
      {"field up to the cut, host name past it",
       place(" level=fatal", kMaxCoreLine, ".example.com\n"), kCoreReadSize, false},
      {"same, one read", place(" level=fatal", kMaxCoreLine, ".example.com\n"), kOneRead, false},
      {"first dropped window begins at \"level\" of \"loglevel\"",
       place("loglevel=fatal", kMaxCoreLine - kDroppedTailBytes + 11, longTail), kCoreReadSize,
       false},
      {"later window begins at \"level\" of \"loglevel\"",
       place("loglevel=fatal", kPastCut - kDroppedTailBytes + 11, longTail), kCoreReadSize, false},
      {"field at the end of a read, host name in the next",
       place(" level=fatal", kPastCut, ".example.com\n"), kCoreReadSize, false},
      {"same, one read", place(" level=fatal", kPastCut, ".example.com\n"), kOneRead, false},
      {"field up to the cut, space past it", place(" level=fatal", kMaxCoreLine, " msg\n"),
       kCoreReadSize, true},
      {"field ends the whole line", place(" level=fatal", kMaxCoreLine, "\n"), kCoreReadSize, true},
      {"field at the end of a read, space in the next", place(" level=fatal", kPastCut, " msg\n"),
       kCoreReadSize, true},
      {"field at the end of a read, newline in the next", place(" level=fatal", kPastCut, "\n"),
       kCoreReadSize, true},
      {"field ends the output of a cut line", place(" level=fatal", kPastCut, ""), kCoreReadSize,
       true},
  };
  for (const auto& c : cases) {
    CoreLineState state;
    RecordingActions actions;
    state.started = true;
    FeedInReads(state, c.bytes, actions, c.readSize);
    FinishCoreOutput(state, actions);
    EXPECT_EQ(actions.seen.events.size(), c.fatal ? 1u : 0u) << c.what;
    EXPECT_EQ(actions.seen.coreLines.size(), c.fatal ? 0u : 1u) << c.what;
  }
}
