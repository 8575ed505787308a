// The per-session log files under <dataDir>\logs and the optional core log.
// One process-wide record guarded by one mutex, the innermost lock of the
// host; every operation holds it for its whole run. Called from the window
// thread, the core's reader and exit watcher, the DNS policy worker and the
// network change callback.
#include "diagnostics/session_log.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "common/unique_resource.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kKeepLogs = 10;
constexpr char kSessionPrefix[] = "singbox-";
constexpr char kCorePrefix[] = "core-";
constexpr wchar_t kSwitchName[] = L"core-diagnostics.on";

// A log file opened for appending and with every sharing flag, so that other
// programs can read, write or delete it while it is in use. Appending, not
// truncating: a session opened in the same second as the one before gets the
// same name, and the earlier session's lines (often the very lines that
// explain a failed start) stay above the new banner.
// Each call goes to the file in one write (nothing waits in a buffer for the
// next call), with text-mode line ends, as the C runtime's text mode stores
// them: every line feed becomes carriage return + line feed. The write is
// built in a buffer that lives as long as the record (under the log's lock),
// so that core lines, written at the core's pace, cost no allocation.
class LogFile {
 public:
  bool Open(const fs::path& path) {
    handle_.reset(CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (IsOpen() && !SetFilePointerEx(handle_.get(), LARGE_INTEGER{}, nullptr, FILE_END)) {
      handle_.reset();
    }
    return IsOpen();
  }
  bool IsOpen() const { return static_cast<bool>(handle_); }
  void Close() { handle_.reset(); }

  // Writes the pieces, one after the other, in one write.
  void Put(std::initializer_list<std::string_view> pieces) {
    if (!IsOpen()) return;
    out_.clear();
    for (std::string_view piece : pieces) Add(piece);
    WriteOut();
  }

  // Writes each line of `lines` (separated by line feeds) as "[stamp] line",
  // all in one write.
  void PutCoreLines(std::string_view stamp, std::string_view lines) {
    if (!IsOpen()) return;
    out_.clear();
    for (;;) {
      const std::size_t end = std::min(lines.find('\n'), lines.size());
      out_.append("[").append(stamp).append("] ").append(lines.data(), end).append("\r\n");
      if (end == lines.size()) break;
      lines.remove_prefix(end + 1);
    }
    WriteOut();
  }

 private:
  void Add(std::string_view text) {
    while (!text.empty()) {
      const void* found = std::memchr(text.data(), '\n', text.size());
      if (!found) {
        out_.append(text);
        return;
      }
      const std::size_t run =
          static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
      out_.append(text.data(), run).append("\r\n");
      text.remove_prefix(run + 1);
    }
  }

  // Write errors are ignored: a full disk must not stop the VPN.
  void WriteOut() {
    const char* data = out_.data();
    std::size_t left = out_.size();
    while (left > 0) {
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(handle_.get(), data, chunk, &written, nullptr) || written == 0) break;
      data += written;
      left -= written;
    }
    // A rare huge text does not keep its memory for the rest of the run.
    if (out_.capacity() > kKeptBytes) std::string().swap(out_);
  }

  // Room for what the core's reader hands over at once (core_output.cpp).
  static constexpr std::size_t kKeptBytes = 256 * 1024;
  tovix::UniqueFileHandle handle_;
  std::string out_;  // the bytes of the write being built
};

// The process-wide record. `lock` guards every other field; no other lock is
// ever taken while it is held.
struct LogState {
  std::mutex lock;
  LogFile session;
  fs::path sessionPath;
  LogFile core;
  fs::path corePath;
  std::string pendingDnsNote;
};

// Never destroyed: the detached DNS policy worker may still write a line while
// the process exits, after static destructors would have run. The files hold
// no buffered bytes, so nothing is lost when the process ends with them open.
LogState& State() {
  static LogState* state = new LogState;
  return *state;
}

