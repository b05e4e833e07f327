#!/usr/bin/env bash
# Sets up the machine, builds the program and runs it on the sample channel list in example/
# (Name.txt, url.txt and the button bitmaps in example/imag). The program edits those files in
# place, as it would its user's own.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what the program needs: the packages, and the program's own target (tools/run-tests.sh
# builds and runs the rest).
bash tools/setup-debian.sh --program
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRADIOLIST_TESTS=OFF
cmake --build build -j "${RADIOLIST_JOBS:-2}" --target radiolist

cd example
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # A machine without a desktop: run on a virtual X server, so the program still starts (see
  # tools/screenshot.sh to look at it).
  echo "run-example: no DISPLAY; running on a virtual X server (xvfb-run). Stop with Ctrl-C."
  exec xvfb-run -a -s "-screen 0 1280x800x24" ../build/app/radiolist
fi
exec ../build/app/radiolist
