#!/usr/bin/env bash
# Builds the Debian package of BUILD_DIR with cpack, checks its files and control fields, installs
# it into this machine with dpkg, starts radiolist-launch as a brand-new user (fresh HOME, offscreen
# Qt, no sound server) and removes the package again.
#
#   tools/test-package.sh BUILD_DIR [SANITIZER]
#
# SANITIZER is the build's RADIOLIST_SANITIZE (CTest passes it). A sanitizer build is never
# packaged, so the test then does nothing and exits 0. Installing needs root or sudo without a
# password; without either the test exits 77, which CTest reports as skipped.
# cpack first builds the build directory's default target, as `cmake --build` would.
set -uo pipefail

note() { echo "test-package: $*"; }
fail() { echo "test-package: FAILED: $*" >&2; exit 1; }

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 BUILD_DIR [SANITIZER]" >&2
  exit 2
fi
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(readlink -f "$1")
if [ -n "${2-}" ]; then
  note "SKIPPED: $build is a sanitizer build (RADIOLIST_SANITIZE=$2); only a plain build is packaged"
  exit 0
fi
[ -f "$build/CPackConfig.cmake" ] || fail "$build/CPackConfig.cmake is missing: configure $build first"
[ -x "$build/app/radiolist" ] || fail "$build/app/radiolist is missing: build it first"
for tool in cpack dpkg dpkg-deb dpkg-query dpkg-shlibdeps readelf ldd flock cmp desktop-file-validate \
  appstreamcli; do
  command -v "$tool" >/dev/null \
    || fail "$tool not found (dpkg-shlibdeps: dpkg-dev; readelf: binutils; desktop-file-validate: desktop-file-utils; appstreamcli: appstream)"
done

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then
    SUDO=(sudo -n)
  else
    note "SKIPPED: installing the package needs root or sudo without a password"
    exit 77
  fi
fi

# Every build directory on the machine installs the same package into the one dpkg database.
lock=/tmp/radiolist-package-test.lock
[ -e "$lock" ] || { : >"$lock" && chmod 0666 "$lock"; } 2>/dev/null
exec 9<"$lock" || fail "cannot open $lock"
flock -w 240 9 || fail "another package test has held $lock for 4 minutes"

tmp=$(mktemp -d)
pid=
installed=0
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  if [ $installed -eq 1 ]; then
    "${SUDO[@]}" dpkg -r radiolist >"$tmp/remove.log" 2>&1 || cat "$tmp/remove.log" >&2
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# dpkg ARGS...: runs dpkg, waiting out a lock held by someone else's apt or dpkg for up to 60 s.
dpkg_locked() {
  local out i
  for ((i = 0; i < 30; i++)); do
    if out=$("${SUDO[@]}" dpkg "$@" 2>&1); then
      return 0
    fi
    grep -qi 'lock' <<<"$out" || break
    sleep 2
  done
  printf '%s\n' "$out" >&2
  return 1
}

# --- build the package -------------------------------------------------------------------------
rm -f "$build"/package/radiolist_*.deb
note "cpack in $build"
if ! (cd "$build" && cpack -G DEB) >"$tmp/cpack.log" 2>&1; then
  tail -n 40 "$tmp/cpack.log" >&2
  fail "cpack failed (its log above)"
fi
debs=("$build"/package/radiolist_*.deb)
{ [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ]; } || fail "cpack made no radiolist_*.deb in $build/package"
deb=${debs[0]}
note "built $deb ($(stat -c %s "$deb") bytes)"

# --- control fields ----------------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
version=$(sed -n 's/^project(radiolist VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(field Package)" = radiolist ] || fail "Package is '$(field Package)', not radiolist"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's is '$version'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = sound ] || fail "Section is '$(field Section)', not sound"
[ "$(field Maintainer)" = "radiolist developers" ] || fail "Maintainer is '$(field Maintainer)'"
[[ "$(field Recommends)" == *fonts-dejavu-core* ]] || fail "Recommends '$(field Recommends)' lacks fonts-dejavu-core"
depends=$(field Depends)
note "Depends: $depends"
# Package names in Depends, without versions and alternatives' bars.
dep_names=$(tr ',|' '\n' <<<"$depends" | sed 's/(.*)//; s/[[:space:]]//g' | sed '/^$/d' | sort -u)

