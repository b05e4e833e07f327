#!/usr/bin/env bash
# Renders the application icon packaging/icons/radiolist.svg to the PNG sizes a desktop asks for,
# packaging/icons/hicolor/<N>x<N>/apps/radiolist.png. The PNGs are committed, so building and
# packaging need no SVG renderer; run this after changing the SVG and commit the result.
#
# Uses rsvg-convert (Debian package librsvg2-bin): ImageMagick's own SVG reader draws this icon
# off-centre and cut at the edges. Rendering is deterministic, so an unchanged SVG gives
# byte-identical PNGs.
#
#   tools/make-icons.sh           write the PNGs
#   tools/make-icons.sh --check   exit 1 if a committed PNG differs from a fresh rendering
set -euo pipefail
cd "$(dirname "$0")/.."

SIZES=(16 24 32 48 64 128 256)
SVG=packaging/icons/radiolist.svg
OUT=packaging/icons/hicolor

check=0
case "${1-}" in
  "") ;;
  --check) check=1 ;;
  *) echo "usage: $0 [--check]" >&2; exit 2 ;;
esac

if ! command -v rsvg-convert >/dev/null; then
  echo "make-icons: rsvg-convert not found (apt-get install librsvg2-bin)" >&2
  exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

stale=0
for n in "${SIZES[@]}"; do
  png="$OUT/${n}x${n}/apps/radiolist.png"
  rsvg-convert --width "$n" --height "$n" --format png --output "$tmp/$n.png" "$SVG"
  if [ $check -eq 1 ]; then
    if ! cmp -s "$tmp/$n.png" "$png"; then
      echo "make-icons: $png is out of date (run tools/make-icons.sh)" >&2
      stale=1
    fi
  else
    mkdir -p "$(dirname "$png")"
    cp "$tmp/$n.png" "$png"
    echo "make-icons: $png"
  fi
done
exit $stale
