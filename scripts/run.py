"""The main job: printgate.exe under Wine serving 127.0.0.1:6780 in front of a
private CUPS scheduler whose queue "VELQ" saves each job to build/run/jobs.
Runs until interrupted (Ctrl-C), then stops everything it started."""

import os
import shutil
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "bench-win"))
import harness  # noqa: E402

folder = os.path.join(harness.SOURCE_DIR, "build", "run")
shutil.rmtree(os.path.join(folder, "cups"), ignore_errors=True)
shutil.rmtree(os.path.join(folder, "prefix"), ignore_errors=True)
os.makedirs(folder, exist_ok=True)
os.chmod(folder, 0o755)
run = {"dir": folder, "stops": []}


def stop(*_):
    for step in reversed(run["stops"]):
        try:
            step()
        except Exception as error:
            print("stopping:", error)
    sys.exit(0)


signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)
try:
    cups = harness.start_cups(run, queues=("VELQ",))
    jobs = os.path.join(folder, "jobs")
    if os.path.islink(jobs) or os.path.exists(jobs):
        os.remove(jobs)
    os.symlink(cups["capture"], jobs)
    env = harness.new_prefix(run, cups)
    gate = harness.start_printgate(run, env)
    print("printgate.exe is serving http://127.0.0.1:%d/ (log: %s)" % (harness.API_PORT, gate["out"]))
    print("Jobs printed on VELQ are saved in %s (job-N.data, job-N.title)." % jobs)
    print("Press Ctrl-C to stop.")
    sys.stdout.flush()
    while gate["proc"].poll() is None:
        time.sleep(1)
    print("printgate.exe exited with", gate["proc"].returncode)
finally:
    stop()
