// The one record of the running VPN core and the lock that guards it.
// Written by the launch and the stop on the window thread; read by the
// output reader, the exit watcher, the DNS policy worker and the network
// monitor.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/unique_resource.h"

// What a stop needs to free a reader whose read cannot end by itself. Shared
// by the reader and the record, so that a reader left behind by a timed-out
// stop never reports into the next core's control.
struct CoreReaderControl {
  std::atomic<DWORD> threadId{0};      // set by the reader when it starts
  std::atomic<bool> finished{false};  // set by the reader when it is done
  // Set with `finished`, so that a stop waits for it rather than polls.
  tovix::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

struct CoreProcessRecord {
  // Guarded by CoreLock (the launch writes them while `running` is false or
  // before the threads that read them exist).
  // Wait and query rights only: the privileged program alone can end it.
  tovix::UniqueHandle process;
  DWORD pid = 0;
  std::uint64_t brokerCore = 0;  // the privileged program's number for it
  tovix::UniqueHandle outputRead;
  std::thread readerThread;   // CoreOutputReader of the current core
  std::thread watcherThread;  // ExitWatcher of the current core
  std::shared_ptr<CoreReaderControl> readerControl;  // of readerThread

  // Read without the lock. `running` changes only by exchange: whoever turns
  // it from true to false (StopCore or ExitWatcher) reports the end. A new
  // core is counted and marked running under CoreLock (MarkCoreRunning), and
  // the watcher makes its claim under it too (ClaimCoreEnd), so that a start
  // never falls between the watcher's "still my core?" and its claim.
  // `coreGeneration` counts launches (RetireEarlierCores) as well as cores;
  // it changes only under CoreLock.
  std::atomic<bool> running{false};
  std::atomic<std::uint64_t> coreGeneration{0};
};

extern CoreProcessRecord CoreProcess;

// Guards CoreProcess (all but the atomics) and the event state of
// vpn_events.cpp. Lock order: CoreLock before the session log's lock; never
// held while waiting for the core or joining its threads, never held while
// an event is emitted.
extern std::mutex CoreLock;

// Counts a new core and sets `running`, as one step under CoreLock. Returns
// the new core's generation. Window thread (the launch).
std::uint64_t MarkCoreRunning();

// Counts a launch before it opens its session log: from then on, the readers
// and watchers of earlier cores are no longer current and say nothing more (a
// reader left behind by a timed-out stop would otherwise write its reports
// and log lines into this launch's files). Under CoreLock. Window thread.
void RetireEarlierCores();

// Runs `action` under CoreLock if core `generation` is still the current one;
// true when it ran. `action` may write the session log but must not take
// CoreLock nor emit an event. Any thread.
bool IfCurrentCore(std::uint64_t generation, const std::function<void()>& action);

// The exit watcher's claim on the end of core `generation`: clears `running`
// and answers true only if that core is still the current one and was still
// running, as one step under CoreLock. Any thread.
bool ClaimCoreEnd(std::uint64_t generation);

// True only while `running` is set and the held process has not exited.
bool IsOurVpnRunning();

// Joins the reader, then the watcher, if joinable. Window thread only.
void JoinCoreThreads();
