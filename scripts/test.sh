#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test layer:
# unit and HTTP tests over fakes, the same suites again under AddressSanitizer
# and UndefinedBehaviorSanitizer, bounded fuzz runs, then the bench (the real .exe files under
# Wine and the native program against a private CUPS scheduler).
source "$(dirname "$0")/prologue.sh"
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh
# The coverage build (scripts/win_coverage.sh) must still configure and link
# every target; its full run under the bench stays outside this command.
bash scripts/win_coverage.sh --build-only

cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DPG_SANITIZE=ON -DPG_BENCH_TESTS=OFF >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j2

# Bounded fuzz runs: every target from its seed corpus.
bash scripts/fuzz.sh

ctest --test-dir build/native --output-on-failure -j2
