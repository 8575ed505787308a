#!/usr/bin/env bash
# Makes sure the Wine prefix given as $1 exists (headless: null graphics
# driver) and that one persistent wineserver runs for it. Safe to call from
# many processes at once; only the first does the work.
#
# Wine's helper processes inherit the standard streams of the first wine call
# of a server and keep them open until the server ends; that first call is
# therefore made with every stream on /dev/null, so that later programs'
# output ends when they do.
set -euo pipefail
prefix=$1
mkdir -p "$(dirname "$prefix")"
export WINEPREFIX=$prefix WINEDEBUG=-all
exec 9>"$prefix.lock"
flock 9
if [ ! -f "$prefix/.tovix-ready" ]; then
  rm -rf "$prefix"
  WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" wineboot --init </dev/null >/dev/null 2>&1 9>&-
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&-
  # The programs target Windows 10; Wine reports Windows 7 unless told.
  wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f </dev/null >/dev/null 2>&1 9>&-
  wineserver -w 9>&-
  touch "$prefix/.tovix-ready"
fi
# -p: persistent. It exits with 2 when a server for this prefix already runs.
# The lock's descriptor must not leak into the server, or the lock would be
# held for as long as the server lives.
if wineserver -p 2>/dev/null 9>&-; then
  WINEDLLOVERRIDES="winedbg.exe=d" wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
  # The desktop, made here once for the server's lifetime. Wine starts
  # explorer.exe for it from the first program that creates a window, with
  # that program's Unix standard error, and the desktop lives for as long as
  # any program of the prefix has a window. Left to a test, a runner waiting
  # for the end of that test's output would wait for the last of its
  # neighbours instead. A program that keeps a (hidden) window open, started
  # with every stream closed, makes the desktop with nobody's output and keeps
  # it until `wineserver -k`.
  WINEDLLOVERRIDES="winedbg.exe=d" wine notepad </dev/null >/dev/null 2>&1 9>&- &
  for _ in $(seq 150); do
    for pid in $(pgrep -f 'explorer\.exe /desktop' || true); do
      if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
        exit 0
      fi
    done
    sleep 0.1
  done
  echo "wine-prefix.sh: the desktop of $prefix did not start within 15 s" >&2
  exit 1
fi
