// "start" on a worker thread of its own, so that the window thread is never
// held by the elevation prompt, the privileged program's start or the
// launch: it keeps painting, moving and answering the channels meanwhile.
// The answer is given on the window thread once the worker is done, after
// the events it emitted. Every function here but StartCancelled runs on the
// window thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// The start itself, run on the worker: true, or false with the
// "start_failed" message.
using StartWork = std::function<bool(std::string& error)>;
// How a start ended: `started`, or the "start_failed" message.
using StartAnswer = std::function<void(bool started, const std::string& error)>;

// Whether a start is in flight (its answer not given yet).
bool StartInFlight();

// Runs `work` on the worker; `answer` gets its outcome on the window thread.
// Only while no start is in flight.
void BeginStart(StartWork work, StartAnswer answer);

// Ends a start in flight, for a stop or the window's end: the privileged
// connection goes (which ends whatever it launched) and the worker is
// awaited until `deadline` (GetTickCount64). The start is answered here when
// it has ended by then. True when no start is in flight any longer.
bool EndStart(ULONGLONG deadline);

// Any thread: the start in flight is to give up (the worker's own check,
// after the privileged side has been had).
bool StartCancelled();

// The window's end, after EndStart gave up on a worker that still waits
// (for the user's answer to the elevation prompt, say): the worker is let
// go, and its answer with it.
void AbandonStart();
