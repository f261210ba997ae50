#!/usr/bin/env bash
# Installs what is missing, builds the native printgate and runs the main job
# (see scripts/run.py). With --wine: builds both targets and runs
# printgate.exe under Wine instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
if [ "${1:-}" = "--wine" ]; then
  bash scripts/build.sh
else
  cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build/native -j"${PG_JOBS:-2}" --target printgate_posix
fi
exec /usr/bin/python3 scripts/run.py "$@"
