#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test layer:
# unit and HTTP tests over fakes, then the Windows bench (the real .exe files
# under Wine against a private CUPS scheduler).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bash scripts/build.sh
ctest --test-dir build/native --output-on-failure -j2
