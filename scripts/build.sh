#!/usr/bin/env bash
# Builds both targets: the native build (tests over fakes, the CUPS backends)
# in build/native and the Windows programs in build/win.
source "$(dirname "$0")/prologue.sh"
cd "$root"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j"$jobs"
cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/win -j"$jobs"
