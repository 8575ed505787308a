// The core's configuration written into its standard input by one writer
// thread that lives as long as the privileged program (a LastingWorker).
// The request thread starts a write and waits for it, bounded, and cancels
// it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "common/unique_resource.h"

class ConfigWrite {
 public:
  // Hands `config` and the pipe's write end to the writer thread; false when
  // that thread cannot be had (`config` is wiped either way).
  bool Start(std::string config, tovix::UniqueHandle pipe);
  // Whether the write ended within `ms`, before `client` (may be null)
  // ended.
  bool Ended(DWORD ms, HANDLE client = nullptr) const;
  // Cancels the write if the writer is inside it; a writer not yet there
  // misses the cancel.
  void Cancel() const;
  // Whether every byte was written.
  bool Delivered() const;

  struct Job;

 private:
  std::shared_ptr<Job> job_;
};

// Tests: what the writer calls before each write (nothing by default), so
// that a write can begin after its caller gave up on it.
void SetConfigWriterHookForTests(void (*hook)());
