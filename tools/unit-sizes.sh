#!/bin/sh
# The product's sizes as a reader meets them: source files over 500 lines and functions over 80
# (ctags' end lines), largest first. Exit 1 when any is over. Tests, benches and tools are left
# out: the limits are for the program and its libraries.
set -eu
cd "$(dirname "$0")/.."
product=$(git ls-files 'app/*.cpp' 'app/*.h' 'channels/*' 'files/*' 'playback/*' 'text/*' | grep -E '\.(cpp|h)$')
over=0
echo "files over 500 lines:"
for f in $product; do
  n=$(wc -l <"$f")
  [ "$n" -gt 500 ] && { echo "  $n $f"; over=1; }
done
echo "functions over 80 lines:"
long=$(ctags --fields=+ne --c++-kinds=f --language-force=C++ -o - \
         $product 2>/dev/null |
       awk -F'\t' '{ s = 0; e = 0; for (i = 4; i <= NF; i++) if ($i ~ /^end:/) { sub(/^end:/, "", $i); e = $i }
                     for (i = 4; i <= NF; i++) if ($i ~ /^line:/) { sub(/^line:/, "", $i); s = $i }
                     if (e > 0 && e - s + 1 > 80) printf "  %d %s:%d %s\n", e - s + 1, $2, s, $1 }' |
       sort -rn)
[ -n "$long" ] && { echo "$long"; over=1; }
printf 'product: %s lines in %s files\n' "$(cat $product | wc -l)" "$(echo "$product" | wc -l)"
exit $over