# --- files -------------------------------------------------------------------------------------
dpkg-deb -c "$deb" >"$tmp/contents" || fail "dpkg-deb -c cannot read $deb"
expected=(./usr/bin/radiolist ./usr/bin/radiolist-launch
          ./usr/share/applications/radiolist.desktop
          ./usr/share/metainfo/org.radiolist.radiolist.metainfo.xml
          ./usr/share/icons/hicolor/scalable/apps/radiolist.svg
          ./usr/share/radiolist/example/Name.txt ./usr/share/radiolist/example/url.txt)
for n in 16 24 32 48 64 128 256; do
  expected+=("./usr/share/icons/hicolor/${n}x${n}/apps/radiolist.png")
done
for g in "$src"/imag/*.bmp; do
  expected+=("./usr/share/radiolist/imag/${g##*/}")
done
awk '$1 !~ /^d/ {print $6}' "$tmp/contents" | sort >"$tmp/files"
printf '%s\n' "${expected[@]}" | sort >"$tmp/expected"
if ! cmp -s "$tmp/files" "$tmp/expected"; then
  diff "$tmp/expected" "$tmp/files" | sed 's/^/  /' >&2
  fail "the package's files differ from the expected list ('<' missing, '>' unexpected)"
fi
for exe in ./usr/bin/radiolist ./usr/bin/radiolist-launch; do
  awk -v f="$exe" '$6 == f {print $1}' "$tmp/contents" | grep -q '^-rwxr-xr-x$' \
    || fail "$exe is not installed as -rwxr-xr-x"
done
note "files: ${#expected[@]} as expected (binary, launcher, desktop file, 8 icons, starter list, glyphs)"

# The packaged program and what it links: each library it names must come from a package that
# Depends lists, and Depends lists nothing else. A sanitizer runtime must not be among them.
dpkg-deb -x "$deb" "$tmp/root" || fail "dpkg-deb -x cannot unpack $deb"
readelf -d "$tmp/root/usr/bin/radiolist" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' >"$tmp/needed"
[ -s "$tmp/needed" ] || fail "readelf finds no NEEDED libraries in the packaged binary"
if grep -E '^lib(a|t|ub)san' "$tmp/needed" >&2; then
  fail "the packaged binary links a sanitizer runtime"
