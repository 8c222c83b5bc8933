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
ip link add v0 type veth peer name v1
ip addr add 127.0.1.1/32 dev v0
ip link set v0 up
ip link set v1 up
exec "$@"
