// UI session: script thread, transcript file. The script thread only waits
// and hands work to the window thread; host callbacks never run on it.
#include "stand-ins/flutter_windows/ui_session.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "stand-ins/flutter_windows/standin_messenger.h"
#include "stand-ins/flutter_windows/standin_transcript.h"
#include "stand-ins/flutter_windows/ui_script.h"

namespace {

std::mutex transcriptMutex;  // guards transcriptFile
std::FILE* transcriptFile = nullptr;

constexpr std::uint32_t kCallTimeoutMs = 30000;
// A script is test input, not a program: anything larger is refused.
constexpr std::uintmax_t kMaxScriptBytes = 64u * 1024u * 1024u;

}  // namespace

void TranscriptOpen(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(transcriptMutex);
  if (transcriptFile != nullptr) std::fclose(transcriptFile);
  transcriptFile = path.empty() ? nullptr : _wfopen(path.c_str(), L"wb");
}

void TranscriptWrite(const std::string& line) {
  std::lock_guard<std::mutex> lock(transcriptMutex);
  if (transcriptFile == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), transcriptFile);
  std::fputc('\n', transcriptFile);
  std::fflush(transcriptFile);
}

extern "C" void TovixStandinTranscriptWrite(const char* line) {
  if (line != nullptr) TranscriptWrite(line);
}

UiSession::UiSession(FlutterDesktopMessengerRef messenger, std::wstring scriptPath,
                     WindowThreadRunner runOnWindowThread, CloseWindow closeWindow)
    : messenger_(messenger),
      scriptPath_(std::move(scriptPath)),
      runOnWindowThread_(std::move(runOnWindowThread)),
      closeWindow_(std::move(closeWindow)) {}

UiSession::~UiSession() { Stop(); }

void UiSession::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_ || cancelled_ || scriptPath_.empty()) return;
  started_ = true;
  thread_ = std::thread([this] { Run(); });
}

void UiSession::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void UiSession::OnHostSend(const std::string& channel, const std::vector<uint8_t>& message) {
  TranscriptWrite("send " + channel + " " + ToHex(message));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sends_.emplace_back(channel, message);
  }
  changed_.notify_all();
}

void UiSession::Run() {
  try {
    std::error_code error;
    std::uintmax_t size = std::filesystem::file_size(scriptPath_, error);
    std::ifstream script(std::filesystem::path(scriptPath_), std::ios::binary);
    if (!script || error || size > kMaxScriptBytes) {
      TranscriptWrite("bad-line <script unreadable>");
    } else {
      std::string line;
      while (std::getline(script, line)) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (cancelled_) return;
        }
        RunLine(line);
      }
    }
    TranscriptWrite("script-end");
  } catch (...) {
    TranscriptWrite("bad-line <script aborted>");
  }
}

void UiSession::RunLine(const std::string& line) {
  std::optional<UiDirective> directive = ParseUiDirective(line);
  if (!directive) {
    TranscriptWrite("bad-line " + TranscriptSafe(line));
    return;
  }
  switch (directive->kind) {
    case UiDirective::Kind::kSkip:
      return;
    case UiDirective::Kind::kCall:
      Call(directive->channel, directive->payload);
      return;
    case UiDirective::Kind::kWait:
      Wait(directive->channel, directive->milliseconds);
      return;
    case UiDirective::Kind::kSleep:
      Sleep(directive->milliseconds);
      return;
    case UiDirective::Kind::kClose:
      runOnWindowThread_(closeWindow_);
      return;
  }
}

void UiSession::Call(const std::string& channel, const std::vector<uint8_t>& payload) {
  struct Pending {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
  };
  auto pending = std::make_shared<Pending>();
  FlutterDesktopMessengerRef messenger = messenger_;
  // The reply line is written when the response arrives, on whatever thread
  // answers; the waiter only learns that it came.
  bool queued = runOnWindowThread_([messenger, channel, payload, pending] {
    StandinMessengerDeliver(messenger, channel, payload,
                            [channel, pending](const std::vector<uint8_t>& response) {
                              TranscriptWrite("reply " + channel + " " + ToHex(response));
                              {
                                std::lock_guard<std::mutex> lock(pending->mutex);
                                pending->done = true;
                              }
                              pending->answered.notify_all();
                            });
  });
  if (!queued) {
    TranscriptWrite("timeout " + channel);
    return;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCallTimeoutMs);
  while (true) {
    {
      std::unique_lock<std::mutex> lock(pending->mutex);
      if (pending->done) return;
      // Short slices so that a cancelled session stops promptly.
      pending->answered.wait_for(lock, std::chrono::milliseconds(20));
      if (pending->done) return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cancelled_) return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      TranscriptWrite("timeout " + channel);
      return;
    }
  }
}

void UiSession::Wait(const std::string& channel, std::uint32_t milliseconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    for (auto it = sends_.begin(); it != sends_.end(); ++it) {
      if (it->first == channel) {
        sends_.erase(it);
        return;
      }
    }
    if (cancelled_) return;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      bool found = false;
      for (auto it = sends_.begin(); it != sends_.end(); ++it) {
        if (it->first == channel) {
          sends_.erase(it);
          found = true;
          break;
        }
      }
      if (!found && !cancelled_) {
        lock.unlock();
        TranscriptWrite("timeout " + channel);
      }
      return;
    }
  }
}

bool UiSession::Sleep(std::uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return cancelled_; });
}
