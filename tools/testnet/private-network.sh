# shellcheck shell=bash
# Sourced by the private network's scripts: the one place the network, and
# firewall rules for it, may exist is a network namespace whose only
# interface is the loopback one (unshare -n; "ip link set lo up" first).
# The caller defines die.
require_private_network() {
  local interface others=()
  # /proc/net is the namespace's own (sysfs may still show the host's).
  while read -r interface; do
    [[ $interface == lo ]] || others+=("$interface")
  done < <(awk -F: 'NR > 2 { gsub(/ /, "", $1); print $1 }' /proc/net/dev)
  ((${#others[@]} == 0)) ||
    die "interfaces besides lo (${others[*]}): run inside 'unshare -n' with lo up"
  ip -o link show lo 2>/dev/null | grep -q 'UP' || die "the loopback interface is down"
}
