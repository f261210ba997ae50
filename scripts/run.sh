#!/usr/bin/env bash
# Installs what is missing, builds the native printgate and runs the main job
# (see scripts/run.py): only the native program and its private CUPS. With
# --wine: also the cross build and the bench's Wine, and printgate.exe runs
# under Wine instead.
source "$(dirname "$0")/prologue.sh"
cd "$root"
if [ "${1:-}" = "--wine" ]; then
  bash scripts/setup.sh wine
  bash tests/bench-win/wine/build_wine.sh
  bash scripts/build.sh
else
  bash scripts/setup.sh native
  # A folder of its own, built by ninja, optimised as the tests' build but
  # without debug information and without the compile cache: on a bare
  # machine the compile is most of the wait before the first label. Make's
  # scanning, -g and the cache's misses made it 67-69 s against 41-42 s
  # without them, timed in turns (96 s in all from a bare machine before).
  # The folder keeps its objects for the next start. Tests and their
  # libraries are the test command's.
  env -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER \
    cmake -G Ninja -S . -B build/main -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DPG_TESTS=OFF >/dev/null
  cmake --build build/main -j"$jobs" --target printgate_posix
  export PG_NATIVE_BUILD="$root/build/main"
fi
# The prologue put the harness package on PYTHONPATH for it.
exec /usr/bin/python3 scripts/run.py "$@"
