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

# Bounded fuzz runs: every target from its seed corpus.
Stage "fuzz build" bash scripts/fuzz.sh --build-only
Stage "fuzz" bash scripts/fuzz.sh

Stage "CTest" ctest --test-dir build/native --output-on-failure -j2
