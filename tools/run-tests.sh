#!/usr/bin/env bash
# Sets up the machine, builds radiolist and runs every test, three times over:
#   build/       RelWithDebInfo               all tests
#   build-asan/  AddressSanitizer + UBSan     all tests
#   build-tsan/  ThreadSanitizer              the audio library's tests (labels "engine", "net")
#   build-fuzz/  clang + libFuzzer            every fuzz target for RADIOLIST_FUZZ_SECONDS (60)
# Tests that are not labelled "servers" run two at a time; the server tests (which share one
# Icecast and one sound server per build directory) run one at a time. Exits non-zero if any
# step fails and ends with one summary line.
#
# Environment: RADIOLIST_JOBS (default 2) for building and the parallel tests;
# RADIOLIST_TEST_PORT_BASE (default 18700): the three builds use it, +10 and +20.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

JOBS=${RADIOLIST_JOBS:-2}
PORT_BASE=${RADIOLIST_TEST_PORT_BASE:-18700}
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tools/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

started=$SECONDS
results=()
failed=0

elapsed() { printf '%dm%02ds' $(((SECONDS - $1) / 60)) $(((SECONDS - $1) % 60)); }

# stage NAME DIR PORT "CMAKE ARGS" CTEST-LABEL-ARGS...
stage() {
  local name=$1 dir=$2 port=$3 cmake_args=$4; shift 4
  local t0=$SECONDS step
  echo
  echo "=== run-tests: $name ($dir) ==="
  # shellcheck disable=SC2086  # cmake_args holds several arguments
  if ! cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
         -DRADIOLIST_TEST_PORT_BASE="$port" $cmake_args; then
    step="configure FAILED"
  elif ! cmake --build "$dir" -j "$JOBS"; then
    step="build FAILED"
  else
    local rc=0
    if [ $# -eq 0 ]; then
      ctest --test-dir "$dir" --output-on-failure -j "$JOBS" -LE servers || rc=1
      ctest --test-dir "$dir" --output-on-failure -L servers || rc=1
    else
      ctest --test-dir "$dir" --output-on-failure "$@" || rc=1
    fi
    [ $rc -eq 0 ] && step="passed" || step="tests FAILED"
  fi
  [ "$step" = passed ] || failed=1
  results+=("$name: $step ($(elapsed "$t0"))")
  echo "=== run-tests: $name: $step ($(elapsed "$t0")) ==="
}

# Each libFuzzer target runs for a bounded time from its seed corpus; what it finds goes to a
# scratch directory, and a crash fails the stage (the crashing input is kept there too).
fuzz_stage() {
  local t0=$SECONDS step=passed dir=build-fuzz seconds=${RADIOLIST_FUZZ_SECONDS:-60} target
  local targets=()
  for corpus in tests/fuzz/corpus/*/; do targets+=("fuzz_$(basename "$corpus")"); done
  echo
  echo "=== run-tests: fuzz ($dir, ${#targets[@]} targets, ${seconds}s each) ==="
  if ! CC=clang CXX=clang++ cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRADIOLIST_FUZZ=ON; then
    step="configure FAILED"
  elif ! cmake --build "$dir" -j "$JOBS" --target "${targets[@]}"; then
    step="build FAILED"
  else
    for target in "${targets[@]}"; do
      local found="$dir/found/${target#fuzz_}"
      mkdir -p "$found"
      # -timeout: a hanging input fails at once instead of after libFuzzer's 20 minutes.
      if ! (cd "$dir" && "./tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
              -artifact_prefix="../$found/" -print_final_stats=1 \
              "../$found" "../tests/fuzz/corpus/${target#fuzz_}" 2>&1 | tail -n 12); then
        echo "run-tests: $target found a crash, hang or memory blow-up (input kept in $found/)"
        step="crash FOUND"
      fi
    done
  fi
  [ "$step" = passed ] || failed=1
  results+=("fuzz: $step ($(elapsed "$t0"))")
  echo "=== run-tests: fuzz: $step ($(elapsed "$t0")) ==="
}

if ! bash tools/setup-debian.sh; then
  echo "run-tests: FAILED: tools/setup-debian.sh could not install the packages"
  exit 1
fi

stage release build "$PORT_BASE" ""
stage asan build-asan "$((PORT_BASE + 10))" "-DRADIOLIST_SANITIZE=address"
stage tsan build-tsan "$((PORT_BASE + 20))" "-DRADIOLIST_SANITIZE=thread" -L 'engine|net' --no-tests=error
fuzz_stage

echo
for r in "${results[@]}"; do echo "  $r"; done
if [ $failed -eq 0 ]; then
  echo "run-tests: ALL PASSED (release, asan, tsan, fuzz) in $(elapsed "$started")"
else
  echo "run-tests: FAILED -- ${results[*]} -- total $(elapsed "$started")"
fi
exit $failed
