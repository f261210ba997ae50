"""What printgate's log file costs a print request, under Wine.

Two figures, from the same run:
- in-process: bench_log_write.exe times the lines one PrintImage request
  writes, through the real diagnostic path and the Win32 file backend,
  with the log file on and with none;
- end to end: printgate.exe's PrintImage round trip (POST to job accepted
  by the private CUPS scheduler), in rounds that alternate between a
  printgate whose log is written and one whose log can't be (a folder
  stands where the file would be, so the writer skips it and tries again
  only every 10 s), every label onto an idle queue. It also counts the
  lines a request adds to the log.

    python3 bench/log_cost_wine.py [--labels 40] [--build build/native]
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
import http.client as httpclient

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_run import ROOT, bench_run, percentile  # noqa: E402
from print_latency_cups import settled  # noqa: E402
from pylib import applogs, httpapi, native, paths, processes, wineprefix  # noqa: E402


def post_labels(labels, body, settle):
    """Each label on a connection of its own: waiting for the job can take
    longer than printgate keeps an idle connection."""
    times = []
    for _ in range(labels):
        connection = httpclient.HTTPConnection("127.0.0.1", 6780, timeout=120)
        connection.connect()
        start = time.perf_counter()
        connection.request("POST", "/vqapi/PrintImage?printer=VELQ", body=body,
                           headers={"Origin": "https://labels.example.com"})
        response = connection.getresponse()
        response.read()
        times.append((time.perf_counter() - start) * 1000)
        connection.close()
        assert response.status == 200
        settle()
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--labels", type=int, default=40, help="labels per round; 4 rounds per way")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    args = parser.parse_args()
    load_before = os.getloadavg()
    with bench_run(args.build) as run:
        cups = native.start_label_cups(run, queues=("VELQ",))
        env = wineprefix.new_prefix(run, cups)
        code, micro = wineprefix.wine(env, [paths.win_exe("bench/bench_log_write.exe"),
                                         "C:\\bench-log\\printgate.log", "4000"])
        image = os.path.join(run["dir"], "label.png")
        subprocess.run(["convert", "-size", "400x240", "xc:white", "-fill", "black", "-draw",
                        "rectangle 20,20 380,120", "-depth", "8", image], check=True)
        body = native.data_url(image)
        log = applogs.printgate_log_path(env)
        settle = settled(cups)
        written, skipped, lines = [], [], []
        processes.wait_until(lambda: not httpapi.api_answering(), 600, interval=1, what="port 6780 to be free")
        for round_ in range(8):
            on = round_ % 2 == 0
            if os.path.isdir(log):
                os.rmdir(log)
            if not on:
                if os.path.exists(log):
                    os.remove(log)
                os.makedirs(log)
            gate = wineprefix.start_printgate(run, env, name="printgate-%d" % round_)
            post_labels(3, body, settle)  # warm: the spooler, GDI+, the scheduler's filters
            before = len(applogs.read_log(log)) if on else 0
            times = post_labels(args.labels, body, settle)
            (written if on else skipped).extend(times)
            if on:
                lines.append((len(applogs.read_log(log)) - before) / args.labels)
            processes.stop_process(gate["proc"])
            processes.wait_until(lambda: not httpapi.api_answering(), 60, what="printgate to end")
        if os.path.isdir(log):
            shutil.rmtree(log)
        w50, s50 = percentile(written, 0.5), percentile(skipped, 0.5)
        w99, s99 = percentile(written, 0.99), percentile(skipped, 0.99)
        print("in-process (bench_log_write.exe under Wine): " + micro.strip().splitlines()[-1])
        print("printgate.exe under Wine, %d labels per way: log written p50 %.2f ms  p99 %.2f ms;"
              " log skipped p50 %.2f ms  p99 %.2f ms; difference p50 %.2f ms (%.1f%%)"
              % (len(written), w50, w99, s50, s99, w50 - s50, (w50 - s50) / s50 * 100))
        print("lines a print request adds to the log: %.1f" % (sum(lines) / len(lines)))
        print("load average (1, 5, 15 min): %.2f %.2f %.2f at the start, %.2f %.2f %.2f at the end"
              % (load_before + os.getloadavg()))


if __name__ == "__main__":
    main()
