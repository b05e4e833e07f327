#!/usr/bin/env bash
# Sets up the machine, builds radiolist four ways and runs every test at least once, in a build
# where it can catch what it is for:
#   build/       RelWithDebInfo      the tests without servers (units, lists, app, package) and the
#                                    program's end-to-end tests (label e2e): the program as a
#                                    person meets it
#   build-asan/  ASan + UBSan        the tests without servers again, the audio library's server
#                                    tests and the hostile suite (label servers, not e2e)
#   build-tsan/  ThreadSanitizer     the audio library's tests (labels engine, net)
#   build-fuzz/  clang + libFuzzer   every fuzz target for RADIOLIST_FUZZ_SECONDS (20) each
# The release build comes first and builds everything (benchmarks and tools too); then its tests
# run while the other builds compile in the background at the lowest priority (server tests
# mostly wait on real time), and each build's tests start as soon as it is built, beside the
# others. Each build has servers of its own (ports PORT_BASE, +10, +20); the server tests of one
# build run one at a time, the others two at a time. A run of tests that fails is run once more
# (its servers started afresh) and the retry is said, with the tests' names, in the log and the
# summary: a fault that passes only on the second try still shows. The sources must match
# .clang-format.
#
# Exits non-zero if any step fails and ends with one summary line per step.
# Environment: RADIOLIST_JOBS (default 2) for building and the parallel tests;
# RADIOLIST_TEST_PORT_BASE (default 18700); RADIOLIST_FUZZ_SECONDS (default 20; a local deep run
# sets it higher).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

JOBS=${RADIOLIST_JOBS:-2}
PORT_BASE=${RADIOLIST_TEST_PORT_BASE:-18700}
FUZZ_SECONDS=${RADIOLIST_FUZZ_SECONDS:-20}
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tools/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# Repeated runs on one machine compile only what changed; with paths taken relative to the
# clone, another clone of the same sources hits the cache too.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
LAUNCHER=()
if command -v ccache >/dev/null; then
  LAUNCHER=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

started=$SECONDS
RESULTS=$(mktemp -d /tmp/radiolist-run-tests-XXXXXX)
trap 'rm -rf "$RESULTS"' EXIT

elapsed() { printf '%dm%02ds' $(((SECONDS - $1) / 60)) $(((SECONDS - $1) % 60)); }

# note STEP RESULT T0: a line of the summary (a file each, since steps run in subshells).
note() {
  local line
  line="$1: $2 ($(elapsed "$3"), done at $(elapsed "$started"))"
  echo "$line" >"$RESULTS/step.$(date +%s%N)"
  echo "=== run-tests: $line ==="
}

# Runs "$@" with its output prefixed by "[NAME] ", so that steps running side by side can be told
# apart in the log.
prefixed() {
  local name=$1
  shift
  "$@" 2>&1 | sed -u "s/^/[$name] /"
  return "${PIPESTATUS[0]}"
}

configure() {  # DIR PORT CMAKE-ARGS...
  local dir=$1 port=$2
  shift 2
  cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DRADIOLIST_TEST_PORT_BASE="$port" -DRADIOLIST_TESTS=ON "${LAUNCHER[@]}" "$@" >/dev/null
}

# The build targets of the tests that `ctest CTEST-ARGS` selects (what they need comes with them).
# ctest names the tests; their commands come from the CTestTestfiles, which name executables
# before they are built.
test_targets() {  # DIR CTEST-ARGS...
  local dir=$1
  shift
  ctest --test-dir "$dir" --show-only=json-v1 "$@" | python3 -c '
import json, os, pathlib, re, sys
build = os.path.realpath(sys.argv[1])
commands = {}
for testfile in pathlib.Path(build).rglob("CTestTestfile.cmake"):
    for name, command in re.findall(r"add_test\(\[=\[(.*?)\]=\] \"([^\"]+)\"", testfile.read_text()):
        commands[name] = command
for test in json.load(sys.stdin)["tests"]:
    command = commands.get(test["name"], "")
    if os.path.realpath(command).startswith(build + "/"):
        print(os.path.basename(command))' "$dir"
}

