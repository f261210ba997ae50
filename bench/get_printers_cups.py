"""GetPrinters over CUPS: the native printgate in front of a private
scheduler with a few queues, wrk on one keep-alive connection, against the
floor of the same work, the listing's libcups enumeration called in a loop
in one process (bench_cups_enum_loop) on the same scheduler in the same run.
The figure is printgate's time per request over the loop's time per call,
taken in rounds (printgate, then the loop, a line each round): the median of
the rounds' ratios, their spread beside it.

    python3 bench/get_printers_cups.py [--seconds 1] [--rounds 5] [--build build/native]
"""

import argparse
import json
import os
import re
import statistics
import subprocess

from bench_run import ROOT, bench_run, rounds_figure  # noqa: E402
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
    parser.add_argument("--seconds", type=float, default=1, help="of each side of a round")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    args = parser.parse_args()
    loop_binary = os.path.join(args.build, "bench", "bench_cups_enum_loop")
    with bench_run(args.build) as run:
        env = start(run, args.build)
        status, _, body = keepalive_latency.get_printers(httpapi.API_PORT)
        loop_queues = enum_loop(loop_binary, env, 0.1)[3]
        # A floor that lists other queues would be the floor of other work.
        if status != 200 or listed_names(body) != loop_queues:
            raise SystemExit("printgate lists %r, the loop %r" % (body, loop_queues))
        print("queues: %d (%s), %d answer bytes" % (len(loop_queues), " ".join(loop_queues), len(body)))
        # wrk takes whole seconds.
        wrk_seconds = max(1, int(round(args.seconds)))
        # The goal is on the time per request (every request's cost, tails
        # included); the medians' ratio is shown beside it.
        each, medians = [], []
        for number in range(1, args.rounds + 1):
            served = keepalive_latency.wrk(run, httpapi.API_PORT, 1, wrk_seconds)
            per_call, loop50, loop99, _ = enum_loop(loop_binary, env, args.seconds)
            per_request = 1000.0 / served["rps"]
            each.append(per_request / per_call)
            medians.append(served["p50"] / loop50)
            print("round %d: printgate %.4f ms per request (p50 %.3f, p99 %.3f ms); loop %.4f ms per call "
                  "(p50 %.3f, p99 %.3f ms); %.2fx" % (number, per_request, served["p50"], served["p99"], per_call,
                                                      loop50, loop99, each[-1]))
        print("medians' ratio printgate/loop: %s" % rounds_figure(medians))
        print("GetPrinters over CUPS overhead: %s the loop, median of %d rounds (goal <= %.1fx) %s"
              % (rounds_figure(each), args.rounds, OVERHEAD_GOAL,
                 keepalive_latency.verdict(statistics.median(each) <= OVERHEAD_GOAL)))


if __name__ == "__main__":
    main()
