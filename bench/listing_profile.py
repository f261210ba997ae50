"""Where a GetPrinters request's time goes at 8 keep-alive connections, in
printgate's server (the bench server program, "api" mode) and in nginx
answering the same bytes: the servers' CPU per request, user and kernel,
from /proc while wrk runs; then, in a second run under strace -f -c (which
slows the servers, so only its counts are kept), the system calls each
server makes per request.

    python3 bench/listing_profile.py [--seconds 3] [--build build/native]
"""

import argparse
import os
import re
import subprocess
import time

import keepalive_latency
from bench_run import ROOT, bench_run, cpu_times
from pylib import processes

# System calls shown by name; the rest are summed.
NAMED = ("poll", "epoll_wait", "recvfrom", "read", "sendto", "writev", "write", "futex")


def children(pid):
    """The PIDs of a process's children (nginx's workers)."""
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [int(p) for p in f.read().split()]


def cpu_so_far(pids):
    """(user, kernel) CPU seconds so far, summed over pids."""
    return [sum(times) for times in zip(*(cpu_times(pid) for pid in pids))]


def cpu_per_request(run, pids, port, seconds):
    before = cpu_so_far(pids)
    figures = keepalive_latency.wrk(run, port, 8, seconds)
    after = cpu_so_far(pids)
    user, kernel = [(a - b) * 1e6 / figures["requests"] for a, b in zip(after, before)]
    return figures["rps"], user, kernel


def syscalls_per_request(run, pids, port, seconds):
    """{name: calls per request} over one wrk run with strace attached."""
    summary = os.path.join(run["dir"], "strace-%d.txt" % port)
    args = ["strace", "-f", "-c", "-o", summary] + [a for pid in pids for a in ("-p", str(pid))]
    tracer = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    run["stops"].append(lambda: processes.stop_process(tracer))
    # strace says nothing once it is attached; a pause covers it.
    time.sleep(1)
    requests = keepalive_latency.wrk(run, port, 8, seconds)["requests"]
    tracer.send_signal(2)
    tracer.wait(30)
    counts = {}
    with open(summary) as f:
        for line in f:
            found = re.match(r"\s*[0-9.]+\s+[0-9.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", line)
            if found and found.group(2) != "total":
                counts[found.group(2)] = int(found.group(1)) / requests
    return counts


def describe(counts):
    named = ["%s %.2f" % (name, counts[name]) for name in NAMED if counts.get(name, 0) >= 0.005]
    rest = sum(n for name, n in counts.items() if name not in NAMED)
    return ", ".join(named + ["others %.2f" % rest])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=3)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    args = parser.parse_args()
    with bench_run(args.build, "bench-cups") as run:
        binary = os.path.join(args.build, "bench", "bench_get_printers_server")
        server, api = keepalive_latency.start_bench_server(run, binary, "api")
        status, headers, body = keepalive_latency.get_printers(api)
        assert status == 200, status
        nginx, anchor = keepalive_latency.start_nginx(run, body, keepalive_latency.header_values(headers))
        for name, pids, port in (("printgate", [server.pid], api), ("nginx", children(nginx.pid), anchor)):
            rps, user, kernel = cpu_per_request(run, pids, port, args.seconds)
            counts = syscalls_per_request(run, pids, port, args.seconds)
            print("%s, 8 conn: %.0f req/s; server CPU per request %.1f us (user %.1f, kernel %.1f); "
                  "system calls per request %.2f: %s"
                  % (name, rps, user + kernel, user, kernel, sum(counts.values()), describe(counts)))


if __name__ == "__main__":
    main()
