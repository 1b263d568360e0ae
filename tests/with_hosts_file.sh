#!/bin/sh
# Runs a test program with a hosts file of its own, in a private mount
# namespace (Linux, as root): the name ip232-multi.test resolves to
# 127.0.0.2 .. 127.0.0.6, in that order, and the program finds that name in
# IP232_MULTI_ADDRESS_HOST. Where no namespace can be made the program runs
# as it is, and a test that needs the name skips.
#   tests/with_hosts_file.sh PROGRAM [ARGUMENT ...]
set -eu
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
{
  echo "127.0.0.1 localhost"
  for last in 2 3 4 5 6; do echo "127.0.0.$last ip232-multi.test"; done
} >"$hosts"
if command -v unshare >/dev/null 2>&1 &&
   unshare -m sh -c "mount --bind '$hosts' /etc/hosts" 2>/dev/null; then
  IP232_MULTI_ADDRESS_HOST=ip232-multi.test \
    unshare -m sh -c 'mount --bind "$0" /etc/hosts && exec "$@"' "$hosts" "$@"
else
  echo "with_hosts_file.sh: cannot make a private mount namespace here; running without the hosts file" >&2
  "$@"
fi
