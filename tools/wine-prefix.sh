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
fi
