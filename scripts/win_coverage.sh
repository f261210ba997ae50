#!/usr/bin/env bash
# Coverage of the Win32 backends under the Windows bench: builds the two
# Windows programs once more with gcov counters (build/win-cov), runs every
# bench suite against them under Wine and writes the table per *_win.cpp to
# bench/win_coverage.md. Binds 127.0.0.1:6780 like the bench: on a shared
# machine run it in a network namespace of its own. With --build-only it
# stops after the build (the test command's check that every target of it
# still links).
source "$(dirname "$0")/prologue.sh"
cd "$root"
# Release flags as the shipped programs have them, but for the instrumented
# targets, which are built at -O0 so that every line counts where it stands;
# nothing else needs debug information, which doubled the build's time.
cmake -S . -B build/win-cov -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DPG_COVERAGE=ON >/dev/null
cmake --build build/win-cov -j"$jobs"
if [ "${1:-}" = --build-only ]; then exit 0; fi
python3 tests/bench-win/coverage/report.py --build build/win-cov --out bench/win_coverage.md
