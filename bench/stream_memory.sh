#!/usr/bin/env bash
# Host memory while a client streams a 1080p desktop: the resident size of ombrel-host before
# any session, while one paired client watches a stream, and after it left.
# Runs its own Xvfb and a throw-away XDG tree; nothing touches the real desktop or network.
#
#   bench/stream_memory.sh [BUILD_DIR=build/gcc] [SECONDS=10] [CODEC=h264] [PICTURE=static]
#
# PICTURE static leaves Xvfb's picture alone: the host sends the first picture and its
# refinements and then idles. PICTURE changing has `stream_bench --animate` scroll coloured
# blocks over the whole screen, so every frame is captured and encoded (build the stream_bench
# target too). With SMAPS=FILE the host's /proc/PID/smaps at its peak is saved to FILE.
set -euo pipefail
build=${1:-build/gcc}
seconds=${2:-10}
codec=${3:-h264}
picture=${4:-static}
host_bin="$build/Ombrel_Remote_Host/ombrel-host"
client_bin="$build/tools/ombrel-client/ombrel-client"
animator_bin="$build/bench/stream_bench"
case "$picture" in
  static) ;;
  changing)
    [ -x "$animator_bin" ] || { echo "$animator_bin is not built" >&2; exit 2; } ;;
  *) echo "PICTURE is static or changing, not $picture" >&2; exit 2 ;;
esac
tmp=$(mktemp -d)
cleanup() {
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$tmp/display" >/dev/null 2>&1 &
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$tmp/display")"

mkfifo "$tmp/answers"
exec 4<>"$tmp/answers"
env HOME="$tmp" XDG_CONFIG_HOME="$tmp/host/config" XDG_DATA_HOME="$tmp/host/data" \
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$tmp/none" DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/none" \
  "$host_bin" --headless --port 0 <"$tmp/answers" >"$tmp/host.out" 2>/dev/null &
host_pid=$!
for _ in $(seq 100); do grep -q 'listening port=' "$tmp/host.out" && break; sleep 0.1; done
port=$(grep -o 'listening port=[0-9]*' "$tmp/host.out" | head -1 | cut -d= -f2)

client() {
  env HOME="$tmp" XDG_CONFIG_HOME="$tmp/client/config" XDG_DATA_HOME="$tmp/client/data" \
    "$client_bin" --connect "127.0.0.1:$port" "$@"
}
client --pair --name Bench >/dev/null &
for _ in $(seq 100); do grep -q '\[Bench ' "$tmp/host.out" && break; sleep 0.1; done
sleep 3.2 # the card's arming
echo o >&4
wait $!

rss() { awk '/^VmRSS/ { print $2 }' "/proc/$host_pid/status"; }
idle=$(rss)
[ "$picture" = changing ] && "$animator_bin" --animate 2>/dev/null &
client --stream --codec "$codec" --size 1920x1080 --fps 60 --seconds "$seconds" >"$tmp/stream.out" &
client_pid=$!
peak=0
while kill -0 $client_pid 2>/dev/null; do
  now=$(rss)
  if [ "$now" -gt "$peak" ]; then
    peak=$now
    [ -n "${SMAPS:-}" ] && cp "/proc/$host_pid/smaps" "$SMAPS"
  fi
  sleep 0.2
done
wait $client_pid || true
sleep 1
after=$(rss)
frames=$(grep -o '"frames":[0-9]*' "$tmp/stream.out" | tail -1 | cut -d: -f2)
echo "ombrel-host RSS: idle $((idle / 1024)) MiB, streaming 1080p $codec ($picture picture) peak $((peak / 1024)) MiB" \
  "(+$(((peak - idle) / 1024)) MiB, ${frames:-0} frames in ${seconds} s), after the session $((after / 1024)) MiB"
