"""What following labels and pushing events costs, over a private CUPS
scheduler, natively or printgate.exe under the bench's Wine: the watcher's
wake-ups with nothing followed and no stream open (native), the server's CPU
with 32 idle event streams (under Wine the program's and the wineserver's),
the wait of a new GetPrinters beside them, and the time from a job's change
in the spooler (another program cancels it) to its event on a page's stream.

    python3 bench/follow_events.py [--wine] [--build build/native] [--changes 20]
"""

import argparse
import json
import os
import statistics
import subprocess
import time

from bench_run import ROOT, bench_run, cpu_times, percentile, wake_ups  # noqa: E402
from pylib import httpapi, native, processes, scheduler, wineprefix  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", action="store_true", help="printgate.exe under Wine")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--changes", type=int, default=20)
    args = parser.parse_args()
    with bench_run(args.build) as run:
        if args.wine:
            cups = scheduler.start_cups(run, queues=("VELQ", "Held"))
            env = wineprefix.new_prefix(run, cups)
            gate = wineprefix.start_printgate(run, env)
            # Wine's launcher becomes the program's own process: same PID.
            pid = gate["proc"].pid
            cost_pids = [pid, wineprefix.wineserver_pid(env)]
            what = "printgate.exe under Wine (program + wineserver)"
        else:
            cups = native.start_label_cups(run, queues=("VELQ", "Held"))
            gate = native.start_native(run, native.native_env(run, cups))
            pid = gate["proc"].pid
            cost_pids = [pid]
            what = "printgate"
            time.sleep(1)
            before = wake_ups(pid)
            time.sleep(10)
            print("nothing followed, no stream: %d wake-ups of printgate in 10 s (goal 0)"
                  % (wake_ups(pid) - before))

        # One stream first: what the watcher's passes cost, which one open
        # stream starts; then what 31 more add.
        streams = []
        for count in (1, 32):
            streams += [httpapi.EventStream() for _ in range(count - len(streams))]
            processes.wait_until(lambda: all(s.events for s in streams), 60, what="%d streams" % count)
            time.sleep(2)
            used = [sum(cpu_times(p)) for p in cost_pids]
            start = time.time()
            time.sleep(20)
            used = [(sum(cpu_times(p)) - u) * 100 / (time.time() - start) for p, u in zip(cost_pids, used)]
            split = " (%s)" % " + ".join("%.2f" % u for u in used) if len(used) > 1 else ""
            print("%d idle stream%s: %s CPU %.2f %% of a core over 20 s%s (goal <= %d %% for 32)"
                  % (count, "s" if count > 1 else "", what, sum(used), split, 5 if args.wine else 1))
        waits = []
        for _ in range(100):
            began = time.perf_counter()
            status, _, _ = httpapi.http("POST", "/vqapi/GetPrinters", body=b"")
            waits.append((time.perf_counter() - began) * 1000)
            if status != 200:
                raise RuntimeError("GetPrinters answered %d" % status)
        print("GetPrinters beside 32 streams%s: p50 %.1f ms, p99 %.1f ms, worst %.1f ms (goal worst <= 100 ms)"
              % (" under Wine" if args.wine else "", statistics.median(waits), percentile(waits, 0.99), max(waits)))

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
            # Under Wine the answer's job is the Windows spooler's number;
            # the label is the queue's only job either way.
            scheduler.cups_command(cups, ["cancel", "-a", "Held"] if args.wine else ["cancel", "Held-%d" % job])
            processes.wait_until(lambda: "canceled" in streams[0].job_states(job), 30, interval=0.005,
                                 what="canceled event")
            delays.append((time.time() - began) * 1000)
        print("a job's change in the spooler -> its event at the page%s: p50 %.0f ms, worst %.0f ms over %d "
              "(goal p50 <= 1000 ms)"
              % (" under Wine" if args.wine else "", statistics.median(delays), max(delays), len(delays)))
        for stream in streams:
            stream.close()


if __name__ == "__main__":
    main()
