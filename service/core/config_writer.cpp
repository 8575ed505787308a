#include "service/core/config_writer.h"

#include <atomic>

#include "channels/secure_wipe.h"
#include "common/lasting_worker.h"

struct ConfigWrite::Job {
  std::string config;
  tovix::UniqueHandle pipe;
  tovix::UniqueHandle ended{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> delivered{false};
  ~Job() { flutter::WipeString(config); }
};

namespace {

std::atomic<void (*)()> writerHook{nullptr};

// A write's whole work, on the writer thread.
void Write(ConfigWrite::Job& job) {
  if (void (*hook)() = writerHook.load()) hook();
  DWORD written = 0;
  const DWORD length = static_cast<DWORD>(job.config.size());
  const BOOL ok = WriteFile(job.pipe.get(), job.config.data(), length, &written, nullptr);
  job.delivered.store(ok && written == length);
  job.pipe.reset();
  flutter::WipeString(job.config);
  SetEvent(job.ended.get());
}

LastingWorker& TheWriter() {
  static LastingWorker* writer = new LastingWorker;
  return *writer;
}

}  // namespace

bool ConfigWrite::Start(std::string config, tovix::UniqueHandle pipe) {
  job_ = std::make_shared<Job>();
  job_->config = std::move(config);
  flutter::WipeString(config);
  job_->pipe = std::move(pipe);
  return job_->ended && TheWriter().Post([job = job_] { Write(*job); });
}

bool ConfigWrite::Ended(DWORD ms, HANDLE client) const {
  const HANDLE waits[] = {job_->ended.get(), client};
  return WaitForMultipleObjects(client != nullptr ? 2 : 1, waits, FALSE, ms) == WAIT_OBJECT_0;
}

void ConfigWrite::Cancel() const {
  if (HANDLE writer = TheWriter().Thread()) CancelSynchronousIo(writer);
}

bool ConfigWrite::Delivered() const { return job_->delivered.load(); }

void SetConfigWriterHookForTests(void (*hook)()) { writerHook.store(hook); }
