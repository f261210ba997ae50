"""Latency of one label, from the page's POST to the job accepted by the CUPS
scheduler, against `lp -d QUEUE` of the same image file and against the
floor (bench_print_floor: libcups Create-Job and Send-Document of the same
label's PDF, in-process on a kept connection), all in the same run.

Starts a private scheduler with a capture label queue and the native
printgate (both stopped by PID at the end), then takes the three ways in
turn for N labels each, every label onto an idle queue, and prints p50 and
p99 of each and the ratios. The labels fall in rounds of consecutive
labels (every way has its labels of a round in the same stretch of time):
a ratio is the median of the rounds' ratios, their spread beside it, so
that a busy moment of the machine moves one round, not the figure. A
round's p99 is of its own labels (with 40, their worst). A
PrintImage answer leaves only after the job has been handed to the
scheduler, so the POST's round trip is the figure; lp returns once the
scheduler has the job. The floor also times each scheduler round trip a
job may make, alone.

With --wine LABELS it then does the same for printgate.exe under Wine (the
Windows build, in a prefix of the run) against lp, on the same scheduler.

    python3 bench/print_latency_cups.py [--labels 200] [--rounds 5] [--wine 40] [--build build/native]

With --wrk SECONDS it measures PrintImage throughput instead: wrk feeds the
same label over a few keep-alive connections; every request becomes a real
job, so the run is short.
"""

import argparse
import os
import select
import statistics
import subprocess
import time
import http.client as httpclient

from bench_run import ROOT, bench_run, percentile, rounds_figure  # noqa: E402
from pylib import httpapi, native, processes, scheduler, wineprefix  # noqa: E402


def print_failures(gate):
    """How many PrintImage requests printgate has failed to print so far (the
    answer is 200 all the same, so only its output tells)."""
    return processes.output(gate).count(b"Printing failed")


