#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test layer:
# unit and HTTP tests over fakes, the same suites again under AddressSanitizer
# and UndefinedBehaviorSanitizer, bounded fuzz runs, then the bench (the real .exe files under
# Wine and the native program against a private CUPS scheduler). Ends with
# one line per stage and its seconds, also when a stage fails.
source "$(dirname "$0")/prologue.sh"
cd "$root"

stages=()
Stage() { # name, command...
  local name=$1 started=$SECONDS status=0
  shift
  "$@" || status=$?
  stages+=("$(printf '%-18s %5d s%s' "$name" $((SECONDS - started)) "$([ $status = 0 ] || echo "  FAILED ($status)")")")
  return $status
}
ShowStages() {
  echo
  echo "where the time went:"
  printf '  %s\n' "${stages[@]}"
  printf '  %-18s %5d s\n' "whole command" "$SECONDS"
}
trap ShowStages EXIT

Stage "setup" bash scripts/setup.sh
Stage "Wine build" bash tests/bench-win/wine/build_wine.sh
Stage "native build" bash scripts/build.sh native
Stage "Windows build" bash scripts/build.sh win
# The coverage build (scripts/win_coverage.sh) must still configure and link
# every target; its full run under the bench stays outside this command.
Stage "coverage build" bash scripts/win_coverage.sh --build-only

SanitizerBuild() {
  cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DPG_SANITIZE=ON -DPG_BENCH_TESTS=OFF >/dev/null
  cmake --build build/asan -j"$jobs"
}
Stage "sanitizer build" SanitizerBuild
Stage "sanitizer tests" env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build/asan --output-on-failure -j2

# Bounded fuzz runs, every target from its seed corpus, one target at a time
# beside CTest: the suites that share printgate's port run one after another,
# and for most of the stage one of CTest's two slots has nothing to run (the
# fuzz stage's three minutes came on top of it). A target then has the core
# that scripts/repeat.py keeps busy when it proves the suites under load.
Stage "fuzz build" bash scripts/fuzz.sh --build-only
PG_JOBS=1 setsid bash scripts/fuzz.sh >build/fuzz-run.log 2>&1 </dev/null &
fuzzPid=$!
trap '[ -z "$fuzzPid" ] || kill -- -"$fuzzPid" 2>/dev/null || true; ShowStages' EXIT
WaitFuzz() {
  local status=0
  wait "$fuzzPid" || status=$?
  fuzzPid=
  cat build/fuzz-run.log
  return $status
}

ctestStatus=0
Stage "CTest" ctest --test-dir build/native --output-on-failure -j2 || ctestStatus=$?
Stage "fuzz, after CTest" WaitFuzz
exit $ctestStatus
