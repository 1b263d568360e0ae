#!/usr/bin/env bash
# Shows the bridge working without an emulator: builds the linux preset's
# programs (in build/linux), starts ip232-peer - a loopback IP232 server that
# echoes what it receives - on a free port, and runs ip232-term bridged to
# it. On a terminal you type and see your typing come back through the
# bridge (^] q quits, ^] - and ^] + drop and raise request-to-send);
# otherwise a short scripted exchange is sent. The peer's report follows.
# Usage: scripts/demo.sh   (environment: JOBS, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== building (cmake --preset linux; ip232-serial, ip232-term, ip232-peer)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j "${JOBS:-2}" \
  --target ip232-serial ip232-term ip232-peer >/dev/null
bin=build/linux/bin

peer_log=$(mktemp)
peer_pid=
cleanup() {
  if [ -n "$peer_pid" ]; then
    kill "$peer_pid" 2>/dev/null || true
    wait "$peer_pid" 2>/dev/null || true
  fi
  rm -f "$peer_log"
}
trap cleanup EXIT

"$bin/ip232-peer" --port 0 2>"$peer_log" &
peer_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^ip232-peer: listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' \
         "$peer_log")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "ip232-peer did not start:" >&2
  cat "$peer_log" >&2
  exit 1
fi

echo "== ip232-term host=127.0.0.1 port=$port   (ip232-peer echoes on that port)"
if [ -t 0 ]; then
  echo "   Type away: what you type goes out through the bridge and comes back."
  echo "   ^] q quits; ^] - drops request-to-send, ^] + raises it again."
  "$bin/ip232-term" host=127.0.0.1 port="$port"
  echo
else
  printf 'hello, modem\r\n' |
    "$bin/ip232-term" --linger 500 host=127.0.0.1 port="$port"
fi

# Let the peer notice the close before it is stopped.
for _ in $(seq 50); do
  grep -q 'connection closed' "$peer_log" && break
  sleep 0.1
done
echo "== ip232-peer reported"
cat "$peer_log"