fi
ldd "$tmp/root/usr/bin/radiolist" >"$tmp/ldd" || fail "ldd cannot resolve the packaged binary"
: >"$tmp/owners"
while read -r soname; do
  path=$(awk -v s="$soname" '$1 == s && $2 == "=>" {print $3}' "$tmp/ldd")
  [ -n "$path" ] || fail "ldd cannot find $soname"
  owner=
  for p in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr${path#/usr}"; do
    owner=$(dpkg-query -S "$p" 2>/dev/null | sed -n '1s/:.*//p') && [ -n "$owner" ] && break
  done
  [ -n "$owner" ] || fail "no installed package owns $path ($soname)"
  echo "$owner" >>"$tmp/owners"
  grep -qx "$owner" <<<"$dep_names" || fail "Depends lacks $owner, which provides $soname"
done <"$tmp/needed"
extra=$(comm -23 <(echo "$dep_names") <(sort -u "$tmp/owners"))
[ -z "$extra" ] || fail "Depends names packages the program does not link: $extra"
for want in libqt6widgets6 'libcurl4.*' 'libavformat[0-9]+' libpulse0; do
  grep -Eqx "$want" <<<"$dep_names" || fail "Depends has no $want"
done
note "Depends matches the $(wc -l <"$tmp/needed") libraries the program links"

# --- install -----------------------------------------------------------------------------------
before=$(dpkg-query -W -f='${Status} ${Version}' radiolist 2>/dev/null || true)
if [[ "$before" == "install ok installed"* ]]; then
  note "radiolist ${before##* } was installed already; it is replaced and removed at the end"
fi
installed=1
dpkg_locked -i "$deb" || fail "dpkg -i $deb failed"
for f in /usr/bin/radiolist /usr/bin/radiolist-launch; do
  [ -x "$f" ] || fail "$f is not there after dpkg -i"
done
desktop-file-validate /usr/share/applications/radiolist.desktop || fail "the installed desktop file is invalid"
appstreamcli validate --no-net /usr/share/metainfo/org.radiolist.radiolist.metainfo.xml \
  || fail "the installed metainfo file is invalid"
note "installed"

# --- run the launcher as a fresh user ----------------------------------------------------------
home=$tmp/home
data=$home/.local/share/radiolist
mkdir -p "$home" "$tmp/runtime"
chmod 0700 "$tmp/runtime"

# start N: runs the installed launcher with an otherwise empty environment.
start() {
  env -i PATH=/usr/bin:/bin HOME="$home" LANG=C.UTF-8 XDG_RUNTIME_DIR="$tmp/runtime" \
    QT_QPA_PLATFORM=offscreen PULSE_SERVER="unix:$tmp/no-sound-server/native" \
    radiolist-launch >"$tmp/run$1.log" 2>&1 &
  pid=$!
}
# running N: waits up to 5 s for the launcher to become /usr/bin/radiolist working in $data, then
# makes sure it is still alive 2 s later.
running() {
  local i
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || { cat "$tmp/run$1.log" >&2; fail "start $1: the program ended at once"; }
    [ "$(readlink "/proc/$pid/exe")" = /usr/bin/radiolist ] && break
    sleep 0.1
  done
  [ "$(readlink "/proc/$pid/exe")" = /usr/bin/radiolist ] \
    || fail "start $1: after 5 s the process is '$(readlink "/proc/$pid/exe")', not /usr/bin/radiolist"
  [ "$(readlink "/proc/$pid/cwd")" = "$data" ] \
    || fail "start $1: the program works in '$(readlink "/proc/$pid/cwd")', not $data"
  sleep 2
  kill -0 "$pid" 2>/dev/null || { cat "$tmp/run$1.log" >&2; fail "start $1: the program died within 2 s"; }
}
stop() {
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  pid=
}
same() { cmp -s "$1" "$2" || fail "$3: $1 differs from $2"; }

start 1
running 1
same "$data/Name.txt" /usr/share/radiolist/example/Name.txt "first start"
same "$data/url.txt" /usr/share/radiolist/example/url.txt "first start"
same "$data/Name.txt" "$src/example/Name.txt" "first start"
for g in "$src"/imag/*.bmp; do
  same "$data/imag/${g##*/}" "$g" "first start"
done
{ [ -O "$data/Name.txt" ] && [ -O "$data/imag" ]; } || fail "the copied files do not belong to the user"
glyphs=("$data"/imag/*.bmp)
note "first start: running in $data with the starter list and ${#glyphs[@]} glyphs"
stop

# The user's own list and bitmaps stay; only a glyph that went missing comes back.
printf 'My own station\r\n' >>"$data/Name.txt"
printf 'http://127.0.0.1:9/own\r\n' >>"$data/url.txt"
cp "$data/Name.txt" "$tmp/Name.edited"
cp "$data/url.txt" "$tmp/url.edited"
cp "$data/imag/delete.bmp" "$data/imag/stop.bmp"
rm "$data/imag/play.bmp"
start 2
running 2
same "$data/Name.txt" "$tmp/Name.edited" "second start overwrote the edited list"
same "$data/url.txt" "$tmp/url.edited" "second start overwrote the edited list"
same "$data/imag/play.bmp" /usr/share/radiolist/imag/play.bmp "second start did not restore a missing glyph"
same "$data/imag/stop.bmp" "$data/imag/delete.bmp" "second start overwrote the user's own stop.bmp"
note "second start: the edited list and the user's bitmap kept, the missing glyph restored"
stop

# --- remove ------------------------------------------------------------------------------------
dpkg_locked -r radiolist || fail "dpkg -r radiolist failed"
installed=0
[ ! -e /usr/bin/radiolist-launch ] || fail "/usr/bin/radiolist-launch is still there after dpkg -r"
note "PASSED: $(basename "$deb") builds, installs, starts for a new user and removes cleanly"
