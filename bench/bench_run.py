"""What every benchmark script here starts with: the test harnesses on the
path, told which build to run, and one run folder whose processes are all
stopped, by PID, when the block ends."""

import contextlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
for folder in (os.path.join(ROOT, "tests", "bench-win"), os.path.join(ROOT, "tests", "cups"), HERE):
    if folder not in sys.path:
        sys.path.insert(0, folder)


@contextlib.contextmanager
def bench_run(build, folder="bench-cups"):
    """(harness, native, run) for the native build at build; folder is the
    scratch folder's name below it (the Windows bench's "bench" reuses its
    booted Wine prefix)."""
    os.environ["PG_NATIVE_BUILD"] = os.path.abspath(build)
    os.environ.setdefault("PG_BENCH_DIR", os.path.join(os.path.abspath(build), folder))
    import harness
    import native
    harness.BENCH_DIR = os.environ["PG_BENCH_DIR"]
    stops = []
    run = harness.new_run(stops.append)
    try:
        yield harness, native, run
    finally:
        for stop in stops:
            stop()


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, int(round(fraction * len(ordered) + 0.5)) - 1))]
