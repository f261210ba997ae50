"""How long another client waits while connections are held open: idle
keep-alive connections (each has had its answer and waits for the next
request) plus connections trickling a request a byte a second, in front of
printgate over a private CUPS scheduler, natively or printgate.exe under Wine.

Each round opens the idle connections afresh (so they are all inside their
keep-alive wait), then times GetPrinters requests of a new client, each on a
connection of its own. The trickling ones stay for the whole run. Prints
p50, p99 and the worst wait per hold, and the program's thread count.

    python3 bench/held_connections.py [--wine] [--holds 0+0,64+32,96+32,128+32]
"""

import argparse
import os
import socket
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "bench-win"))
sys.path.insert(0, os.path.join(ROOT, "tests", "cups"))

def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, int(round(fraction * len(ordered) + 0.5)) - 1))]


def timed_request(harness, timeout):
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", harness.API_PORT), timeout=timeout) as s:
        s.sendall(harness.GET_PRINTERS)
        head = harness.read_answer(s)
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError(head[:80])
    return (time.perf_counter() - start) * 1000


def measure(harness, pid, idle_count, slow_count, rounds, per_round):
    waits, threads = [], 0
    with harness.trickling_connections(slow_count):
        for _ in range(rounds):
            idle = harness.open_idle_connections(idle_count)
            try:
                for _ in range(per_round):
                    waits.append(timed_request(harness, 60))
                threads = max(threads, harness.thread_count(pid))
            finally:
                for s in idle:
                    s.close()
    return waits, threads


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", action="store_true", help="printgate.exe under Wine")
    parser.add_argument("--holds", default="0+0,64+32,96+32,128+32")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--per-round", type=int, default=20)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    args = parser.parse_args()
    os.environ["PG_NATIVE_BUILD"] = os.path.abspath(args.build)
    os.environ.setdefault("PG_BENCH_DIR", os.path.join(os.path.abspath(args.build), "bench-cups"))
    import harness
    import native

    stops = []
    run = harness.new_run(stops.append)
    try:
        if args.wine:
            cups = harness.start_cups(run)
            env = harness.new_prefix(run, cups)
            program = harness.start_printgate(run, env)
            # Wine's launcher becomes the program's own process: same PID.
            pid = program["proc"].pid
            what = "printgate.exe under Wine"
        else:
            cups = native.start_label_cups(run, queues=("VELQ", "Office"))
            program = native.start_native(run, native.native_env(run, cups))
            pid = program["proc"].pid
            what = "printgate (native)"
        timed_request(harness, 60)  # warm: the scheduler's first listing
        for hold in args.holds.split(","):
            idle_count, slow_count = (int(n) for n in hold.split("+"))
            waits, threads = measure(harness, pid, idle_count, slow_count, args.rounds, args.per_round)
            print("%s, %d idle keep-alive + %d trickling held: new client's GetPrinters "
                  "p50 %.2f ms  p99 %.2f ms  max %.2f ms (%d requests); program threads %d"
                  % (what, idle_count, slow_count, percentile(waits, 0.5), percentile(waits, 0.99),
                     max(waits), len(waits), threads))
    finally:
        for stop in reversed(stops):
            stop()


if __name__ == "__main__":
    main()
