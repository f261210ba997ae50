#!/usr/bin/env bash
# Coverage of the Win32 backends under the Windows bench: builds the two
# Windows programs once more with gcov counters (build/win-cov), runs every
# bench suite against them under Wine and writes the table per *_win.cpp to
# bench/win_coverage.md. Binds 127.0.0.1:6780 like the bench: on a shared
# machine run it in a network namespace of its own.
source "$(dirname "$0")/prologue.sh"
cd "$root"
cmake -S . -B build/win-cov -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Debug \
  -DPG_COVERAGE=ON >/dev/null
cmake --build build/win-cov -j"$jobs"
python3 tests/bench-win/coverage/report.py --build build/win-cov --out bench/win_coverage.md
