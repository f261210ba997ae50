"""The main job: the native printgate serving 127.0.0.1:6780 in front of
CUPS. When the machine's scheduler answers, printgate uses it and its
queues; otherwise a private scheduler is started with a queue "VELQ" (the
default) that saves each job to build/run/jobs. With --wine, printgate.exe
runs under Wine in front of a private scheduler instead. Runs until
interrupted (Ctrl-C), then stops everything it started, by PID."""

import os
import shutil
import signal
import subprocess
import sys
import time

# The harness package comes from tests/ on PYTHONPATH, which run.sh sets
# through the scripts' prologue.
from pylib import httpapi, native, paths, processes, wineprefix

wine = "--wine" in sys.argv[1:]
private = wine or os.environ.get("PG_PRIVATE_CUPS") == "1"
if not private:
    # lpstat -r asks the scheduler libcups would use (CUPS_SERVER,
    # client.conf, the local socket).
    answer = subprocess.run(["lpstat", "-r"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, timeout=30).stdout
    private = answer.strip() != "scheduler is running"

folder = os.path.join(paths.SOURCE_DIR, "build", "run")
shutil.rmtree(os.path.join(folder, "cups"), ignore_errors=True)
shutil.rmtree(os.path.join(folder, "prefix"), ignore_errors=True)
os.makedirs(folder, exist_ok=True)
os.chmod(folder, 0o755)
run = {"dir": folder, "stops": []}


def on_signal(*_):
    processes.stop_all(run, "stopping")
    sys.exit(0)


signal.signal(signal.SIGTERM, on_signal)
signal.signal(signal.SIGINT, on_signal)
try:
    jobs = os.path.join(folder, "jobs")
    if private:
        cups = native.start_label_cups(run, queues=("VELQ",))
        if os.path.islink(jobs) or os.path.exists(jobs):
            os.remove(jobs)
        os.symlink(cups["capture"], jobs)
    if wine:
        env = wineprefix.new_prefix(run, cups)
        gate = wineprefix.start_printgate(run, env)
        print("printgate.exe is serving http://127.0.0.1:%d/ (log: %s)" % (httpapi.API_PORT, gate["out"]))
    else:
        env = dict(os.environ)
        if private:
            env["CUPS_SERVER"] = cups["server"]
            env["CUPS_SERVERROOT"] = cups["root"]
            for name in ("LPDEST", "PRINTER"):
                env.pop(name, None)
        gate = native.start_native(run, env, timeout=120)
        print("printgate is serving http://127.0.0.1:%d/ (log: %s)" % (httpapi.API_PORT, gate["out"]))
    if private:
        print("Private CUPS scheduler at %s; jobs printed on VELQ are saved in %s "
              "(job-N.data is the PDF the printer gets, job-N.title its title)." % (cups["server"], jobs))
    else:
        print("Using this machine's CUPS scheduler; its queues:")
        subprocess.run(["lpstat", "-e"], stdin=subprocess.DEVNULL)
    print("Press Ctrl-C to stop.")
    sys.stdout.flush()
    while gate["proc"].poll() is None:
        time.sleep(1)
    print("printgate exited with", gate["proc"].returncode)
finally:
    # Not sys.exit here: a failure to start must still show its traceback.
    processes.stop_all(run, "stopping")
