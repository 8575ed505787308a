#!/usr/bin/env bash
# install_session_test.sh <windows-build-dir>: lays the bundle out with
# `cmake --install` over an older bundle, checks that it holds exactly what
# ships, then plays the demo session in it under Wine (start, running, stop,
# close) through tools/demo.sh.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: install_session_test.sh <windows-build-dir>}" && pwd)
prefix="$build/bundle-test"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# An older bundle: debug files, a test program and a core beside the
# executable from the build's outputs, an app.so and assets of an earlier
# Flutter build, and one file of somebody else's.
rm -rf "$prefix" "$prefix-session"
mkdir -p "$prefix/bin" "$prefix/data/flutter_assets"
stale=(Tovix.exe.debug flutter_windows.dll.debug app_links_plugin.dll.debug bin/sing-box.exe.debug
       Tovix.pdb shell_tests.exe sing-box.exe data/app.so data/icudtl.dat data/flutter_assets/old.bin)
for file in "${stale[@]}"; do echo old > "$prefix/$file"; done
echo mine > "$prefix/notes.txt"

output=$("$here/../../tools/demo.sh" "$build" "$prefix" 2>&1)
code=$?
[ "$code" -eq 0 ] || fail "demo.sh exited with $code"

for file in "${stale[@]}"; do
  [ ! -e "$prefix/$file" ] || fail "stale $file was left in the bundle"
done
[ -f "$prefix/notes.txt" ] || fail "a file that is not the build's was removed"

# Exactly the shipped programs and DLLs, and nothing of the build beside them.
expected="Tovix.exe TovixDnsGuard.exe TovixService.exe app_links_plugin.dll audioplayers_windows_plugin.dll bin/sing-box.exe bin/wintun.dll
connectivity_plus_plugin.dll file_selector_windows_plugin.dll flutter_windows.dll url_launcher_windows_plugin.dll"
shipped=$(cd "$prefix" && find . -type f \( -iname '*.exe' -o -iname '*.dll' -o -iname '*.debug' -o -iname '*.pdb' \
            -o -iname '*.a' -o -iname '*.lib' \) | sed 's|^\./||' | sort | tr '\n' ' ')
want=$(echo "$expected" | tr ' \n' '\n\n' | sed '/^$/d' | sort | tr '\n' ' ')
[ "$shipped" = "$want" ] || fail "bundle holds [$shipped], expected [$want]"
[ -d "$prefix/data/flutter_assets" ] || fail "data/flutter_assets is missing"

# The session, as the UI saw it: start accepted, running, stopped, closed.
for line in 'reply kelpmarrow.vpn/core: success true' '"state": "running"' '"state": "stopping"' \
            '"state": "idle"' 'script-end'; do
  grep -qF "$line" <<<"$output" || fail "the session shows no $line"
done

if [ "$failures" -ne 0 ]; then
  echo "$output"
  exit 1
fi
rm -rf "$prefix" "$prefix-session"
