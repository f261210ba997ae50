# The start every shell script of the tree shares (scripts/, installer/,
# bench/), sourced before anything else: strict mode, the source tree's
# root (it does not change folder: a script's relative arguments stay
# relative to where it was called), the build's parallelism, and the
# Python harness package (tests/pylib) on the path of any Python it runs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Shared two-core machines: two compile jobs unless told otherwise.
jobs=${PG_JOBS:-2}
export PYTHONPATH="$root/tests${PYTHONPATH:+:$PYTHONPATH}"
