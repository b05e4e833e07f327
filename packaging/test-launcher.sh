#!/usr/bin/env bash
# Checks radiolist-launch's choices without installing anything: the launcher is copied into a
# scratch prefix beside a stand-in radiolist that records where and how it was started.
#   packaging/test-launcher.sh
set -uo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
check() { # check DESCRIPTION COMMAND...
  if "${@:2}"; then
    echo "ok   $1"
  else
    echo "FAIL $1"
    failures=$((failures + 1))
  fi
}
same() { cmp -s "$1" "$2"; }

prefix=$tmp/prefix
mkdir -p "$prefix/bin" "$prefix/share/radiolist/example" "$prefix/share/radiolist/imag"
cp "$src/packaging/radiolist-launch" "$prefix/bin/"
cp "$src/example/Name.txt" "$src/example/url.txt" "$prefix/share/radiolist/example/"
cp "$src"/imag/*.bmp "$prefix/share/radiolist/imag/"
cat >"$prefix/bin/radiolist" <<'EOF'
#!/bin/sh
{ pwd; printf '%s\n' "$@"; } >"$RECORD"
EOF
chmod +x "$prefix/bin/radiolist"

# launch HOME [XDG_DATA_HOME] [ARGS...]: runs the launcher through a symlink, as a PATH entry
# like /usr/local/bin might point at it, with an otherwise empty environment.
ln -s "$prefix/bin/radiolist-launch" "$tmp/link-launch"
launch() {
  local home=$1 xdg=$2
  shift 2
  mkdir -p "$home"
  env -i PATH=/usr/bin:/bin HOME="$home" ${xdg:+XDG_DATA_HOME="$xdg"} RECORD="$tmp/record" \
    "$tmp/link-launch" "$@" >"$tmp/out" 2>&1
}
ran_in() { [ "$(head -n 1 "$tmp/record")" = "$1" ]; }

# A new user: starter list and every glyph copied, program run there with the arguments given.
home=$tmp/new
dir=$home/.local/share/radiolist
rm -f "$tmp/record"
check "a new user's launch succeeds" launch "$home" "" one "two words"
check "the stand-in ran in ~/.local/share/radiolist" ran_in "$dir"
check "the arguments reach the program unchanged" \
  test "$(tail -n +2 "$tmp/record")" = "$(printf 'one\ntwo words')"
touch "$tmp/here.pls"
(cd "$tmp" && launch "$home" "" here.pls http://h/x)
check "a relative file name reaches the program absolute, an address unchanged" \
  test "$(tail -n +2 "$tmp/record")" = "$(printf '%s\nhttp://h/x' "$tmp/here.pls")"
check "Name.txt is the starter list" same "$dir/Name.txt" "$src/example/Name.txt"
check "url.txt is the starter list" same "$dir/url.txt" "$src/example/url.txt"
for g in "$src"/imag/*.bmp; do
  check "imag/${g##*/} copied" same "$dir/imag/${g##*/}" "$g"
done

# An edited list and a user's own bitmap survive; a missing glyph comes back.
printf 'Mine\r\n' >"$dir/Name.txt"
printf 'http://127.0.0.1:9/\r\n' >"$dir/url.txt"
cp "$dir/imag/delete.bmp" "$dir/imag/stop.bmp"
rm "$dir/imag/play.bmp"
launch "$home" ""
check "an edited Name.txt is kept" test "$(cat "$dir/Name.txt")" = $'Mine\r'
check "an edited url.txt is kept" test "$(cat "$dir/url.txt")" = $'http://127.0.0.1:9/\r'
check "the user's own stop.bmp is kept" same "$dir/imag/stop.bmp" "$src/imag/delete.bmp"
check "a missing play.bmp is restored" same "$dir/imag/play.bmp" "$src/imag/play.bmp"

# Half a list is still the user's: neither file is written when one of them exists.
for present in Name.txt url.txt; do
  home=$tmp/half-$present
  dir=$home/.local/share/radiolist
  mkdir -p "$dir"
  printf 'kept\r\n' >"$dir/$present"
  launch "$home" ""
  check "with only $present present, it is kept" test "$(cat "$dir/$present")" = $'kept\r'
  other=Name.txt
  [ $present = Name.txt ] && other=url.txt
  check "with only $present present, no $other is made" test ! -e "$dir/$other"
  check "with only $present present, the program still starts there" ran_in "$dir"
done

# XDG_DATA_HOME is honoured when absolute and ignored when relative, as the XDG rules require.
launch "$tmp/xdg-home" "$tmp/xdg-data"
check "an absolute XDG_DATA_HOME holds the list" same "$tmp/xdg-data/radiolist/Name.txt" "$src/example/Name.txt"
check "the program runs in \$XDG_DATA_HOME/radiolist" ran_in "$tmp/xdg-data/radiolist"
(cd "$tmp" && launch "$tmp/rel-home" "relative/data")
check "a relative XDG_DATA_HOME is ignored" ran_in "$tmp/rel-home/.local/share/radiolist"
check "nothing is made under the relative XDG_DATA_HOME" test ! -e "$tmp/relative"

# No HOME: a clear refusal instead of a list in /.
rm -f "$tmp/record"
env -i PATH=/usr/bin:/bin RECORD="$tmp/record" "$tmp/link-launch" >"$tmp/out" 2>&1
status=$?
check "without HOME the launcher fails" test $status -ne 0
check "without HOME it says why" grep -q 'HOME is not set' "$tmp/out"
check "without HOME the program is not started" test ! -e "$tmp/record"

# A directory it cannot make: the launcher stops with mkdir's error and does not start the program.
if [ "$(id -u)" -ne 0 ]; then
  mkdir -p "$tmp/locked"
  chmod 0500 "$tmp/locked"
  rm -f "$tmp/record"
  launch "$tmp/locked-home" "$tmp/locked/data"
  check "an unwritable data directory stops the launcher" test ! -e "$tmp/record"
  chmod 0700 "$tmp/locked"
fi

if [ $failures -ne 0 ]; then
  echo "test-launcher: $failures check(s) FAILED"
  exit 1
fi
echo "test-launcher: all checks passed"
