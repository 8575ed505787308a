// The UI session: plays a UI script against the host on a thread of its own
// and records what happens in the transcript. Everything it does to the host
// goes through `runOnWindowThread`, which the engine implements by posting to
// its view window. Never part of the product.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channels/embedder_messenger_api.h"

// Opens (creates or truncates) the transcript at path, or closes it when the
// path is empty. Any thread.
void TranscriptOpen(const std::wstring& path);
void TranscriptWrite(const std::string& line);

class UiSession {
 public:
  using WindowThreadRunner = std::function<bool(std::function<void()> task)>;
  using CloseWindow = std::function<void()>;

  UiSession(FlutterDesktopMessengerRef messenger, std::wstring scriptPath,
            WindowThreadRunner runOnWindowThread, CloseWindow closeWindow);
  ~UiSession();  // Stop()

  UiSession(const UiSession&) = delete;
  UiSession& operator=(const UiSession&) = delete;

  // Starts playing the script (once). Window thread.
  void Start();
  // Cancels every wait and joins the script thread. Window thread.
  void Stop();

  // A message the host sent (messenger send hook). Any thread.
  void OnHostSend(const std::string& channel, const std::vector<uint8_t>& message);

 private:
  void Run();
  void RunLine(const std::string& line);
  void Call(const std::string& channel, const std::vector<uint8_t>& payload);
  void Wait(const std::string& channel, std::uint32_t milliseconds);
  // Sleeps unless cancelled; false when cancelled.
  bool Sleep(std::uint32_t milliseconds);

  FlutterDesktopMessengerRef messenger_;
  std::wstring scriptPath_;
  WindowThreadRunner runOnWindowThread_;
  CloseWindow closeWindow_;

  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  bool cancelled_ = false;
  bool started_ = false;
  std::deque<std::pair<std::string, std::vector<uint8_t>>> sends_;  // not consumed by a wait yet

  std::thread thread_;
};
