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
# scripts/repeat.py proves them under. The fuzz targets run one at a time,
# each given the time it would have alone.
if [ "${1:-}" = --beside ]; then # name, command...: one stage, started by the command below with setsid
  shift
  Stage "$@"
  exit
fi
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
winePid= besidePid=
ShowStages() {
  for pid in $winePid $besidePid; do kill -- -"$pid" 2>/dev/null || true; done
  echo
  echo "where the time went (a stage marked beside ran with others):"
  cat "$stageFile"
  printf '  %-28s %5d s\n' "whole command" "$SECONDS"
}
trap ShowStages EXIT
# Waits for what runs beside (its PID in the variable named) and shows its output.
WaitBeside() { # variable, output file
  local status=0
  wait "${!1}" || status=$?
  printf -v "$1" ''
  cat "$2"
  return $status
}

Stage "setup" bash scripts/setup.sh
# A machine that has not built the bench's Wine yet (it is cached per
# machine) spends a minute of it unpacking and configuring on one core: the
# builds below take the other. The tests wait for it.
setsid bash scripts/test.sh --beside "Wine build (beside)" bash tests/bench-win/wine/build_wine.sh \
  >build/wine-build.out 2>&1 </dev/null &
winePid=$!
Stage "native build" bash scripts/build.sh native
Stage "Windows build" bash scripts/build.sh win

SanitizerBuild() {
  cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DPG_SANITIZE=ON -DPG_BENCH_TESTS=OFF >/dev/null
  cmake --build build/asan -j"$jobs"
}
Stage "sanitizer build" SanitizerBuild
# Tests from here on: nothing builds beside them but what is said.
Stage "Wine build, after these" WaitBeside winePid build/wine-build.out
Stage "sanitizer tests" env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir build/asan --output-on-failure -j2

PG_JOBS=1 setsid bash scripts/test.sh --beside-ctest >build/beside-ctest.log 2>&1 </dev/null &
besidePid=$!
ctestStatus=0
Stage "CTest" ctest --test-dir build/native --output-on-failure -j2 || ctestStatus=$?
Stage "beside CTest, after it" WaitBeside besidePid build/beside-ctest.log
exit $ctestStatus
