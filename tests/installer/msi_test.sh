#!/usr/bin/env bash
# msi_test.sh <windows-build-dir>: the MSI under Wine's msiexec, silently
# (/qn). MSIs of the test build of the service (Wine keeps no ACLs, so the
# shipped service refuses every folder): one of a lower version installed,
# then upgraded in place; the layout in Program Files; a session through the
# service; the removal, and what it leaves. Then the shipped MSI (the `msi`
# target's), whose install fails on the folder rule and rolls back.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: msi_test.sh <windows-build-dir>}" && pwd)
export WINEPREFIX="$build/wine" WINEDEBUG=-all
work="$build/msi-test" drive="$build/wine/drive_c"
installed="$drive/Program Files/Tovix"
# Wine's msiexec puts an all-users shortcut in the installing user's Start
# menu; Windows, in ProgramData's.
shortcut() {
  cat "$drive"/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Tovix.lnk \
    "$drive"/users/*/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/Tovix.lnk 2>/dev/null || true
}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }
msiexec() {  # msiexec <mode> <msi or product code> <what>: times it, keeps its log
  local start=$(date +%s%N) code
  timeout 120 "$build/tools/wine-run" msiexec "$1" "$([[ $2 == /* ]] && winpath "$2" || echo "$2")" /qn /l*v "$(winpath "$work/$3.log")" 2>/dev/null
  code=$?
  echo "$3: msiexec $1 exited with $code after $((($(date +%s%N) - start) / 1000000)) ms"
  return $code
}
registered() {
  wine reg query 'HKLM\System\CurrentControlSet\Services\TovixService' /v ImagePath 2>/dev/null | tr -d '\r' | grep ImagePath | sed 's/^ *//'
}
products() {
  wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' \
    | grep -cE 'DisplayName +REG_SZ +Tovix$'
}
# Nothing of Tovix's machine state is left.
nothing_left() {
  [ ! -e "$installed" ] || fail "$1: C:\\Program Files\\Tovix is left"
  [ -z "$(registered)" ] || fail "$1: the service is left"
  [ "$(products)" = 0 ] || fail "$1: a product is left registered"
  [ -z "$(shortcut)" ] || fail "$1: the shortcut is left"
  [ ! -e "$drive/ProgramData/Kelpmarrow" ] || fail "$1: ProgramData\\Kelpmarrow is left"
  ! wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Dnscache\Parameters\DnsPolicyConfig\{3D8E5F71-2A64-4B9C-9E13-7C42A5D08E6B}' \
    >/dev/null 2>&1 || fail "$1: the DNS rule is left"
}

# What an earlier run that failed may have left installed goes first.
for product in $(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null \
                 | tr -d '\r' | awk '/^HKEY/ {key = $0} /DisplayName +REG_SZ +Tovix$/ {sub(/.*\\/, "", key); print key}'); do
  msiexec /x "$product" leftover
done
shipped=$(ls "$build"/Tovix-*-x64.msi | head -1)
version=$(basename "$shipped" | sed 's/^Tovix-\(.*\)-x64\.msi$/\1/')
# The test build's bundle, at this version and at a lower one.
rm -rf "$work" "$installed-session"
mkdir -p "$work"
cp -r "$build/msi/bundle" "$work/bundle"
cp "$build/bin/TovixServiceUnderTest.exe" "$work/bundle/TovixService.exe"
for v in "$version" 0.9.0.0; do
  cmake -DBUNDLE="$work/bundle" -DOUTPUT="$work/$v.msi" -DVERSION="$v" -DWORK="$work/wxs" \
    -P "$build/installer/make_msi.cmake" >/dev/null || fail "the MSI of version $v was not built"
done

msiexec /i "$work/0.9.0.0.msi" lower || fail "the lower version did not install"
msiexec /i "$work/$version.msi" upgrade || fail "the upgrade did not install"
[ "$(registered)" = "ImagePath    REG_SZ    \"C:\\Program Files\\Tovix\\TovixService.exe\"" ] \
  || fail "after the upgrade the service is registered as [$(registered)]"
[ "$(products)" = 1 ] || fail "after the upgrade $(products) products are registered"
[ "$(cd "$work/bundle" && find . | sort)" = "$(cd "$installed" && find . | sort)" ] \
  || fail "Program Files\\Tovix does not hold the bundle: $(cd "$installed" && find . | sort | tr '\n' ' ')"
shortcut | grep -aqF 'C:\Program Files\Tovix\Tovix.exe' || fail "no Start menu shortcut to Tovix.exe"

output=$(TOVIX_DEMO_INSTALLED=1 "$here/../../tools/demo.sh" "$build" "$installed" 2>&1)
for line in '"state": "running"' '"state": "idle"' 'script-end'; do
  grep -qF "$line" <<<"$output" || fail "the session through the service shows no $line"
done
[ -d "$drive/ProgramData/Kelpmarrow/core" ] || fail "the service made no ProgramData\\Kelpmarrow\\core"
rm -rf "$installed-session"

msiexec /x "$work/$version.msi" remove || fail "the removal failed"
nothing_left "after the removal"
ls -d "$drive"/users/*/AppData/Local/Kelpmarrow/logs >/dev/null 2>&1 || fail "the users' logs were removed"

if msiexec /i "$shipped" shipped; then fail "the shipped MSI installed under Wine"; fi
grep -qF 'TovixService.exe must be installed in a folder only administrators can change' "$work/shipped.log" \
  || fail "the shipped MSI's log has no line of the switch"
nothing_left "after the shipped MSI's rollback"

if [ "$failures" -ne 0 ]; then
  echo "$output"
  exit 1
fi
echo "MSI: $(stat -c %s "$shipped") bytes"
