#include "common/lasting_worker.h"

#include <utility>

LastingWorker::LastingWorker() : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

bool LastingWorker::Post(std::function<void()> task) {
  std::lock_guard guard(lock_);
  if (thread_ == nullptr && wake_ != nullptr) {
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
  }
  if (thread_ == nullptr) return false;
  tasks_.push_back(std::move(task));
  SetEvent(wake_);
  return true;
}

HANDLE LastingWorker::Thread() {
  std::lock_guard guard(lock_);
  return thread_;
}

DWORD WINAPI LastingWorker::Run(void* parameter) {
  auto& self = *static_cast<LastingWorker*>(parameter);
  for (;;) {
    WaitForSingleObject(self.wake_, INFINITE);
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard guard(self.lock_);
        if (self.tasks_.empty()) break;
        task = std::move(self.tasks_.front());
        self.tasks_.pop_front();
      }
      try {
        task();
      } catch (...) {
        // Wall: a thread entry lets nothing out.
      }
    }
  }
}
