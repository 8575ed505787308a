// One message of the privileged program's pipe, read or written whole, the
// same way on both sides: a message-mode pipe opened for overlapped I/O, a
// message at most kMaxMessageBytes, a write that the other side does not
// take within its deadline given up. Any thread; one read and one write at a
// time per handle.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tovix::broker {

// How long a side waits for the other to take a message (or the rest of one
// it has begun).
inline constexpr DWORD kWriteWaitMs = 5000;

enum class ReadOutcome {
  Message,   // `bytes` holds one whole message
  Woken,     // one of the wakers was signalled first (its index in `woken`)
  TimedOut,  // nothing within the wait
  Broken,    // the pipe broke, or a message beyond the bound came
};

struct ReadResult {
  ReadOutcome outcome = ReadOutcome::Broken;
  DWORD woken = 0;
};

// Reads the next message into `bytes`, waiting at most `waitMs` (INFINITE
// for no bound) and no longer than until one of `wakers` is signalled. The
// read is cancelled then; a read cancelled before any byte moved loses none,
// and one that completed all the same is returned as a message. `event` is a
// manual-reset event of the caller's, for the overlapped read. A message
// beyond the bound is not read: the connection is to end.
ReadResult ReadMessage(HANDLE pipe, HANDLE event, std::vector<std::uint8_t>& bytes,
                       std::initializer_list<HANDLE> wakers, DWORD waitMs);

// Writes `bytes` as one message; false when it is beyond the bound, the
// write failed, or the other side did not take it within `waitMs`.
bool WriteMessage(HANDLE pipe, HANDLE event, const std::vector<std::uint8_t>& bytes,
                  DWORD waitMs = kWriteWaitMs);

}  // namespace tovix::broker
