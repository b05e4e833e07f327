#!/usr/bin/env bash
# Takes the picture of the program's menu on its window (docs/window-menu.png):
#
#   tools/window-menu-shot.sh OUT.png DIR PROGRAM
#
# runs PROGRAM in a copy of DIR (a channel list, e.g. example/) on a private virtual X server,
# right-clicks its second name row and saves the window with the menu open over it.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 OUT.png DIR PROGRAM" >&2; exit 2; }
out=$(realpath -m "$1") program=$(realpath "$3")
work=$(mktemp -d)
cp -r "$2/." "$work/list"

display=
for n in $(seq 90 199); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "window-menu-shot: no free X display" >&2; exit 1; }
xvfb_pid='' app_pid=''
cleanup() {
  [ -z "$app_pid" ] || { kill "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; }
  [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
export DISPLAY=":$display"

(cd "$work/list" && XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config" \
  QT_QPA_PLATFORM=xcb exec "$program") &
app_pid=$!
window=$(xdotool search --sync --onlyvisible --pid "$app_pid" | head -n 1)
sleep 2
eval "$(xdotool getwindowgeometry --shell "$window")"
xdotool mousemove $((X + 60)) $((Y + 57)); sleep 0.3
xdotool click 3; sleep 1
xdotool mousemove $((X + 700)) $((Y + 360)); sleep 0.3  # the pointer off the items
import -display "$DISPLAY" -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out"
echo "window-menu-shot: $out"
