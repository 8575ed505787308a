// One thread for the life of the process that runs what is posted to it,
// in order: a thread made for each task costs milliseconds under Wine. The
// thread is made at the first post and never joined (a task may still wait,
// on the user or on a core, while the process ends), and what it waits on
// is never destroyed, so that it can outlive the statics: make one with
// `new` and keep it.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

class LastingWorker {
 public:
  LastingWorker();
  LastingWorker(const LastingWorker&) = delete;
  LastingWorker& operator=(const LastingWorker&) = delete;

  // Runs `task` on the thread once the tasks before it have run; false when
  // the thread cannot be had.
  bool Post(std::function<void()> task);
  // The thread (to cancel its synchronous I/O), null before the first post.
  HANDLE Thread();

 private:
  static DWORD WINAPI Run(void* self);

  std::mutex lock_;
  std::deque<std::function<void()>> tasks_;
  HANDLE wake_;  // auto-reset
  HANDLE thread_ = nullptr;
};
