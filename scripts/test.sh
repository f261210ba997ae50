#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test layer:
# unit and HTTP tests over fakes, the same suites again under AddressSanitizer
# and UndefinedBehaviorSanitizer, bounded fuzz runs, then the bench (the real .exe files under
# Wine and the native program against a private CUPS scheduler). Ends with
# one line per stage and its seconds, also when a stage fails.
source "$(dirname "$0")/prologue.sh"
cd "$root"
mkdir -p build
stageFile=$root/build/test-stages.txt

Stage() { # name, command...
  local name=$1 started=$SECONDS status=0
  shift
  "$@" || status=$?
  printf '  %-28s %5d s%s\n' "$name" $((SECONDS - started)) "$([ $status = 0 ] || echo "  FAILED ($status)")" >>"$stageFile"
  return $status
}

# What runs beside the CTest stage, on one core: the suites that share
# printgate's port run one after another, so for most of that stage one of
# CTest's two slots has little to run. Builds and fuzz targets are not timed
# against anything, and one busy core beside the suites is the load that
# scripts/repeat.py proves them under. The coverage build must still
# configure and link every target (its full run under the bench stays
# outside this command); the fuzz targets run one at a time, each given the
# time it would have alone.
if [ "${1:-}" = --beside-ctest ]; then
  status=0
  Stage "coverage build (beside)" bash scripts/win_coverage.sh --build-only || status=1
  if Stage "fuzz build (beside)" bash scripts/fuzz.sh --build-only; then
    Stage "fuzz (beside)" bash scripts/fuzz.sh || status=1
  else
    status=1
  fi
  exit $status
fi

: >"$stageFile"
besidePid=
ShowStages() {
  [ -z "$besidePid" ] || kill -- -"$besidePid" 2>/dev/null || true
  echo
  echo "where the time went (a stage marked beside ran with others):"
  cat "$stageFile"
  printf '  %-28s %5d s\n' "whole command" "$SECONDS"
}
trap ShowStages EXIT
WaitBeside() {
  local status=0
  wait "$besidePid" || status=$?
  besidePid=
  cat build/beside-ctest.log
  return $status
}

Stage "setup" bash scripts/setup.sh
# Built alone: beside the native build, on a machine without it cached,
# the two took 495 s where they took about 370 one after the other.
Stage "Wine build" bash tests/bench-win/wine/build_wine.sh
Stage "native build" bash scripts/build.sh native
Stage "Windows build" bash scripts/build.sh win

SanitizerBuild() {
  cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DPG_SANITIZE=ON -DPG_BENCH_TESTS=OFF >/dev/null
  cmake --build build/asan -j"$jobs"
}
Stage "sanitizer build" SanitizerBuild
Stage "sanitizer tests" env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build/asan --output-on-failure -j2

PG_JOBS=1 setsid bash scripts/test.sh --beside-ctest >build/beside-ctest.log 2>&1 </dev/null &
besidePid=$!
ctestStatus=0
Stage "CTest" ctest --test-dir build/native --output-on-failure -j2 || ctestStatus=$?
Stage "beside CTest, after it" WaitBeside
exit $ctestStatus
