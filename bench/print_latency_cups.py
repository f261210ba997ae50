"""Latency of one label, from the page's POST to the job accepted by the CUPS
scheduler, against `lp -d QUEUE` of the same image file in the same run.

Starts a private scheduler with a capture label queue and the native
printgate (both stopped by PID at the end), then alternates the two ways
for N labels each and prints p50 and p99 of both and their ratios. A
PrintImage answer leaves only after the job has been handed to the
scheduler, so the POST's round trip is the figure; lp returns once the
scheduler has the job.

    python3 bench/print_latency_cups.py [--labels 200] [--build build/native]

With --wrk SECONDS it measures PrintImage throughput instead: wrk feeds the
same label over a few keep-alive connections; every request becomes a real
job, so the run is short.
"""

import argparse
import os
import subprocess
import sys
import time
import http.client as httpclient

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "bench-win"))
sys.path.insert(0, os.path.join(ROOT, "tests", "cups"))


def percentile(values, fraction):
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, int(round(fraction * len(ordered) + 0.5)) - 1))
    return ordered[index]


def wrk_figures(harness, cups, body, args):
    script = os.path.join(os.path.dirname(cups["root"]), "post.lua")
    with open(script, "w") as f:
        f.write('wrk.method = "POST"\nwrk.headers["Content-Type"] = "text/plain"\nwrk.body = "%s"\n'
                % body.decode())
    before = len(harness.captured_jobs(cups))
    out = subprocess.run(["wrk", "-t2", "-c%d" % args.connections, "-d%ds" % args.wrk, "--latency", "-s", script,
                          "http://127.0.0.1:%d/vqapi/PrintImage?printer=VELQ" % harness.API_PORT],
                         check=True, stdout=subprocess.PIPE, text=True).stdout
    fields = {line.split()[0]: line.split()[1] for line in out.splitlines()
              if line.strip().startswith(("50%", "99%", "Requests/sec:"))}
    requests = int(out.split(" requests in ")[0].split()[-1])
    # Requests still in flight when wrk stops counting finish as jobs too.
    harness.wait_until(lambda: len(harness.captured_jobs(cups)) - before >= requests, 300, interval=0.5,
                       what="every job")
    print("PrintImage (wrk, %d connections, %ds): %s req/s, p50 %s, p99 %s; %d requests, %d jobs captured"
          % (args.connections, args.wrk, fields["Requests/sec:"], fields["50%"], fields["99%"],
             requests, len(harness.captured_jobs(cups)) - before))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--labels", type=int, default=200)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--wrk", type=int, default=0, metavar="SECONDS")
    parser.add_argument("--connections", type=int, default=4)
    args = parser.parse_args()
    os.environ["PG_NATIVE_BUILD"] = os.path.abspath(args.build)
    os.environ.setdefault("PG_BENCH_DIR", os.path.join(os.path.abspath(args.build), "bench-cups"))
    import harness
    import native

    stops = []
    run = harness.new_run(stops.append)
    try:
        cups = native.start_label_cups(run, queues=("VELQ",))
        env = native.native_env(run, cups)
        native.start_native(run, env)
        image = os.path.join(run["dir"], "label.png")
        # A label as pages send them: black bars and blocks on white.
        draw = ["xc:white", "-fill", "black"]
        for x in range(20, 380, 7):
            draw += ["-draw", "rectangle %d,20 %d,120" % (x, x + (x % 3) + 1)]
        draw += ["-draw", "rectangle 20,150 380,170", "-draw", "rectangle 20,190 200,220"]
        subprocess.run(["convert", "-size", "400x240"] + draw + ["-depth", "8", image], check=True)
        body = native.data_url(image)
        if args.wrk:
            wrk_figures(harness, cups, body, args)
            return
        lp_env = dict(env)

        connection = httpclient.HTTPConnection("127.0.0.1", harness.API_PORT, timeout=60)
        gate_ms, lp_ms = [], []

        def post():
            start = time.perf_counter()
            connection.request("POST", "/vqapi/PrintImage?printer=VELQ", body=body)
            response = connection.getresponse()
            response.read()
            gate_ms.append((time.perf_counter() - start) * 1000)
            assert response.status == 200

        def lp():
            start = time.perf_counter()
            subprocess.run(["lp", "-d", "VELQ", "-t", "velq label", image], env=lp_env, check=True,
                           stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
            lp_ms.append((time.perf_counter() - start) * 1000)

        for _ in range(5):  # warm both paths: the scheduler, the filters' caches
            post()
            lp()
        gate_ms.clear()
        lp_ms.clear()
        for i in range(args.labels):
            # Alternate, so both see the same scheduler load over the run.
            if i % 2:
                post()
                lp()
            else:
                lp()
                post()
        connection.close()

        g50, g99 = percentile(gate_ms, 0.50), percentile(gate_ms, 0.99)
        l50, l99 = percentile(lp_ms, 0.50), percentile(lp_ms, 0.99)
        print("labels per way: %d (400 x 240 PNG, %d bytes posted)" % (args.labels, len(body)))
        print("printgate PrintImage -> job accepted: p50 %.2f ms  p99 %.2f ms" % (g50, g99))
        print("lp -d VELQ                          : p50 %.2f ms  p99 %.2f ms" % (l50, l99))
        print("ratio printgate/lp: p50 %.2f (goal <= 0.5)  p99 %.2f (goal <= 1.0)" % (g50 / l50, g99 / l99))
    finally:
        for stop in stops:
            stop()


if __name__ == "__main__":
    main()
