#!/usr/bin/env bash
# The real adapter path end to end: in a network namespace of its own, an
# interface named "Kelpmarrow" and a resolv.conf with chosen servers; the
# probe, run by a wineserver started inside that namespace (Wine's adapter
# list comes from the server's side), must report those servers followed by
# the fallback. Exits 77 (skipped) where namespaces cannot be made.
#
# With a whole-program test program as fourth argument, its network cases run
# there too: Tovix.exe with the stand-in core installs the rule with these
# servers, reports "installed", and removes the rule when the window closes;
# its guard removes it when the host is killed; an empty group-policy key
# gives "policy_managed".
#
# Usage: netns_tunnel_dns.sh <probe.exe> <wine prefix for the namespace> <wine-prefix.sh>
#                            [network_whole_program_tests.exe]
set -uo pipefail
probe=$1 prefix=$2 prepare=$3 whole=${4:-}
ns=tovix-dns-$$
skip() { echo "SKIPPED: $*"; exit 77; }

. "$(dirname "$0")/../support/tunnel_netns.sh"
tunnel_netns_up $'nameserver 172.19.0.2\nnameserver fd00::2\n' "$prepare"

failed=0
check() {  # adapter name, expected line
  local out
  out=$(in_ns timeout 60 wine "$probe" "$1" 2>&1 | tr -d '\r')
  if printf '%s\n' "$out" | grep -qxF "servers=$2"; then
    echo "ok: '$1' -> servers=$2"
  else
    echo "FAILED: '$1' expected servers=$2, got:"; printf '%s\n' "$out"
    failed=1
  fi
}
check Kelpmarrow "172.19.0.2;fd00::2;1.1.1.1"
check kelpmarrow ""
check "Kelpmarrow 2" ""

if [ -n "$whole" ]; then
  out=$(in_ns env TOVIX_NETNS_TUNNEL=1 timeout 320 wine "$whole" \
        --gtest_filter='NetworkWholeProgram.RuleLivesWhileTheCoreRuns:NetworkWholeProgram.LeftoverRule*:NetworkWholeProgram.HostEnded*:NetworkWholeProgram.InstalledService*:NetworkWholeProgram.EmptyGroupPolicy*' 2>&1 | tr -d '\r')
  if printf '%s\n' "$out" | grep -q '^\[  PASSED  \] 5 tests' &&
     ! printf '%s\n' "$out" | grep -q -e SKIPPED -e FAILED; then
    echo "ok: whole program in the namespace"
  else
    echo "FAILED: whole program in the namespace:"; printf '%s\n' "$out"
    failed=1
  fi
fi
exit $failed
