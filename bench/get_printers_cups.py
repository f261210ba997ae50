"""GetPrinters over CUPS: the native printgate in front of a private
scheduler with a few queues, wrk on one keep-alive connection, against the
floor of the same work, the listing's libcups enumeration called in a loop
in one process (bench_cups_enum_loop) on the same scheduler in the same run.
The figure is printgate's time per request over the loop's time per call.

    python3 bench/get_printers_cups.py [--seconds 3] [--build build/native]
"""

import argparse
import json
import os
import re
import subprocess

from bench_run import ROOT, bench_run  # noqa: E402
from pylib import httpapi, native  # noqa: E402
import keepalive_latency  # noqa: E402

QUEUES = ("VELQ", "Office", "Label2", "Shipping", "Returns")
OVERHEAD_GOAL = 1.2


def listed_names(body):
    return [printer["name"] for printer in json.loads(body)["resultInfo"]["printers"]]


def enum_loop(binary, env, seconds):
    """(ms per call, p50, p99, queue names) of the in-process loop."""
    out = subprocess.run([binary, str(seconds)], env=env, check=True, stdout=subprocess.PIPE,
                         stdin=subprocess.DEVNULL, text=True, timeout=seconds + 60).stdout
    figures, queues = out.splitlines()[:2]
    numbers = [float(n) for n in re.findall(r"([0-9.]+) ms", figures)]
    return numbers[0], numbers[1], numbers[2], queues.split()[1:]


def start(run, build):
    """A private scheduler with QUEUES and the native printgate in front of
    it; returns the environment that reaches the scheduler."""
    cups = native.start_label_cups(run, queues=QUEUES)
    env = native.native_env(run, cups)
    native.start_native(run, env)
    return env


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    args = parser.parse_args()
    loop_binary = os.path.join(args.build, "bench", "bench_cups_enum_loop")
    with bench_run(args.build) as run:
        env = start(run, args.build)
        status, _, body = keepalive_latency.get_printers(httpapi.API_PORT)
        # Two rounds each, alternated, the better of each kept (the machine
        # is shared).
        rounds = [(enum_loop(loop_binary, env, args.seconds),
                   keepalive_latency.wrk(run, httpapi.API_PORT, 1, args.seconds)) for _ in range(2)]
        per_call, loop50, loop99, loop_queues = min((pair[0] for pair in rounds), key=lambda loop: loop[0])
        served = max((pair[1] for pair in rounds), key=lambda figures: figures["rps"])
        # A floor that lists other queues would be the floor of other work.
        if status != 200 or listed_names(body) != loop_queues:
            raise SystemExit("printgate lists %r, the loop %r" % (body, loop_queues))
        per_request = 1000.0 / served["rps"]
        print("queues: %d (%s), %d answer bytes" % (len(loop_queues), " ".join(loop_queues), len(body)))
        print(keepalive_latency.line("printgate over CUPS, 1 conn, best of 2", served))
        print("%-44s %9.4f ms per request" % ("", per_request))
        print("%-44s %9.4f ms per call  p50 %8.3f ms  p99 %8.3f ms" % ("libcups enumeration loop, best of 2",
                                                                      per_call, loop50, loop99))
        # The goal is on the time per request (every request's cost, tails
        # included); the medians' ratio is shown beside it.
        ratio = per_request / per_call
        print("medians: printgate %.3f ms, loop %.3f ms, %.2fx" % (served["p50"], loop50, served["p50"] / loop50))
        print("GetPrinters over CUPS overhead: %.2fx the loop (goal <= %.1fx) %s"
              % (ratio, OVERHEAD_GOAL, keepalive_latency.verdict(ratio <= OVERHEAD_GOAL)))


if __name__ == "__main__":
    main()
