// Whole messages on the privileged program's pipe, for both of its sides.
#include "protocol/pipe_framing.h"

#include "protocol/broker_protocol.h"

namespace tovix::broker {

namespace {

// Most messages fit in the first read; a configuration takes a second.
constexpr DWORD kFirstReadBytes = 65536;

OVERLAPPED Fresh(HANDLE event) {
  ResetEvent(event);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  return overlapped;
}

// Waits for the pending operation until `waitMs` or a waker, and cancels it
// when a waker or the deadline came first. Answers what the wait answered;
// `done` and `moved` are the operation's own result (GetLastError after a
// failed one), which may be a completion that the cancel came too late for.
DWORD Await(HANDLE pipe, OVERLAPPED& overlapped, std::initializer_list<HANDLE> wakers,
            DWORD waitMs, BOOL& done, DWORD& moved) {
  // Null wakers are left out; a woken one is answered by its place in
  // `wakers`.
  HANDLE waits[MAXIMUM_WAIT_OBJECTS] = {overlapped.hEvent};
  DWORD place[MAXIMUM_WAIT_OBJECTS] = {};
  DWORD count = 1;
  DWORD at = 0;
  for (const HANDLE waker : wakers) {
    if (waker != nullptr && count < MAXIMUM_WAIT_OBJECTS) {
      place[count] = at;
      waits[count++] = waker;
    }
    ++at;
  }
  DWORD waited = WaitForMultipleObjects(count, waits, FALSE, waitMs);
  if (waited != WAIT_OBJECT_0) CancelIoEx(pipe, &overlapped);
  done = GetOverlappedResult(pipe, &overlapped, &moved, TRUE);
  if (waited > WAIT_OBJECT_0 && waited < WAIT_OBJECT_0 + count) {
    waited = WAIT_OBJECT_0 + 1 + place[waited - WAIT_OBJECT_0];
  }
  return waited;
}

}  // namespace

ReadResult ReadMessage(HANDLE pipe, HANDLE event, std::vector<std::uint8_t>& bytes,
                       std::initializer_list<HANDLE> wakers, DWORD waitMs) {
  bytes.assign(kFirstReadBytes, 0);
  OVERLAPPED overlapped = Fresh(event);
  DWORD got = 0;
  BOOL done = ReadFile(pipe, bytes.data(), kFirstReadBytes, &got, &overlapped);
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  if (!done && error == ERROR_IO_PENDING) {
    const DWORD waited = Await(pipe, overlapped, wakers, waitMs, done, got);
    error = done ? ERROR_SUCCESS : GetLastError();
    if (!done && error == ERROR_OPERATION_ABORTED) {
      if (waited == WAIT_TIMEOUT) return {ReadOutcome::TimedOut};
      if (waited > WAIT_OBJECT_0 && waited <= WAIT_OBJECT_0 + static_cast<DWORD>(wakers.size())) {
        return {ReadOutcome::Woken, waited - WAIT_OBJECT_0 - 1};
      }
      return {};
    }
  }
  if (done) {
    bytes.resize(got);
    return {ReadOutcome::Message};
  }
  if (error != ERROR_MORE_DATA) return {};
  // The rest of a longer message is in the pipe already.
  DWORD left = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, nullptr, &left) ||
      static_cast<std::size_t>(got) + left > kMaxMessageBytes) {
    return {};
  }
  bytes.resize(static_cast<std::size_t>(got) + left);
  overlapped = Fresh(event);
  DWORD more = 0;
  done = ReadFile(pipe, bytes.data() + got, left, &more, &overlapped);
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    Await(pipe, overlapped, {}, kWriteWaitMs, done, more);
  }
  if (!done || more != left) return {};
  return {ReadOutcome::Message};
}

bool WriteMessage(HANDLE pipe, HANDLE event, const std::vector<std::uint8_t>& bytes,
                  DWORD waitMs) {
  if (bytes.size() > kMaxMessageBytes) return false;
  OVERLAPPED overlapped = Fresh(event);
  DWORD written = 0;
  BOOL done =
      WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &overlapped);
  if (!done && GetLastError() == ERROR_IO_PENDING) {
    Await(pipe, overlapped, {}, waitMs, done, written);
  }
  return done && written == bytes.size();
}

}  // namespace tovix::broker
