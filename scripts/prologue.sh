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
# One compile cache for every clone on the machine, outside them as the
# bench's Wine is: a fresh clone then compiles only what differs from what
# was built before, where it compiled everything (its five builds took 559 s
# of the test command, and 100 s from the cache). CMake takes the launcher
# when a build folder is first configured. The base folder makes two clones'
# paths the same to the cache; an object taken from another clone names that
# clone's folder in its debug information only. PG_NO_CCACHE=1 builds
# without it.
if [ -z "${PG_NO_CCACHE:-}" ] && command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_DIR=${CCACHE_DIR:-/var/cache/printgate/ccache} CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=1
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
fi
