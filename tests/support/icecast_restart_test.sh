#!/usr/bin/env bash
# test-servers.sh against an Icecast that crashes during its start-up (crashing_icecast.sh):
# start and icecast-up start it again until it serves, a bounded number of times, and leave
# nothing behind when it never does.
#   icecast_restart_test.sh SERVERS_SCRIPT DIR PORT
set -u
script=$1 dir=$2 port=$3
here=$(cd "$(dirname "$0")" && pwd)
export RADIOLIST_ICECAST_COMMAND="$here/crashing_icecast.sh" CRASH_COUNT="$dir.starts"
failures=0
trap 'bash "$script" stop "$dir" >/dev/null' EXIT

check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
fails() { ! "$@"; }
starts() { cat "$CRASH_COUNT"; }
crashing() { echo 0 >"$CRASH_COUNT"; export CRASHES=$1 CRASH_WHEN=$2; }
mount_live() {
  [ "$(curl -s --max-time 3 "http://127.0.0.1:$port/tone440.mp3" | head -c 4096 | wc -c)" -eq 4096 ]
}
no_icecast_left() { ! grep -q '^icecast ' "$dir/pids"; }

crashing 2 early
check "start survives two crashes before Icecast answers" bash "$script" start "$dir" "$port"
# The real Icecast sometimes crashes by itself when started right after a stop: a start more.
check "Icecast was started three times (or more)" test "$(starts)" -ge 3
check "the mounts are live after start" mount_live

bash "$script" icecast-down "$dir"
crashing 1 late
check "icecast-up survives a crash while the sources connect" bash "$script" icecast-up "$dir"
check "Icecast was started twice (or more)" test "$(starts)" -ge 2
check "the mounts are live after icecast-up" mount_live

# Icecast dying in mid-run (between two tests): ensure starts it and its feeders again.
crashing 0 early
check "ensure leaves live servers alone" test "$(bash "$script" ensure "$dir")" = ""
kill -SEGV "$(awk '$1 == "icecast" {p = $2} END {print p}' "$dir/pids")"
sleep 0.5
check "ensure starts a crashed Icecast again" bash "$script" ensure "$dir"
check "the mounts are live after ensure" mount_live

bash "$script" icecast-down "$dir"
crashing 100 early
check "icecast-up gives up when Icecast never stays up" fails bash "$script" icecast-up "$dir"
check "it tried four times" test "$(starts)" = 4
check "no Icecast is left recorded" no_icecast_left

rm -f "$CRASH_COUNT"
exit $((failures > 0))
