#!/usr/bin/env bash
# Takes a screenshot of a program on a private virtual X server:
#
#   tools/screenshot.sh [--root] OUT.png DIR SECONDS COMMAND [ARG...]
#
# starts Xvfb on a free display, runs COMMAND in DIR on it (Qt's xcb platform), waits SECONDS,
# saves the program's top-level window to OUT.png (the whole screen with --root, or when no
# window of the program is found), then stops the program and the X server.
# Example: tools/screenshot.sh /tmp/main.png example 3 ../build/app/radiolist
set -euo pipefail

root=0
if [ "${1:-}" = --root ]; then root=1; shift; fi
if [ $# -lt 4 ]; then
  echo "usage: $0 [--root] OUT.png DIR SECONDS COMMAND [ARG...]" >&2
  exit 2
fi
out=$(realpath -m "$1") dir=$2 wait=$3
shift 3

display=
for n in $(seq 90 199); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "screenshot: no free X display between :90 and :199" >&2; exit 1; }

xvfb_pid='' app_pid=''
cleanup() {
  [ -z "$app_pid" ] || { kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; }
  [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
}
trap cleanup EXIT

Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { echo "screenshot: Xvfb :$display did not start" >&2; exit 1; }
  sleep 0.1
done
export DISPLAY=":$display"

(cd "$dir" && QT_QPA_PLATFORM=xcb exec "$@") &
app_pid=$!
sleep "$wait"
kill -0 "$app_pid" 2>/dev/null || echo "screenshot: warning: the program has already exited" >&2

target=root
if [ $root -eq 0 ] && command -v xdotool >/dev/null; then
  window=$(xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | head -n 1 || true)
  [ -z "$window" ] || target=$window
fi
/usr/bin/import -display "$DISPLAY" -window "$target" "$out"
echo "screenshot: $out ($( [ "$target" = root ] && echo "whole screen" || echo "window $target"))"
