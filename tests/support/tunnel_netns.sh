# Sourced by the scripts that run Wine in a network namespace of their own
# with an interface named "Kelpmarrow" (Wine's adapter list comes from the
# wineserver's side, started inside the namespace). The caller sets `ns`
# (the namespace's name) and `prefix` (its Wine prefix) and defines `skip`.
# tunnel_netns_up <resolv.conf lines> <wine-prefix.sh>: makes the namespace,
# the interface, the resolv.conf and the prefix; removed again at exit.
# Exits 77 (skipped) where namespaces cannot be made.

in_ns() { ip netns exec "$ns" "$@"; }

tunnel_netns_cleanup() {
  # Only the server of this namespace's own prefix.
  in_ns wineserver -k >/dev/null 2>&1
  ip netns del "$ns" 2>/dev/null
  rm -rf "/etc/netns/$ns"
}

tunnel_netns_up() {
  [ "$(id -u)" = 0 ] || skip "not root: cannot create a network namespace"
  command -v ip >/dev/null || skip "no ip command"
  ip netns add "$ns" 2>/dev/null || skip "ip netns add failed (no CAP_NET_ADMIN?)"
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d
  trap tunnel_netns_cleanup EXIT
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
  printf '%s' "$1" >"/etc/netns/$ns/resolv.conf"
  in_ns "$2" "$prefix" || { echo "could not prepare the Wine prefix"; exit 1; }
}
