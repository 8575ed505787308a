#!/usr/bin/env bash
# The chaos soak with the tunnel's DNS servers known, so that the privileged
# program's DNS worker finds them and installs the rule itself: in a network
# namespace of its own, an interface named "Kelpmarrow" and a resolv.conf
# with a chosen server (Wine's adapter list comes from the wineserver's side,
# started inside the namespace). Exits 77 (skipped) where namespaces cannot
# be made.
#
# Usage: chaos_soak_netns.sh <chaos_soak.exe> <wine prefix for the namespace>
#                            <wine-prefix.sh> [soak arguments]
set -uo pipefail
soak=$1 prefix=$2 prepare=$3
shift 3
ns=tovix-soak-$$
skip() { echo "SKIPPED: $*"; exit 77; }

[ "$(id -u)" = 0 ] || skip "not root: cannot create a network namespace"
command -v ip >/dev/null || skip "no ip command"
ip netns add "$ns" 2>/dev/null || skip "ip netns add failed (no CAP_NET_ADMIN?)"

export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
in_ns() { ip netns exec "$ns" "$@"; }
cleanup() {
  # Only the server of this namespace's own prefix.
  in_ns wineserver -k >/dev/null 2>&1
  ip netns del "$ns" 2>/dev/null
  rm -rf "/etc/netns/$ns"
}
trap cleanup EXIT

# A leftover server of an earlier run would answer from another namespace.
wineserver -k >/dev/null 2>&1

if ! in_ns ip link add Kelpmarrow type dummy 2>/dev/null; then
  in_ns ip link add Kelpmarrow type veth peer name kmpeer || skip "cannot create an interface"
  in_ns ip link set kmpeer up
fi
in_ns ip addr add 10.77.0.2/24 dev Kelpmarrow || exit 1
in_ns ip link set Kelpmarrow up || exit 1
in_ns ip link set lo up
mkdir -p "/etc/netns/$ns"
printf 'nameserver 172.19.0.2\n' >"/etc/netns/$ns/resolv.conf"

in_ns "$prepare" "$prefix" || { echo "could not prepare the Wine prefix"; exit 1; }
in_ns timeout 500 wine "$soak" --tunnel-dns "$@"
