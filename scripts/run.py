"""The main job: the native printgate serving 127.0.0.1:6780 in front of
CUPS. When the machine's scheduler answers, printgate uses it and its
queues; otherwise a private scheduler is started with a queue "VELQ" (the
default) that saves each job to build/run/jobs. With --wine, printgate.exe
runs under Wine in front of a private scheduler instead, its "VELQ" set up
as a desk has it: the label family's driver on a port to the scheduler's
queue "LabelQ", whose jobs are saved the same way. Runs until interrupted
(Ctrl-C), then stops everything it started, by PID. PG_RUN_DIR moves its
folder (build/run) elsewhere."""

import os
import shutil
import signal
import subprocess
import sys
import time

# The harness package comes from tests/ on PYTHONPATH, which run.sh sets
# through the scripts' prologue.
from pylib import httpapi, native, paths, processes, scheduler, wineprefix, winservice

# What printerwatch and the MSI give a desk under Wine: the queue "VELQ" of
# the label driver, printing through the port to the scheduler's queue.
WINE_QUEUE, WINE_DRIVER, WINE_CUPS_QUEUE = "VELQ", "VELQ Label Printer", "LabelQ"

wine = "--wine" in sys.argv[1:]
private = wine or os.environ.get("PG_PRIVATE_CUPS") == "1"
if not private:
    # lpstat -r asks the scheduler libcups would use (CUPS_SERVER,
    # client.conf, the local socket).
    answer = subprocess.run(["lpstat", "-r"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, timeout=30).stdout
    private = answer.strip() != "scheduler is running"

folder = os.environ.get("PG_RUN_DIR") or os.path.join(paths.SOURCE_DIR, "build", "run")
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
    if wine:
        cups = scheduler.start_cups(run, queues=(WINE_CUPS_QUEUE,), default=WINE_CUPS_QUEUE)
    elif private:
        cups = native.start_label_cups(run, queues=("VELQ",))
    if private:
        if os.path.islink(jobs) or os.path.exists(jobs):
            os.remove(jobs)
        os.symlink(cups["capture"], jobs)
    if wine:
        env = wineprefix.new_prefix(run, cups)
        # One session for the whole run, as a desk has: Wine's system
        # processes otherwise end with the last program, between the set-up
        # and printgate's start.
        wineprefix.keep_wine_up(run, env)
        winservice.add_label_driver(env, cups, WINE_DRIVER)
        wineprefix.wine(env, [paths.watch_tool("watch_spool_tool.exe"), "add", WINE_QUEUE, WINE_DRIVER,
                              "CUPS:" + WINE_CUPS_QUEUE, "1"])
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
              "(job-N.data is the %s the printer gets, job-N.title its title)."
              % (cups["server"], jobs, "PostScript" if wine else "PDF"))
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
