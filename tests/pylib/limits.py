"""Limits the C++ sets and the suites hold the programs to: the API server's
backlog, workers and kept connections, and the connections printgate keeps to
the scheduler. CMake writes them from their homes in the C++ into the
native build (cmake/shared_limits.cmake), so no figure is copied here by
hand."""

import os
import runpy

from pylib import paths

_GENERATED = os.path.join(paths.NATIVE_BUILD, "generated", "pg_limits.py")
if not os.path.exists(_GENERATED):
    raise ImportError(_GENERATED + " is missing: configure the native build first (bash scripts/build.sh)")
_values = runpy.run_path(_GENERATED)

# Connections waiting for the server's accept loop.
LISTEN_BACKLOG = _values["LISTEN_BACKLOG"]
# The server's workers, each serving one connection at a time: at most
# WORKERS, and RESTING_WORKERS kept while nothing is served.
WORKERS = _values["WORKERS"]
RESTING_WORKERS = _values["RESTING_WORKERS"]
# Seconds a kept connection waits for its next request, and requests the
# server answers on one kept connection before closing it.
KEEP_ALIVE_SECONDS = _values["KEEP_ALIVE_SECONDS"]
KEEP_ALIVE_REQUESTS = _values["KEEP_ALIVE_REQUESTS"]
# Connections printgate holds to the scheduler at most, and keeps while idle.
SCHEDULER_CONNECTION_LIMIT = _values["SCHEDULER_CONNECTION_LIMIT"]
SCHEDULER_CONNECTIONS_KEPT = _values["SCHEDULER_CONNECTIONS_KEPT"]
