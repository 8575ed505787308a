#!/usr/bin/env bash
# tools/demo.sh <windows-build-dir> [<bundle-folder>]: one demo session of
# Tovix.exe under Wine with the stand-ins. Lays out the bundle with
# `cmake --install` (Tovix.exe, TovixService.exe, TovixDnsGuard.exe,
# flutter_windows.dll, the plugin DLLs, data\flutter_assets, bin\sing-box.exe,
# bin\wintun.dll; by default in <build>/demo, updated in place), plays a UI
# script there (listen for events, status, start with a sample configuration,
# which starts TovixService.exe through "runas", wait for "running", status,
# logPath, stop, close), then prints the decoded transcript and the session log.
# With TOVIX_DEMO_INSTALLED=1 the bundle folder is played as it is (an
# installed one: the MSI's test lays it out).
set -euo pipefail
build=$(cd "${1:?usage: demo.sh <windows-build-dir> [<bundle-folder>]}" && pwd)
run="$build/tools/wine-run"
bin="$build/bin"
demo=$(mkdir -p "${2:-$build/demo}" && cd "${2:-$build/demo}" && pwd)
# The script and the transcript stay out of the bundle.
session="$demo-session"

[ "${TOVIX_DEMO_INSTALLED:-}" = 1 ] || cmake --install "$build" --prefix "$demo" >/dev/null
rm -rf "$session"
mkdir -p "$session"

call() { "$run" "$bin/tovix_transcript.exe" --call "$@" | tr -d '\r'; }
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

config='{"log":{"level":"info"},"inbounds":[{"type":"tun","tag":"tun-in","interface_name":"Kelpmarrow","address":["172.19.0.1/30"],"auto_route":true}],"outbounds":[{"type":"direct","tag":"direct"}]}'
core=kelpmarrow.vpn/core
events=kelpmarrow.vpn/events
cat > "$session/demo.script" <<SCRIPT
# listen for VPN events, then a session from start to stop
call $events $(call listen)
call $core $(call status)
call $core $(call start "$config")
# "starting" (twice), then "running"
wait $events 15000
wait $events 15000
wait $events 15000
call $core $(call status)
call $core $(call logPath)
call $core $(call stop)
wait $events 10000
wait $events 10000
close
SCRIPT

echo "== running Tovix.exe in $demo"
start=$(date +%s%N)
set +e
(cd "$demo" && TOVIX_UI_SCRIPT="$(winpath "$session/demo.script")" \
  TOVIX_UI_TRANSCRIPT="$(winpath "$session/transcript.txt")" timeout 120 "$run" ./Tovix.exe demo-argument)
code=$?
set -e
# Tenths of a second in shell arithmetic: bc is not on every fresh machine.
tenths=$((($(date +%s%N) - start) / 100000000))
printf '== Tovix.exe exited with %s after %d.%d s\n' "$code" $((tenths / 10)) $((tenths % 10))

echo "== transcript (decoded)"
"$run" "$bin/tovix_transcript.exe" "$(winpath "$session/transcript.txt")" | tr -d '\r'

logs=$(ls -d "$build"/wine/drive_c/users/*/AppData/Local/Kelpmarrow/logs 2>/dev/null | head -1 || true)
log=$( [ -n "$logs" ] && ls -t "$logs"/*.log 2>/dev/null | grep -v -i core | head -1 || true)
if [ -n "$log" ]; then
  echo "== session log $log"
  tr -d '\r' < "$log"
else
  echo "== no session log under LocalAppData\\Kelpmarrow\\logs"
fi
exit "$code"
