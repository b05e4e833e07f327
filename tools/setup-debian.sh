#!/usr/bin/env bash
# Installs the Debian 12 packages radiolist needs: with --program only what building and running
# the program takes (tools/run-example.sh), else everything the tests need too.
# Idempotent: when everything is installed already it touches nothing (no apt-get update).
set -euo pipefail

PROGRAM=(
  # build
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-l10n-tools
  libcurl4-openssl-dev ca-certificates
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libpulse-dev libebur128-dev
  # reading other players' station lists (header only)
  nlohmann-json3-dev
  # running: a virtual X server where there is no desktop, the window's fonts
  xvfb xauth fonts-dejavu-core
)
TESTS=(
  libgtest-dev libgmock-dev
  # fuzzing and the sanitizer runtimes of clang; the style check; the compiler cache
  clang libclang-rt-14-dev clang-format ccache
  # stream and sound servers, driving and looking at the window, media and protocol tools
  icecast2 ffmpeg pulseaudio pulseaudio-utils
  xdotool imagemagick
  sox python3 curl openssl dbus
  # the accessibility bus and registry a screen reader reads (at-spi-bus-launcher)
  at-spi2-core
  # addresses and routes in the network namespaces of the page-reach test
  iproute2
  # packaging: dpkg-shlibdeps, desktop-file-validate, appstreamcli, icon rendering
  dpkg-dev desktop-file-utils appstream librsvg2-bin
)
PACKAGES=("${PROGRAM[@]}")
[ "${1:-}" = --program ] || PACKAGES+=("${TESTS[@]}")

SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)

missing=()
for p in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup-debian: all ${#PACKAGES[@]} packages installed"
else
  echo "setup-debian: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${SUDO[@]}" apt-get update
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}"
fi

# Installing icecast2 may start the system's own Icecast (user icecast2, port 8000). The tests run
# private servers on other ports, so it does no harm; still, do not leave an unasked-for daemon
# behind. Its init script's "stop" would hit every icecast2 process on the machine, test servers
# included, so only the service's own process (by its config file) is stopped.
if [[ " ${missing[*]-} " == *" icecast2 "* ]]; then
  for proc in /proc/[0-9]*; do
    pid=${proc#/proc/}
    [ "$(cat "$proc/comm" 2>/dev/null)" = icecast2 ] || continue
    if tr '\0' ' ' <"$proc/cmdline" 2>/dev/null | grep -q '/etc/icecast2/icecast.xml'; then
      echo "setup-debian: stopping the icecast2 service (pid $pid) that its installation started"
      "${SUDO[@]}" kill "$pid" || true
    fi
  done
fi
