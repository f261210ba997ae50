#!/usr/bin/env bash
# Installs what is missing, builds the native printgate and runs the main job
# (see scripts/run.py). With --wine: builds both targets and runs
# printgate.exe under Wine instead.
source "$(dirname "$0")/prologue.sh"
cd "$root"
bash scripts/setup.sh
if [ "${1:-}" = "--wine" ]; then
  bash scripts/build.sh
else
  cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/native -j"$jobs" --target printgate_posix
fi
# The prologue put the harness package on PYTHONPATH for it.
exec /usr/bin/python3 scripts/run.py "$@"
