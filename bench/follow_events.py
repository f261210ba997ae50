"""What following labels and pushing events costs, natively, over a private
CUPS scheduler: the watcher's wake-ups with nothing followed and no stream
open, printgate's CPU with 32 idle event streams, the wait of a new
GetPrinters beside them, and the time from a job's change in the spooler
(another program cancels it) to its event on a page's stream.

    python3 bench/follow_events.py [--build build/native] [--changes 20]
"""

import argparse
import json
import os
import statistics
import subprocess
import time

from bench_run import ROOT, bench_run, cpu_times, percentile  # noqa: E402
from pylib import httpapi, native, processes, scheduler  # noqa: E402


def context_switches(pid):
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/status" % (pid, task)) as f:
            total += sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--changes", type=int, default=20)
    args = parser.parse_args()
    with bench_run(args.build) as run:
        cups = native.start_label_cups(run, queues=("VELQ", "Held"))
        gate = native.start_native(run, native.native_env(run, cups))
        pid = gate["proc"].pid
        time.sleep(1)
        before = context_switches(pid)
        time.sleep(10)
        print("nothing followed, no stream: %d context switches of printgate in 10 s (goal 0)"
              % (context_switches(pid) - before))

        streams = [httpapi.EventStream() for _ in range(32)]
        processes.wait_until(lambda: all(s.events for s in streams), 60, what="32 streams")
        time.sleep(2)
        user, kernel = cpu_times(pid)
        start = time.time()
        time.sleep(20)
        user2, kernel2 = cpu_times(pid)
        print("32 idle streams: printgate CPU %.2f %% of a core over 20 s (goal <= 1 %%)"
              % (100 * (user2 - user + kernel2 - kernel) / (time.time() - start)))
        waits = []
        for _ in range(100):
            began = time.perf_counter()
            status, _, _ = httpapi.http("POST", "/vqapi/GetPrinters", body=b"")
            waits.append((time.perf_counter() - began) * 1000)
            if status != 200:
                raise RuntimeError("GetPrinters answered %d" % status)
        print("GetPrinters beside 32 streams: p50 %.1f ms, p99 %.1f ms, worst %.1f ms (goal worst <= 100 ms)"
              % (statistics.median(waits), percentile(waits, 0.99), max(waits)))

        scheduler.cups_command(cups, ["cupsdisable", "Held"])
        label = os.path.join(run["dir"], "label.png")
        subprocess.run(["convert", "-size", "80x40", "xc:white", label], check=True, timeout=60)
        with open(label, "rb") as f:
            body = f.read()
        delays = []
        for _ in range(args.changes):
            _, _, raw = httpapi.http("POST", "/vqapi/v2/print?printer=Held", body=body,
                                     headers={"Content-Type": "image/png"})
            job = json.loads(raw)["job"]
            processes.wait_until(lambda: "waiting" in streams[0].job_states(job), 30, interval=0.005, what="waiting")
            began = time.time()
            scheduler.cups_command(cups, ["cancel", "Held-%d" % job])
            processes.wait_until(lambda: "canceled" in streams[0].job_states(job), 30, interval=0.005,
                                 what="canceled event")
            delays.append((time.time() - began) * 1000)
        print("a job's change in the spooler -> its event at the page: p50 %.0f ms, worst %.0f ms over %d "
              "(goal p50 <= 1000 ms)" % (statistics.median(delays), max(delays), len(delays)))
        for stream in streams:
            stream.close()


if __name__ == "__main__":
    main()