// The wall clock in ticks of 100 ns since 1970.
long long NowTicks() {
  using Ticks = std::chrono::duration<long long, std::ratio<1, 10000000>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Local calendar text of a whole second since 1970; the length strftime gave.
std::size_t FormatSecond(long long second, const char* layout, char* out, std::size_t room) {
  std::tm local{};
  const std::time_t seconds = static_cast<std::time_t>(second);
  localtime_s(&local, &seconds);
  return std::strftime(out, room, layout, &local);
}

std::string FileStamp() {
  char text[64];
  return std::string(text, FormatSecond(NowTicks() / 10000000, "%Y%m%d-%H%M%S", text, sizeof text));
}

// "YYYY-MM-DD hh:mm:ss.fff" of now, without an allocation.
struct StampText {
  char bytes[64];
  std::size_t size = 0;
  std::string_view View() const { return std::string_view(bytes, size); }
};

StampText TakeLineStamp() {
  const long long ticks = NowTicks();
  const long long second = ticks / 10000000;
  // The calendar part changes once a second, and turning it into text
  // (localtime_s, strftime) costs more than the rest of a core log line: each
  // thread keeps the text of the last second it turned. A change of the time
  // zone shows from the next second on.
  struct SecondText {
    long long second = LLONG_MIN;
    char text[48];
    std::size_t size = 0;
  };
  thread_local SecondText last;
  if (last.second != second) {
    last.size = FormatSecond(second, "%Y-%m-%d %H:%M:%S", last.text, sizeof last.text);
    last.second = second;
  }
  StampText stamp;
  std::memcpy(stamp.bytes, last.text, last.size);
  const int millis = static_cast<int>((ticks / 10000) % 1000);
  char* at = stamp.bytes + last.size;
  at[0] = '.';
  at[1] = static_cast<char>('0' + millis / 100);
  at[2] = static_cast<char>('0' + millis / 10 % 10);
  at[3] = static_cast<char>('0' + millis % 10);
  stamp.size = last.size + 4;
  return stamp;
}

// File name in the narrow code page of the file APIs, for the byte-wise
// prefix comparison.
std::string NarrowFileName(const fs::path& path) {
  std::wstring name = path.filename().native();
  if (name.empty() || name.size() > 0x7fffffff) return {};
  UINT codePage = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  int wide = static_cast<int>(name.size());
  int size = WideCharToMultiByte(codePage, 0, name.data(), wide, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, name.data(), wide, narrow.data(), size, nullptr, nullptr);
  return narrow;
}

// "[TS] tag text" with a line feed unless the text already ends in one.
void PutTagged(LogFile& file, std::string_view tag, std::string_view text) {
  const bool ended = !text.empty() && text.back() == '\n';
  file.Put({"[", TakeLineStamp().View(), "] ", tag, " ", text, ended ? "" : "\n"});
}

bool IsVanishedError(const std::error_code& ec) {
  if (!ec) return false;
  if (ec == std::errc::no_such_file_or_directory) return true;
  // Deleted by another program while a handle to it is still open: Windows
  // keeps the name until that handle closes but refuses every look at it.
  const int value = ec.value();
  return (ec.category() == std::system_category() &&
          (value == ERROR_FILE_NOT_FOUND || value == ERROR_PATH_NOT_FOUND ||
           value == ERROR_DELETE_PENDING));
}

}  // namespace

std::string LineStamp() { return std::string(TakeLineStamp().View()); }

void PruneOldLogs(const fs::path& folder, std::size_t keep, std::string_view prefix) {
  std::error_code ec;
  if (!fs::exists(folder, ec) || ec) return;

  struct Candidate {
    fs::path path;
    fs::file_time_type written;
  };
  std::vector<Candidate> candidates;

  fs::directory_iterator it(folder, ec);
  if (ec) return;  // an enumeration that cannot start yields nothing
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::directory_entry& entry = *it;
    fs::file_status status = entry.status(ec);
    // Gone since it was listed (another program deleted it): not a candidate.
    if (status.type() == fs::file_type::not_found || IsVanishedError(ec)) continue;
    if (ec) throw fs::filesystem_error("directory_entry::status", entry.path(), ec);
    if (status.type() != fs::file_type::regular) continue;
    std::string name = NarrowFileName(entry.path());
    if (name.size() < prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    fs::file_time_type written = entry.last_write_time(ec);
    if (IsVanishedError(ec)) continue;
    if (ec) throw fs::filesystem_error("directory_entry::last_write_time", entry.path(), ec);
    candidates.push_back({entry.path(), written});
  }
  // The folder itself going away ends the listing; nothing is left to prune.
  if (ec && !IsVanishedError(ec)) {
    throw fs::filesystem_error("directory_iterator::operator++", folder, ec);
  }

  if (candidates.size() <= keep) return;
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.written > b.written; });
  for (std::size_t i = keep; i < candidates.size(); ++i) {
    fs::remove(candidates[i].path, ec);  // a log that cannot be deleted stays
  }
}

void SessionLog::Open(const fs::path& dataDirectory) {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);

  s.session.Close();  // a session still open ends without an end line
  const fs::path logs = dataDirectory / L"logs";
  std::error_code ec;
  fs::create_directories(logs, ec);  // a failure shows as the open failing below
  PruneOldLogs(logs, kKeepLogs, kSessionPrefix);

  const std::string stamp = FileStamp();
  const std::wstring wideStamp(stamp.begin(), stamp.end());  // digits and '-' only
  fs::path sessionPath = logs / (L"singbox-" + wideStamp + L".log");
  s.session.Open(sessionPath);
  s.sessionPath = std::move(sessionPath);

  if (s.session.IsOpen()) {
    s.session.Put({"=== Kelp Marrow session start ", TakeLineStamp().View(), " ===\n"});
    if (!s.pendingDnsNote.empty()) {
      PutTagged(s.session, "[dns_policy]", s.pendingDnsNote);
      s.pendingDnsNote.clear();
    }
  }

  s.core.Close();
  s.corePath.clear();
  bool diagnostics = fs::exists(dataDirectory / kSwitchName, ec) && !ec;
  if (diagnostics) {
    PruneOldLogs(logs, kKeepLogs, kCorePrefix);
    s.corePath = logs / (L"core-" + wideStamp + L".log");
    bool opened = s.core.Open(s.corePath);
    PutTagged(s.session, "[diagnostic]",
              opened ? "core log enabled" : "core log could not be opened");
  }
}

void SessionLog::End() {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.session.IsOpen()) {
    s.session.Put({"=== session end ", TakeLineStamp().View(), " ===\n"});
    s.session.Close();
  }
  s.core.Close();
}

void SessionLog::Write(std::string_view tag, std::string_view text) {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.session.IsOpen()) return;
  PutTagged(s.session, tag, text);
}

void SessionLog::WriteCore(std::string_view lines) {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.core.IsOpen()) return;
  s.core.PutCoreLines(TakeLineStamp().View(), lines);
}

fs::path SessionLog::CurrentPath() {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.sessionPath;
}

void SessionLog::SetPendingDnsNote(std::string note) {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.pendingDnsNote = std::move(note);
}
