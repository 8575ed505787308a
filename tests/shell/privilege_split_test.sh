#!/usr/bin/env bash
# Which program may do what. Wine gives every process a full administrator
# token, so the elevation cannot be watched at run time; what can be checked
# is what each program asks for and what it is able to call:
# - Tovix.exe's manifest asks to run as the user who starts it, and its
#   imports hold none of the calls that act on the machine (the core's job,
#   process creation, device removal, the rule's tree deletion, installing
#   or changing a service);
# - TovixService.exe asks for administrator rights and imports system DLLs
#   only, so nothing from its folder but itself is ever loaded.
set -euo pipefail
bin=${1:?usage: privilege_split_test.sh <bin folder> <objdump>}
objdump=${2:?}
fail() { echo "FAIL: $*" >&2; exit 1; }

grep -qaF 'level="asInvoker"' "$bin/Tovix.exe" || fail "Tovix.exe does not ask to run as the user"
! grep -qaF 'requireAdministrator' "$bin/Tovix.exe" || fail "Tovix.exe asks for administrator rights"
grep -qaF 'level="requireAdministrator"' "$bin/TovixService.exe" ||
  fail "TovixService.exe does not ask for administrator rights"

imports=$("$objdump" -p "$bin/Tovix.exe")
for call in CreateJobObjectW AssignProcessToJobObject SetInformationJobObject CreateProcessW \
            CreateProcessAsUserW SetupDiCallClassInstaller SetupDiRemoveDevice RegDeleteTreeW \
            DnsFlushResolverCache CreateServiceW DeleteService ChangeServiceConfigW; do
  ! grep -qw "$call" <<<"$imports" || fail "Tovix.exe imports $call"
done

system_dlls='advapi32.dll bcrypt.dll cfgmgr32.dll iphlpapi.dll kernel32.dll msvcrt.dll ntdll.dll
setupapi.dll shell32.dll ws2_32.dll user32.dll'
for program in TovixService.exe TovixDnsGuard.exe; do
  for dll in $("$objdump" -p "$bin/$program" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z'); do
    grep -qw "$dll" <<<"$system_dlls" || fail "$program imports $dll"
  done
done
echo "privilege split holds"
