// Tovix.exe's side of the privileged program (TovixService.exe): the
// installed service, started through the service manager when it is first
// needed, or else the program started through the elevation prompt; the
// checked connection to it, and its requests. Tovix.exe itself never needs
// administrator rights. Any thread; the connection is shared.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <optional>
#include <string>

#include "core/privileged_start.h"
#include "protocol/broker_protocol.h"

class PrivilegedClient {
 public:
  // What the privileged side found when it first answered.
  struct Hello {
    bool sweptLeftoverRule = false;
    bool guardRemovedRule = false;
  };

  // Starts and connects the privileged program unless connected. False with
  // the "start_failed" message in `error`. `hello` is filled only by a new
  // connection.
  static bool Ensure(std::string& error, std::optional<Hello>& hello);
  // Whether a connection stands (the program may still have ended since).
  static bool Connected();

  // Sends the request (id and kind filled in here) and waits for its reply,
  // at most `timeoutMs`. Nothing when there is no connection, it broke, or
  // the reply did not come in time.
  static std::optional<tovix::broker::Message> Call(tovix::broker::Kind kind,
                                                    tovix::broker::Message request,
                                                    DWORD timeoutMs);
  // The same without waiting: `done` runs on the connection's reader thread
  // with the reply, or with nothing when the connection breaks first.
  using Done = std::function<void(const std::optional<tovix::broker::Message>&)>;
  static bool CallAsync(tovix::broker::Kind kind, tovix::broker::Message request, Done done);

  // A new handle (wait rights) to the privileged process, null when none.
  static HANDLE DuplicateProcess();

  // Closes the connection and joins its reader. The privileged program ends
  // its core and rule when this process ends.
  static void Disconnect();

  // Tests: the program to start (or the installed service must run) instead
  // of TovixService.exe beside this one.
  static void SetProgram(std::wstring path);
  // Tests: what starts the program in place of ShellExecuteExW (under Wine
  // the elevation prompt is never declined); null restores it.
  using Starter = ElevatedStarter;
  static void SetStarter(Starter starter);
  // Tests: no reply to a `kind` request is waited for longer than `ms`, as
  // if the privileged side were slower than the wait; INFINITE undoes it.
  static void LimitReplyWaits(tovix::broker::Kind kind, DWORD ms);
};

