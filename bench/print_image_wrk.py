"""PrintImage throughput and latency with wrk: the native printgate in front
of a private CUPS scheduler whose label queue saves every job, fed the same
400 x 240 label over a few keep-alive connections. Every request becomes a
real job, so the run is short. Prints wrk's figures.

    python3 bench/print_image_wrk.py [--seconds 5] [--connections 4] [--build build/native]
"""

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tests", "bench-win"))
sys.path.insert(0, os.path.join(ROOT, "tests", "cups"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--connections", type=int, default=4)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    args = parser.parse_args()
    os.environ["PG_NATIVE_BUILD"] = os.path.abspath(args.build)
    os.environ.setdefault("PG_BENCH_DIR", os.path.join(os.path.abspath(args.build), "bench-cups"))
    import harness
    import native
    import test_load

    stops = []
    run = harness.new_run(stops.append)
    try:
        cups = native.start_label_cups(run, queues=("VELQ",))
        native.start_native(run, native.native_env(run, cups))
        body = test_load.data_url(test_load.index_image(42)).decode()
        script = os.path.join(run["dir"], "post.lua")
        with open(script, "w") as f:
            f.write('wrk.method = "POST"\nwrk.headers["Content-Type"] = "text/plain"\nwrk.body = "%s"\n' % body)
        before = len(harness.captured_jobs(cups))
        out = subprocess.run(["wrk", "-t2", "-c%d" % args.connections, "-d%ds" % args.seconds, "--latency",
                              "-s", script, "http://127.0.0.1:%d/vqapi/PrintImage?printer=VELQ" % harness.API_PORT],
                             check=True, stdout=subprocess.PIPE, text=True).stdout
        fields = {line.split()[0]: line.split()[1] for line in out.splitlines()
                  if line.strip().startswith(("50%", "99%", "Requests/sec:"))}
        requests = int(out.split(" requests in ")[0].split()[-1])
        harness.wait_until(lambda: len(harness.captured_jobs(cups)) - before >= requests, 300, interval=0.5,
                           what="every job")
        print("PrintImage (wrk, %d connections, %ds): %s req/s, p50 %s, p99 %s; %d requests, %d jobs captured"
              % (args.connections, args.seconds, fields["Requests/sec:"], fields["50%"], fields["99%"],
                 requests, len(harness.captured_jobs(cups)) - before))
    finally:
        for stop in reversed(stops):
            stop()


if __name__ == "__main__":
    main()
