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
  # Tests and their libraries are the test command's; the build's other
  # targets come with it.
  cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPG_TESTS=OFF >/dev/null
  cmake --build build/native -j"$jobs" --target printgate_posix
fi
# The prologue put the harness package on PYTHONPATH for it.
exec /usr/bin/python3 scripts/run.py "$@"
