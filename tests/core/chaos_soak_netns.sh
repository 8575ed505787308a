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

. "$(dirname "$0")/../support/tunnel_netns.sh"
tunnel_netns_up $'nameserver 172.19.0.2\n' "$prepare"
in_ns timeout 500 wine "$soak" --tunnel-dns "$@"
