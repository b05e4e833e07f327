#!/usr/bin/env bash
# Stands in for icecast2 in the restart test: the first $CRASHES starts (counted in the file
# $CRASH_COUNT) die of a segmentation fault, as Icecast 2.4 sometimes does when it starts again
# right after a stop. $CRASH_WHEN says when: "early" before it answers, "late" once its first
# source has connected. Later starts are the real Icecast. Called as "icecast2 -c CONFIG".
set -u
n=$(cat "$CRASH_COUNT" 2>/dev/null || echo 0)
echo $((n + 1)) >"$CRASH_COUNT"
[ "$n" -lt "$CRASHES" ] || exec icecast2 "$@"
if [ "$CRASH_WHEN" = early ]; then
  kill -SEGV $$
fi
icecast2 "$@" &
port=$(sed -n 's:.*<port>\([0-9]*\)</port>.*:\1:p' "$2")
until curl -s --max-time 1 "http://127.0.0.1:$port/status-json.xsl" | grep -q '"source"'; do
  # The real Icecast may crash by itself on the way (the very fault this stands in for): then
  # this start dies with it, as Icecast would.
  if ! kill -0 $! 2>/dev/null; then
    wait $!
    exit $?
  fi
  sleep 0.05
done
kill -SEGV $!
wait $!
