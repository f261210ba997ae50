#!/usr/bin/env bash
# Builds both targets: the native build (tests over fakes, the CUPS backends)
# in build/native and the Windows programs in build/win; `build.sh native`
# or `build.sh win` builds one.
source "$(dirname "$0")/prologue.sh"
cd "$root"
targets=("$@")
[ $# -gt 0 ] || targets=(native win)
for target in "${targets[@]}"; do
  case $target in
    native)
      # PG_TESTS stated: a tree configured without them gets them back.
      cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPG_TESTS=ON >/dev/null
      cmake --build build/native -j"$jobs" ;;
    win)
      cmake -S . -B build/win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build build/win -j"$jobs" ;;
    *) echo "usage: build.sh [native] [win]" >&2; exit 2 ;;
  esac
done
