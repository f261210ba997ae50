#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job (see scripts/run.py).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh
exec /usr/bin/python3 scripts/run.py