def wrk_figures(cups, gate, body, args):
    script = os.path.join(os.path.dirname(cups["root"]), "post.lua")
    with open(script, "w") as f:
        f.write('wrk.method = "POST"\nwrk.headers["Content-Type"] = "text/plain"\nwrk.body = "%s"\n'
                % body.decode())
    before, failed_before = len(scheduler.captured_jobs(cups)), print_failures(gate)
    out = subprocess.run(["wrk", "-t2", "-c%d" % args.connections, "-d%ds" % args.wrk, "--latency", "-s", script,
                          "http://127.0.0.1:%d/vqapi/PrintImage?printer=VELQ" % httpapi.API_PORT],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    fields = {line.split()[0]: line.split()[1] for line in out.splitlines()
              if line.strip().startswith(("50%", "99%", "Requests/sec:"))}
    requests = int(out.split(" requests in ")[0].split()[-1])

    def jobs_and_failures():
        return len(scheduler.captured_jobs(cups)) - before, print_failures(gate) - failed_before
    # Requests still in flight when wrk stops counting finish as jobs too. A
    # request the scheduler refused (past its limit of queued jobs) never
    # becomes one: waiting for its job would wait out the time-out and fail
    # the run.
    processes.wait_until(lambda: sum(jobs_and_failures()) >= requests, 300, interval=0.5, what="every job")
    jobs, failed = jobs_and_failures()
    print("PrintImage (wrk, %d connections, %ds): %s req/s, p50 %s, p99 %s; %d requests, %d jobs captured%s"
          % (args.connections, args.wrk, fields["Requests/sec:"], fields["50%"], fields["99%"], requests, jobs,
             "; %d not printed (the scheduler refused the job: the figures count them)" % failed if failed else ""))


def settled(cups):
    """Waits until every job handed to the scheduler so far has reached the
    capture backend, and a moment more: each label then meets an idle queue,
    which the scheduler starts at once. (Behind a busy queue a job is only
    queued and answers sooner, so whichever way came after another's job
    would look faster.)"""
    sent = [len(scheduler.captured_jobs(cups))]

    def wait():
        sent[0] += 1
        processes.wait_until(lambda: len([name for name in os.listdir(cups["capture"]) if name.endswith(".queue")])
                           >= sent[0], 60, interval=0.002, what="the job")
        time.sleep(0.02)
    return wait


def alternate(labels, body, image, env, settle, floor_label=None):
    """Labels through printgate, lp and the floor in turn, each onto an idle
    queue (settle); their milliseconds."""
    connection = httpclient.HTTPConnection("127.0.0.1", 6780, timeout=120)
    gate_ms, lp_ms, floor_ms = [], [], []

    def post():
        # A wait for a slow job (the first under Wine, or on a loaded machine)
        # can outlast printgate's keep-alive time-out: like a browser, take a
        # connection the program has closed for closed instead of writing
        # into it.
        if connection.sock is not None and select.select([connection.sock], [], [], 0)[0]:
            connection.close()
        start = time.perf_counter()
        connection.request("POST", "/vqapi/PrintImage?printer=VELQ", body=body)
        response = connection.getresponse()
        response.read()
        gate_ms.append((time.perf_counter() - start) * 1000)
        assert response.status == 200

    def lp():
        start = time.perf_counter()
        subprocess.run(["lp", "-d", "VELQ", "-t", "velq label", image], env=env, check=True,
                       stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        lp_ms.append((time.perf_counter() - start) * 1000)

    ways = [post, lp] + ([lambda: floor_ms.append(floor_label())] if floor_label else [])
    for way in ways * 5:  # warm every path: the scheduler, the filters' caches
        way()
        settle()
    gate_ms.clear()
    lp_ms.clear()
    floor_ms.clear()
    for i in range(labels):
        for k in range(len(ways)):
            ways[(i + k) % len(ways)]()
            settle()
    connection.close()
    return gate_ms, lp_ms, floor_ms


def in_rounds(rounds, *ways):
    """Each way's milliseconds cut into rounds of consecutive labels (the
    ways took turns label by label, so a round spans the same time for
    all); per round, each way's (p50, p99)."""
    per_round = len(ways[0]) // rounds
    return [[(percentile(ms[r * per_round:(r + 1) * per_round], 0.50),
              percentile(ms[r * per_round:(r + 1) * per_round], 0.99)) for ms in ways] for r in range(rounds)]


def ratio_line(name, ratios, goal):
    print("ratio %s: %s, median of %d rounds (goal <= %.1fx) %s"
          % (name, rounds_figure(ratios), len(ratios), goal, "met" if statistics.median(ratios) <= goal else "NOT met"))


def wine_figures(cups, body, image, env, labels, rounds, run):
    """printgate.exe under Wine on the same scheduler, against lp."""
    wine_env = wineprefix.new_prefix(run, cups)
    wineprefix.start_printgate(run, wine_env)
    gate_ms, lp_ms, _ = alternate(labels, body, image, env, settled(cups))
    each = in_rounds(rounds, gate_ms, lp_ms)
    for number, ((g50, g99), (l50, l99)) in enumerate(each, 1):
        print("Wine round %d: printgate.exe p50 %.2f ms  p99 %.2f ms; lp p50 %.2f ms  p99 %.2f ms; p50 %.2fx"
              % (number, g50, g99, l50, l99, g50 / l50))
    p50s = [g[0] / l[0] for g, l in each]
    p99s = [g[1] / l[1] for g, l in each]
    print("printgate.exe under Wine, %d labels in %d rounds: p50 %.2f ms  p99 %.2f ms; lp p50 %.2f ms  p99 %.2f ms;"
          " ratio p50 %s  p99 %s, medians of the rounds (no goal)"
          % (labels, rounds, percentile(gate_ms, 0.50), percentile(gate_ms, 0.99), percentile(lp_ms, 0.50),
             percentile(lp_ms, 0.99), rounds_figure(p50s), rounds_figure(p99s)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--labels", type=int, default=200, help="per way, in all the rounds")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--wrk", type=int, default=0, metavar="SECONDS")
    parser.add_argument("--connections", type=int, default=4)
    parser.add_argument("--wine", type=int, default=0, metavar="LABELS")
    args = parser.parse_args()
    if min(args.labels, args.wine or args.rounds) < args.rounds:
        parser.error("every round needs a label of each way")
    with bench_run(args.build) as run:
        cups = native.start_label_cups(run, queues=("VELQ",))
        env = native.native_env(run, cups)
        gate = native.start_native(run, env)
        image = os.path.join(run["dir"], "label.png")
        # A label as pages send them: black bars and blocks on white.
        draw = ["xc:white", "-fill", "black"]
        for x in range(20, 380, 7):
            draw += ["-draw", "rectangle %d,20 %d,120" % (x, x + (x % 3) + 1)]
        draw += ["-draw", "rectangle 20,150 380,170", "-draw", "rectangle 20,190 200,220"]
        subprocess.run(["convert", "-size", "400x240"] + draw + ["-depth", "8", image], check=True)
        body = native.data_url(image)
        if args.wrk:
            wrk_figures(cups, gate, body, args)
            return
        floor_exe = os.path.join(os.path.abspath(args.build), "bench", "bench_print_floor")
        steps = subprocess.run([floor_exe, "VELQ", image, "steps", "30"], env=env, check=True,
                               stdout=subprocess.PIPE, text=True).stdout
        # Its jobs must not count as the run's.
        processes.wait_until(lambda: len(scheduler.captured_jobs(cups)) >= 60, 120, interval=0.1,
                           what="the steps' jobs")
        floor = subprocess.Popen([floor_exe, "VELQ", image, "serve"], env=env, text=True,
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        run["stops"].append(lambda: processes.stop_process(floor))

        def floor_label():
            floor.stdin.write("\n")
            floor.stdin.flush()
            answer = floor.stdout.readline()
            assert not answer.startswith("failed"), answer
            return float(answer)

        gate_ms, lp_ms, floor_ms = alternate(args.labels, body, image, env, settled(cups),
                                             floor_label)
        floor.stdin.close()
        floor.wait(timeout=30)
        g50, g99 = percentile(gate_ms, 0.50), percentile(gate_ms, 0.99)
        l50, l99 = percentile(lp_ms, 0.50), percentile(lp_ms, 0.99)
        f50, f99 = percentile(floor_ms, 0.50), percentile(floor_ms, 0.99)
        print("labels per way: %d in %d rounds (400 x 240 PNG, %d bytes posted)" % (args.labels, args.rounds, len(body)))
        each = in_rounds(args.rounds, gate_ms, lp_ms, floor_ms)
        for number, ((rg50, rg99), (rl50, rl99), (rf50, rf99)) in enumerate(each, 1):
            print("round %d: printgate p50 %.2f p99 %.2f ms; lp p50 %.2f p99 %.2f ms; floor p50 %.2f p99 %.2f ms;"
                  " printgate/lp p50 %.2fx p99 %.2fx, printgate/floor p50 %.2fx"
                  % (number, rg50, rg99, rl50, rl99, rf50, rf99, rg50 / rl50, rg99 / rl99, rg50 / rf50))
        print("all labels: printgate PrintImage -> job accepted p50 %.2f ms  p99 %.2f ms; lp -d VELQ p50 %.2f ms"
              "  p99 %.2f ms; floor Create-Job + Send-Document p50 %.2f ms  p99 %.2f ms"
              % (g50, g99, l50, l99, f50, f99))
        ratio_line("printgate/lp p50", [g[0] / l[0] for g, l, _ in each], 0.5)
        ratio_line("printgate/lp p99", [g[1] / l[1] for g, l, _ in each], 1.0)
        ratio_line("printgate/floor p50", [g[0] / f[0] for g, _, f in each], 2.0)
        print(steps.strip())
        if args.wine:
            processes.stop_process(gate["proc"])
            wine_figures(cups, body, image, env, args.wine, args.rounds, run)


if __name__ == "__main__":
    main()
