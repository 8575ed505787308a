#include "service/core/config_writer.h"

#include <atomic>
#include <mutex>

#include "channels/secure_wipe.h"

struct ConfigWrite::Job {
  std::string config;
  tovix::UniqueHandle pipe;
  tovix::UniqueHandle ended{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> delivered{false};
  ~Job() { flutter::WipeString(config); }
};

namespace {

std::atomic<void (*)()> writerHook{nullptr};

class Writer {
 public:
  // The thread, started at first use; null when it cannot be.
  HANDLE Thread() {
    std::lock_guard guard(lock_);
    if (!thread_ && wake_) thread_.reset(CreateThread(nullptr, 0, Run, this, 0, nullptr));
    return thread_.get();
  }
  // A write posted while an earlier one still runs waits for it: only a
  // core that was terminated keeps a write that long, and it ends it.
  void Post(std::shared_ptr<ConfigWrite::Job> job) {
    {
      std::lock_guard guard(lock_);
      next_ = std::move(job);
    }
    SetEvent(wake_.get());
  }

 private:
  static DWORD WINAPI Run(void* parameter) {
    auto& self = *static_cast<Writer*>(parameter);
    for (;;) {
      WaitForSingleObject(self.wake_.get(), INFINITE);
      std::shared_ptr<ConfigWrite::Job> job;
      {
        std::lock_guard guard(self.lock_);
        job = std::move(self.next_);
      }
      if (!job) continue;
      if (void (*hook)() = writerHook.load()) hook();
      DWORD written = 0;
      const DWORD length = static_cast<DWORD>(job->config.size());
      const BOOL ok = WriteFile(job->pipe.get(), job->config.data(), length, &written, nullptr);
      job->delivered.store(ok && written == length);
      job->pipe.reset();
      flutter::WipeString(job->config);
      SetEvent(job->ended.get());
    }
  }

  std::mutex lock_;
  std::shared_ptr<ConfigWrite::Job> next_;
  tovix::UniqueHandle wake_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // auto-reset
  tovix::UniqueHandle thread_;
};

// Never destroyed: its thread may still wait on it while the process ends.
Writer& TheWriter() {
  static Writer* writer = new Writer;
  return *writer;
}

}  // namespace

bool ConfigWrite::Start(std::string config, tovix::UniqueHandle pipe) {
  job_ = std::make_shared<Job>();
  job_->config = std::move(config);
  flutter::WipeString(config);
  job_->pipe = std::move(pipe);
  if (!job_->ended || TheWriter().Thread() == nullptr) return false;
  TheWriter().Post(job_);
  return true;
}

bool ConfigWrite::Ended(DWORD ms, HANDLE client) const {
  const HANDLE waits[] = {job_->ended.get(), client};
  return WaitForMultipleObjects(client != nullptr ? 2 : 1, waits, FALSE, ms) == WAIT_OBJECT_0;
}

void ConfigWrite::Cancel() const { CancelSynchronousIo(TheWriter().Thread()); }

bool ConfigWrite::Delivered() const { return job_->delivered.load(); }

void SetConfigWriterHookForTests(void (*hook)()) { writerHook.store(hook); }
