// The per-session log files under <dataDir>\logs and the optional core log.
// One process-wide record guarded by one mutex, the innermost lock of the
// host; every operation holds it for its whole run. Called from the window
// thread, the core's reader and exit watcher, the DNS policy worker and the
// network change callback.
#include "diagnostics/session_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
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
// Writes go straight to the file (no buffer of our own: each line is
// "flushed" as it is written) with text-mode line ends, as the C runtime's
// text mode stores them: every line feed becomes carriage return + line feed.
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

  // Write errors are ignored: a full disk must not stop the VPN.
  void Put(std::string_view text) {
    if (!IsOpen()) return;
    std::string disk;
    disk.reserve(text.size() + 8);
    for (char c : text) {
      if (c == '\n') disk.push_back('\r');
      disk.push_back(c);
    }
    const char* data = disk.data();
    std::size_t left = disk.size();
    while (left > 0) {
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(handle_.get(), data, chunk, &written, nullptr) || written == 0) return;
      data += written;
      left -= written;
    }
  }

 private:
  tovix::UniqueFileHandle handle_;
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

// Local calendar time of the wall clock, split into whole seconds and
// milliseconds from ticks of 100 ns since 1970.
struct Now {
  std::tm local{};
  int millis = 0;
};

Now TakeNow() {
  using Ticks = std::chrono::duration<long long, std::ratio<1, 10000000>>;
  long long ticks =
      std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(ticks / 10000000);
  Now now;
  now.millis = static_cast<int>((ticks / 10000) % 1000);
  localtime_s(&now.local, &seconds);
  return now;
}

std::string Format(const std::tm& time, const char* layout) {
  char buffer[64] = {};
  std::size_t length = std::strftime(buffer, sizeof buffer, layout, &time);
  return std::string(buffer, length);
}

std::string FileStamp() { return Format(TakeNow().local, "%Y%m%d-%H%M%S"); }

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
  std::string line;
  line.reserve(tag.size() + text.size() + 32);
  line += '[';
  line += LineStamp();
  line += "] ";
  line += tag;
  line += ' ';
  line += text;
  if (text.empty() || text.back() != '\n') line += '\n';
  file.Put(line);
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

std::string LineStamp() {
  Now now = TakeNow();
  char millis[8] = {};
  std::snprintf(millis, sizeof millis, ".%03d", now.millis);
  return Format(now.local, "%Y-%m-%d %H:%M:%S") + millis;
}

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
    s.session.Put("=== Kelp Marrow session start " + LineStamp() + " ===\n");
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
    s.session.Put("=== session end " + LineStamp() + " ===\n");
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

void SessionLog::WriteCore(std::string_view text) {
  LogState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (!s.core.IsOpen()) return;
  std::string line;
  line.reserve(text.size() + 32);
  line += '[';
  line += LineStamp();
  line += "] ";
  line += text;
  line += '\n';
  s.core.Put(line);
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
