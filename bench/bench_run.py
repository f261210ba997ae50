"""What every benchmark script here starts with: the harness package
(tests/pylib) on the path, told which build to run, and one run folder whose
processes are all stopped, by PID, when the block ends."""

import contextlib
import os
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The benchmarks' one way in to the harness when run as `python3 bench/...`;
# the scripts' prologue and CTest put the same folder on PYTHONPATH.
if os.path.join(ROOT, "tests") not in sys.path:
    sys.path.insert(0, os.path.join(ROOT, "tests"))


@contextlib.contextmanager
def bench_run(build, folder="bench-cups"):
    """A run for the native build at build; folder is the scratch folder's
    name below it (the Windows bench's "bench" reuses its booted Wine
    prefix)."""
    from pylib import paths, processes
    paths.NATIVE_BUILD = os.path.abspath(build)
    paths.BENCH_DIR = os.environ.get("PG_BENCH_DIR", os.path.join(paths.NATIVE_BUILD, folder))
    stops = []
    run = processes.new_run(stops.append)
    try:
        yield run
    finally:
        for stop in stops:
            stop()


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, int(round(fraction * len(ordered) + 0.5)) - 1))]


def rounds_figure(values, digits=2, unit="x"):
    """The rounds' median and their spread, e.g. "0.61x (0.58-0.66)". A
    figure is read from the median: one round caught by someone else's work
    on the machine moves the spread, not the verdict."""
    return "%.*f%s (%.*f-%.*f)" % (digits, statistics.median(values), unit, digits, min(values),
                                   digits, max(values))


def cpu_times(pid):
    """(user, kernel) CPU seconds a process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick


def wake_ups(pid):
    """The switches every thread of a process has made so far by waiting
    (voluntary ones): its wake-ups. The machine's preemptions of a busy
    thread are not the program's doing and are left out."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                total += sum(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches:"))
        except FileNotFoundError:
            pass  # a thread that ended meanwhile
    return total
