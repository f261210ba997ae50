"""Processes a test starts and the scratch folder they live in: each run is a
folder whose cleanup stops, in reverse order and by PID, everything started
into it; waiting for a condition; a program's output so far."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

from pylib import paths


def new_run(add_cleanup):
    """A scratch folder for one test, removed at the end unless PG_KEEP is set.
    Returns a dict that the other functions add what they start to; the
    test's cleanup stops all of it in reverse order."""
    os.makedirs(paths.BENCH_DIR, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="run-", dir=paths.BENCH_DIR)
    # cupsd's filters run as lp and must reach the spool folder inside.
    os.chmod(folder, 0o755)
    run = {"dir": folder, "stops": []}

    def cleanup():
        stop_all(run)
        if not os.environ.get("PG_KEEP"):
            shutil.rmtree(folder, ignore_errors=True)

    add_cleanup(cleanup)
    return run


def stop_all(run, what="cleanup"):
    """Stops everything started into the run, newest first; a stop that
    fails is reported (prefixed with what) and the rest are still stopped."""
    for stop in reversed(run["stops"]):
        try:
            stop()
        except Exception as error:
            print(what + ":", error)
    run["stops"] = []


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout, interval=0.1, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise TimeoutError("timed out after %ss waiting for %s" % (timeout, what))


def stop_process(proc, grace=5):
    """Ends one process that we started, by its PID."""
    if proc.poll() is not None:
        return proc.returncode
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(grace)


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


def written(program):
    """What the program has written on standard output so far, as bytes."""
    with open(program["out"], "rb") as f:
        return f.read()


def console(program, until=None, timeout=10):
    """What printgate (either build) wrote on standard output so far, as
    bytes. Not being a terminal, it is written in batches: a line reaches
    the file up to 100 ms after it was said. With until (a test of the
    bytes), once it holds or the timeout has passed; without, once every
    line said before the call has had its time."""
    if until is None:
        time.sleep(0.3)
        return written(program)
    deadline = time.monotonic() + timeout
    while True:
        out = written(program)
        if until(out) or time.monotonic() > deadline:
            return out
        time.sleep(0.02)


def console_with(program, *pieces):
    """printgate's standard output once it holds every one of pieces (or
    after the console's timeout, for the caller's assertion to show)."""
    return console(program, lambda out: all(piece in out for piece in pieces))


def output(program):
    """What printgate said on standard output before the call, as bytes."""
    return console(program)


def wait_for_output(program, needle, timeout=60):
    return wait_until(lambda: needle in written(program), timeout, what=repr(needle))


def thread_count(pid):
    """Threads of a process (under Wine, the Windows program's process)."""
    with open("/proc/%d/status" % pid) as f:
        return int([line.split()[1] for line in f if line.startswith("Threads:")][0])