# ctest (at niceness NICE) with one retry of the tests that failed, said in the log and the
# summary.
run_ctest() {  # NAME DIR NICE CTEST-ARGS...
  local name=$1 dir=$2 niceness=$3
  shift 3
  nice -n "$niceness" ctest --test-dir "$dir" --output-on-failure "$@" && return 0
  local failed
  failed=$(cut -d: -f2 "$dir/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | tr '\n' ' ')
  echo "run-tests: RETRY ($name): failed once, running them again: $failed"
  echo "$name: $failed" >>"$RESULTS/retries"
  nice -n "$niceness" ctest --test-dir "$dir" --output-on-failure --rerun-failed
}

# The tests of one build: those without servers two at a time (a little less urgent than the
# server tests of the other builds, which keep time with real audio), then the server tests one
# at a time. UNITS and SERVERS are ctest selections, one word each argument, "" for none.
test_lane() {  # NAME DIR "UNITS" "SERVERS"
  local name=$1 dir=$2 units=$3 servers=$4 t0=$SECONDS rc=0
  # shellcheck disable=SC2086  # each selection is several arguments
  if [ -n "$units" ]; then prefixed "$name" run_ctest "$name" "$dir" 5 -j "$JOBS" $units || rc=1; fi
  # shellcheck disable=SC2086
  if [ -n "$servers" ]; then prefixed "$name" run_ctest "$name" "$dir" 0 $servers || rc=1; fi
  [ $rc -eq 0 ] && note "$name tests" passed "$t0" || note "$name tests" FAILED "$t0"
}

# Configures and builds what a build's tests need, in the background's lowest priority, then
# starts its tests beside whatever else runs.
sanitizer_build() {  # NAME DIR PORT SANITIZER "UNITS" "SERVERS"
  local name=$1 dir=$2 port=$3 sanitizer=$4 units=$5 servers=$6 t0=$SECONDS
  local targets=()
  if ! configure "$dir" "$port" -DRADIOLIST_SANITIZE="$sanitizer"; then
    note "$name build" "configure FAILED" "$t0"
    return
  fi
  # shellcheck disable=SC2086
  mapfile -t targets < <({
    [ -z "$units" ] || test_targets "$dir" $units
    [ -z "$servers" ] || test_targets "$dir" $servers
  } | sort -u)
  if [ ${#targets[@]} -eq 0 ]; then
    note "$name build" "FAILED: no tests selected" "$t0"
  elif prefixed "$name" nice -n 19 cmake --build "$dir" -j "$JOBS" --target "${targets[@]}"; then
    note "$name build" passed "$t0"
    test_lane "$name" "$dir" "$units" "$servers" &
  else
    note "$name build" FAILED "$t0"
  fi
}

# Each libFuzzer target runs for a bounded time from its seed corpus; what it finds goes to a
# scratch directory, and a crash fails the step (the crashing input is kept there too).
fuzz() {
  local t0=$SECONDS result=passed dir=build-fuzz target targets=()
  for corpus in tests/fuzz/corpus/*/; do targets+=("fuzz_$(basename "$corpus")"); done
  if ! CC=clang CXX=clang++ configure "$dir" "$((PORT_BASE + 30))" -DRADIOLIST_FUZZ=ON; then
    note fuzz "configure FAILED" "$t0"
    return
  fi
  if ! prefixed fuzz nice -n 19 cmake --build "$dir" -j "$JOBS" --target "${targets[@]}"; then
    note fuzz "build FAILED" "$t0"
    return
  fi
  echo "=== run-tests: fuzz (${#targets[@]} targets, ${FUZZ_SECONDS}s each) ==="
  for target in "${targets[@]}"; do
    local found="$dir/found/${target#fuzz_}"
    mkdir -p "$found"
    # -timeout: a hanging input fails at once instead of after libFuzzer's 20 minutes.
    if ! (cd "$dir" && nice -n 10 "./tests/fuzz/$target" -max_total_time="$FUZZ_SECONDS" \
            -timeout=10 -rss_limit_mb=2048 -artifact_prefix="../$found/" -print_final_stats=1 \
            "../$found" "../tests/fuzz/corpus/${target#fuzz_}" 2>&1 | tail -n 12 |
            sed -u "s/^/[fuzz] /"); then
      echo "run-tests: $target found a crash, hang or memory blow-up (input kept in $found/)"
      result="crash FOUND"
    fi
  done
  note fuzz "$result ($FUZZ_SECONDS s a target)" "$t0"
}

t0=$SECONDS
if ! bash tools/setup-debian.sh; then
  echo "run-tests: FAILED: tools/setup-debian.sh could not install the packages"
  exit 1
fi
note setup done "$t0"

t0=$SECONDS
if git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror; then
  note style "matches .clang-format" "$t0"
else
  note style "FAILED: the files above differ from .clang-format (clang-format -i them)" "$t0"
fi

t0=$SECONDS
if ! configure build "$PORT_BASE"; then
  note "release build" "configure FAILED" "$t0"
elif ! prefixed release cmake --build build -j "$JOBS"; then
  note "release build" FAILED "$t0"
else
  note "release build" passed "$t0"
  test_lane release build "-LE servers" "-L e2e" &
fi
{
  sanitizer_build asan build-asan "$((PORT_BASE + 10))" address \
    "-LE servers|package" "-L servers -LE e2e"
  sanitizer_build tsan build-tsan "$((PORT_BASE + 20))" thread \
    "-L engine|net -LE servers" "-L engine|net -L servers"
  fuzz
  wait
} &
wait

echo
for step in "$RESULTS"/step.*; do cat "$step"; done | sed 's/^/  /'
failed=0
grep -q "FAILED\|FOUND" "$RESULTS"/step.* && failed=1
# Each build that was meant to run tests said how they went.
[ "$(cat "$RESULTS"/step.* | grep -c ' tests: ')" -eq 3 ] || failed=1
if [ -s "$RESULTS/retries" ]; then
  echo "  retried once (failed, then ran again):"
  sed 's/^/    /' "$RESULTS/retries"
fi
if [ $failed -eq 0 ]; then
  echo "run-tests: ALL PASSED (release, asan, tsan, fuzz) in $(elapsed "$started")"
else
  echo "run-tests: FAILED -- total $(elapsed "$started")"
fi
exit $failed
