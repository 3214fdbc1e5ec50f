#!/bin/sh
# Runs a test in a private network and mount namespace: loopback up, one
# address from a documentation range that counts as a public one, one private
# address, and a resolver that points at 127.0.0.1:53, where the test drops
# every query. Exits 77 (skipped) where namespaces are not allowed.
set -e
if [ -z "$CORVANE_IN_PRIVATE_NET" ]; then
    unshare -n -m true 2>/dev/null || exit 77
    export CORVANE_IN_PRIVATE_NET=1
    exec unshare -n -m "$0" "$@"
fi
ip link set lo up
ip addr add 198.51.100.7/32 dev lo
ip addr add 10.77.0.7/32 dev lo
resolv=$(mktemp)
trap 'rm -f "$resolv"' EXIT
printf 'nameserver 127.0.0.1\noptions timeout:30 attempts:3\n' > "$resolv"
mount --bind "$resolv" /etc/resolv.conf
"$@"
