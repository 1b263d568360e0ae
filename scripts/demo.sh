#!/usr/bin/env bash
# Shows the bridge working without an emulator: installs what the build
# needs when it is missing (Debian's cmake, ninja-build, g++), builds the
# programs without the test framework (in build/demo), starts ip232-peer -
# a loopback IP232 server that echoes what it receives - on a free port, and
# runs ip232-term bridged to it. On a terminal you type and see your typing
# come back through the bridge (^] ? shows the state, ^] q quits);
# otherwise a short scripted exchange is sent. The peer's report follows.
# Usage: scripts/demo.sh   (environment: JOBS, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if ! command -v apt-get >/dev/null; then
    echo "demo.sh: please install ${missing[*]} (no apt-get here)" >&2
    exit 1
  fi
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "demo.sh: please install ${missing[*]} as root" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "== installing ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

echo "== building (build/demo: ip232-serial, ip232-term, ip232-peer)"
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DIP232_BUILD_TESTS=OFF -DIP232_BUILD_BENCH=OFF >/dev/null
# The whole build (no tests, no benchmark): the programs, and their manual
# pages where help2man is installed, so that `cmake --install build/demo`
# finds everything it installs.
cmake --build build/demo -j "${JOBS:-2}" >/dev/null
bin=build/demo/bin

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

echo "== ip232-term 127.0.0.1:$port   (ip232-peer echoes on that port)"
if [ -t 0 ]; then
  echo "   Type away: what you type goes out through the bridge and comes back."
  echo "   ^] ? shows the state, ^] q quits; ^] - drops request-to-send, ^] + raises it."
  # The peer echoes Enter as a bare CR; crlf shows it as a new line.
  "$bin/ip232-term" --receive-eol crlf 127.0.0.1:"$port"
  echo
else
  printf 'hello, modem\r\n' |
    "$bin/ip232-term" --linger 500 127.0.0.1:"$port"
fi

# Let the peer notice the close before it is stopped.
for _ in $(seq 50); do
  grep -q 'connection closed' "$peer_log" && break
  sleep 0.1
done
echo "== ip232-peer reported"
cat "$peer_log"
