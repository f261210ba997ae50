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
import time

from bench_run import ROOT, bench_run, cpu_times, percentile, wake_ups  # noqa: E402
from pylib import httpapi, limits, native, processes, scheduler, wineprefix  # noqa: E402


def timed_request(timeout):
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", httpapi.API_PORT), timeout=timeout) as s:
        s.sendall(httpapi.GET_PRINTERS)
        head = httpapi.read_answer(s)
    if not head.startswith(b"HTTP/1.1 200"):
        raise RuntimeError(head[:80])
    return (time.perf_counter() - start) * 1000


# How long the program is left alone before it is seen at rest.
REST_SECONDS = 5


def measure(pid, idle_count, slow_count, rounds, per_round, timeout):
    """The new client's waits (ms), the most threads seen, and how many
    requests timed out."""
    waits, threads, timed_out = [], 0, 0
    with httpapi.trickling_connections(slow_count):
        for _ in range(rounds):
            # Idle means answered: those within the workers have had their
            # answer before the new client comes; those past the workers
            # queue, and the new client waits behind them.
            within = max(0, min(idle_count, limits.WORKERS - slow_count))
            idle = httpapi.open_idle_connections(within)
            idle += httpapi.open_idle_connections(idle_count - within, wait=False)
            try:
                for _ in range(per_round):
                    try:
                        waits.append(timed_request(timeout))
                    except socket.timeout:
                        timed_out += 1
                        waits.append(timeout * 1000.0)
                        break
                threads = max(threads, processes.thread_count(pid))
            finally:
                for s in idle:
                    s.close()
    return waits, threads, timed_out


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int([line.split()[1] for line in f if line.startswith("VmRSS:")][0]) / 1024


def program_pid(pid, name):
    """pid itself, once its command line shows it runs name: the figures
    of some other process (Wine's launcher, were it to stay a process of
    its own) would be no figures of the program."""
    with open("/proc/%d/cmdline" % pid, "rb") as f:
        if name.encode() not in f.read():
            raise SystemExit("process %d does not run %s" % (pid, name))
    return pid


def idle_cost(pids, count, seconds=1.5):
    """CPU the programs spend per second, and the first program's wake-ups
    per second, while count idle connections wait inside their keep-alive
    time-out (each worker looks for the next request now and then)."""
    idle = httpapi.open_idle_connections(count)
    try:
        before = [sum(cpu_times(pid)) for pid in pids]
        switches = wake_ups(pids[0])
        time.sleep(seconds)
        switches = wake_ups(pids[0]) - switches
        after = [sum(cpu_times(pid)) for pid in pids]
    finally:
        for s in idle:
            s.close()
    return [(a - b) / seconds for a, b in zip(after, before)], switches / seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", action="store_true", help="printgate.exe under Wine")
    parser.add_argument("--holds", default="0+0,64+32,96+32,128+32")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--per-round", type=int, default=20)
    parser.add_argument("--timeout", type=float, default=10, help="seconds a new client waits for its answer")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    args = parser.parse_args()
    with bench_run(args.build) as run:
        if args.wine:
            cups = scheduler.start_cups(run)
            env = wineprefix.new_prefix(run, cups)
            program = wineprefix.start_printgate(run, env)
            # Wine's launcher becomes the program's own process: same PID.
            pid = program_pid(program["proc"].pid, "printgate.exe")
            cost_pids = [pid, wineprefix.wineserver_pid(env)]
            what = "printgate.exe under Wine"
        else:
            cups = native.start_label_cups(run, queues=("VELQ", "Office"))
            program = native.start_native(run, native.native_env(run, cups))
            pid = program["proc"].pid
            cost_pids = [pid]
            what = "printgate (native)"
        timed_request(60)  # warm: the scheduler's first listing
        time.sleep(REST_SECONDS)
        print("%s at rest (one listing served, then idle %d s): %d threads, RSS %.1f MiB"
              % (what, REST_SECONDS, processes.thread_count(pid), rss_mib(pid)))
        for hold in args.holds.split(","):
            idle_count, slow_count = (int(n) for n in hold.split("+"))
            waits, threads, timed_out = measure(pid, idle_count, slow_count, args.rounds, args.per_round,
                                                args.timeout)
            late = ("; %d timed out after %g s (counted as %g s: the worst is a lower bound)"
                    % (timed_out, args.timeout, args.timeout) if timed_out else "")
            print("%s, %d idle keep-alive + %d trickling held: new client's GetPrinters "
                  "p50 %.2f ms  p99 %.2f ms  max %.2f ms (%d requests); program threads %d%s"
                  % (what, idle_count, slow_count, percentile(waits, 0.5), percentile(waits, 0.99),
                     max(waits), len(waits), threads, late))
        # The holds' connections are closed; wait until the program has
        # surely let go of every one (a kept connection's time-out and a
        # second), so that the rows below count only their own connections.
        time.sleep(limits.KEEP_ALIVE_SECONDS + 1)
        for count in (0, 64):
            costs, wakeups = idle_cost(cost_pids, count)
            print("%s, %d idle keep-alive connections inside their time-out: CPU %s of a core, "
                  "total %.1f%%; program wake-ups %.0f/s"
                  % (what, count, ", ".join("%.1f%%" % (100 * c) for c in costs)
                     + (" (program, wineserver)" if len(costs) > 1 else ""), 100 * sum(costs), wakeups))


if __name__ == "__main__":
    main()
