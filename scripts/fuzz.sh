#!/usr/bin/env bash
# The libFuzzer targets (tests/fuzz): built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer into build-fuzz/, run on a working corpus under
# build-fuzz/corpus/<target>/ seeded from tests/fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh build                      installs clang if missing, configures and builds
#   scripts/fuzz.sh ci [SECONDS]               builds, replays every seed and regression input, then runs
#                                              each target for SECONDS (default 40); fails on any finding
#   scripts/fuzz.sh run TARGET [SECONDS] [libFuzzer options...]
#                                              one target for SECONDS (default 7200), e.g. for hours by hand
#   scripts/fuzz.sh list                       the targets
#
# A finding is written to build-fuzz/findings/<target>/ (crash-*, timeout-*, leak-*);
# docs/testing.md says how it becomes a regression input.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${CORVANE_FUZZ_BUILD:-build-fuzz}"

targets() {
  for source in tests/fuzz/*_fuzz.cpp; do
    name="$(basename "$source" _fuzz.cpp)"
    echo "$name"
  done
}

build() {
  bash scripts/setup.sh --packages-only
  bash scripts/install-packages.sh clang libclang-rt-14-dev
  if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_FUZZ=ON \
      -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF >/dev/null
  fi
  local names=()
  for name in $(targets); do names+=("fuzz_$name"); done
  ninja -C "$build" -j"$(nproc)" "${names[@]}"
}

# libFuzzer options of a target: its dictionary when it has one, plus a bound on input size and time per input.
options() {
  local name="$1"
  local opts=(-max_len=16384 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
  [ -f "tests/fuzz/$name.dict" ] && opts+=("-dict=$root/tests/fuzz/$name.dict")
  echo "${opts[@]}"
}

# Every seed and regression input once, with no fuzzing: a regression input that crashes again fails here.
replay() {
  local name="$1" inputs=()
  for folder in "tests/fuzz/corpus/$name" "tests/fuzz/regressions/$name"; do
    [ -d "$folder" ] && inputs+=("$folder"/*)
  done
  [ ${#inputs[@]} -gt 0 ] || return 0
  # shellcheck disable=SC2046
  "$build/bin/fuzz_$name" $(options "$name") -runs=0 "${inputs[@]}" >"$build/findings/$name.replay.log" 2>&1 || {
    tail -40 "$build/findings/$name.replay.log"
    echo "fuzz_$name: a seed or regression input fails (log: $build/findings/$name.replay.log)"
    return 1
  }
}

run() {
  local name="$1" seconds="$2"
  shift 2
  [ -x "$build/bin/fuzz_$name" ] || { echo "no target fuzz_$name in $build (scripts/fuzz.sh build)"; return 2; }
  mkdir -p "$build/corpus/$name" "$build/findings/$name"
  [ -d "tests/fuzz/corpus/$name" ] && cp -n "tests/fuzz/corpus/$name"/* "$build/corpus/$name"/ 2>/dev/null || true
  local log="$build/findings/$name.log"
  echo "=== fuzz_$name for ${seconds}s (log: $log)"
  # shellcheck disable=SC2046
  if ! (cd "$build/findings/$name" && "$root/$build/bin/fuzz_$name" $(cd "$root" && options "$name") \
          -max_total_time="$seconds" "$@" "$root/$build/corpus/$name" >"$root/$log" 2>&1); then
    tail -60 "$log"
    echo "fuzz_$name found a fault: input in $build/findings/$name/"
    return 1
  fi
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$log" | sed "s/^/fuzz_$name /"
}

command="${1:-}"
case "$command" in
  build) build ;;
  list) targets ;;
  ci)
    seconds="${2:-40}"
    build
    mkdir -p "$build/findings"
    failed=0
    for name in $(targets); do replay "$name" || failed=1; done
    for name in $(targets); do run "$name" "$seconds" || failed=1; done
    exit "$failed"
    ;;
  run)
    [ $# -ge 2 ] || { echo "usage: scripts/fuzz.sh run TARGET [SECONDS] [libFuzzer options...]"; exit 2; }
    name="$2"
    seconds="${3:-7200}"
    shift $(( $# >= 3 ? 3 : 2 ))
    mkdir -p "$build/findings"
    run "$name" "$seconds" "$@"
    ;;
  *)
    sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
