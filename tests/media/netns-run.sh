#!/usr/bin/env bash
# Runs a command inside a private network namespace that dies with it: loopback up, and a veth
# pair carrying the loopback-range address 127.0.1.1, because ICE gathers no candidates on lo.
# Needs root (tests and CI run as root); fails with the reason when the namespace cannot be made.
set -euo pipefail
if [ "${LECTERN_NETNS:-}" != 1 ]; then
  if ! unshare -n true 2>/dev/null; then
    echo "netns-run: cannot make a network namespace here (unshare -n needs root): media tests cannot run" >&2
    exit 1
  fi
  exec unshare -n env LECTERN_NETNS=1 "$0" "$@"
fi
ip link set lo up
# Chromium drops requests in flight when it sees the network change, so nothing may change once
# the command runs: no IPv6 link-local addresses on the pair (they would appear a second later,
# after duplicate address detection), and its link up before the command starts.
if [ -e /proc/sys/net/ipv6/conf/default/addr_gen_mode ]; then
  echo 1 > /proc/sys/net/ipv6/conf/default/addr_gen_mode
fi
ip link add v0 type veth peer name v1
ip addr add 127.0.1.1/32 dev v0
ip link set v0 up
ip link set v1 up
for _ in $(seq 100); do
  if ip -o link show v0 | grep -q 'state UP' && [ -z "$(ip -o addr show tentative)" ]; then
    exec "$@"
  fi
  sleep 0.05
done
echo "netns-run: the veth pair did not come up" >&2
exit 1
