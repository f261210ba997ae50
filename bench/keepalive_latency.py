"""GetPrinters over keep-alive connections, with wrk, on loopback:

- throughput of printgate's server over a constant listing against nginx
  (Debian's, started here with its own configuration, pid file and error
  log in a scratch folder, stopped by its PID) answering the same bytes;
- request latency p50 and p99 over 1 and 8 connections, "after" (the real
  server's settings) and "before" (the same routes on a cpp-httplib server
  left at the library's defaults), both from the bench server program in
  the same run.

Every figure comes from rounds: each round runs wrk once on every server in
the same order (printgate, nginx, the library's defaults), so that a drift
of the machine hits all of them. A round prints one line; a figure is the
median of the rounds (of the per-round ratio, for a ratio) with their
spread beside it.

    python3 bench/keepalive_latency.py [--seconds 1] [--rounds 5] [--build build/native]
    python3 bench/keepalive_latency.py --wine [--win-build build/win]

With --wine the servers are Windows programs under Wine: the bench server
.exe (MinGW build, the same constant listing) in both modes, and
printgate.exe itself over Wine's spooler of the bench's CUPS queues.
"""

import argparse
import os
import re
import statistics
import subprocess

from bench_run import ROOT, bench_run, rounds_figure  # noqa: E402
from pylib import httpapi, paths, processes, scheduler, wineprefix  # noqa: E402

PATH = "/vqapi/GetPrinters"
# The three cross-origin headers of printgate's answers, the ones nginx copies.
CROSS_ORIGIN = ("Access-Control-Allow-Origin", "Access-Control-Allow-Methods",
                "Access-Control-Allow-Headers")
# p50 goals by connections; under Wine 8 connections share its server's
# round trips, and the goal there is 1 ms.
LATENCY_GOAL_MS = {1: 0.5, 8: 0.5}
WINE_LATENCY_GOAL_MS = {1: 0.5, 8: 1.0}
THROUGHPUT_GOAL = 0.8
# printgate's keep-alive p50 on one connection against nginx's on the same
# bytes in the same run.
P50_VS_NGINX_GOAL = 1.5


def wait_for_port(port, proc, timeout=60):
    def up():
        if proc.poll() is not None:
            raise RuntimeError("server exited with %s before listening on %d" % (proc.returncode, port))
        return httpapi.api_answering(port)
    processes.wait_until(up, timeout, interval=0.05, what="a server on port %d" % port)


def start_bench_server(run, binary, mode, env=None):
    """The bench server program (native, or the .exe under Wine when env is
    a Wine environment) in mode "api" or "defaults"; returns (proc, port)."""
    port = processes.free_port()
    if env is None:
        proc = subprocess.Popen([binary, mode, str(port)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        run["stops"].append(lambda: processes.stop_process(proc))
    else:
        proc = wineprefix.start_program(run, env, binary, [mode, str(port)], name="bench-" + mode)["proc"]
    wait_for_port(port, proc)
    return proc, port


def nginx_string(text):
    # Inside single quotes nginx takes \' and \\; "$" would start a variable.
    if "$" in text:
        raise ValueError("nginx would read $ in the answer as a variable")
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def start_nginx(run, body, headers):
    """nginx on a free loopback port answering PATH with body and the given
    cross-origin headers, keep-alive at its defaults; returns (proc, port)."""
    folder = os.path.join(run["dir"], "nginx")
    os.makedirs(folder, exist_ok=True)
    os.chmod(folder, 0o755)
    port = processes.free_port()
    adds = "".join("      add_header %s %s always;\n" % (name, nginx_string(value)) for name, value in headers)
    temps = "".join("  %s_temp_path %s/%s;\n" % (kind, folder, kind)
                    for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    config = os.path.join(folder, "nginx.conf")
    with open(config, "w") as f:
        f.write("""daemon off;
worker_processes auto;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
%(temps)s  server {
    listen 127.0.0.1:%(port)d;
    location = %(path)s {
      default_type application/json;
%(adds)s      return 200 %(body)s;
    }
  }
}
""" % {"dir": folder, "temps": temps, "port": port, "path": PATH, "adds": adds,
       "body": nginx_string(body.decode("utf-8"))})
    with open(os.path.join(folder, "nginx.out"), "wb") as out:
        proc = subprocess.Popen(["/usr/sbin/nginx", "-p", folder, "-c", config, "-e", folder + "/error.log"],
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    run["stops"].append(lambda: processes.stop_process(proc))
    wait_for_port(port, proc)
    return proc, port


def get_printers(port):
    """(status, headers, body) of one GetPrinters POST, as wrk sends it."""
    return httpapi.http("POST", PATH, body=b"", headers={"Content-Type": "text/plain"}, port=port)


def header_values(headers, names=CROSS_ORIGIN):
    found = {name.lower(): value for name, value in headers}
    return [(name, found.get(name.lower())) for name in names]


def to_ms(text):
    number, unit = re.fullmatch(r"([0-9.]+)(us|ms|s|m)", text).groups()
    return float(number) * {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0}[unit]


def wrk(run, port, connections, seconds):
    """wrk on PATH: dict rps, p50, p99 (ms), requests, errors (non-2xx
    answers, socket errors)."""
    script = os.path.join(run["dir"], "get_printers.lua")
    with open(script, "w") as f:
        f.write('wrk.method = "POST"; wrk.body = ""; wrk.headers["Content-Type"] = "text/plain"\n')
    threads = min(2, connections)
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ss" % seconds, "--latency",
                          "-s", script, "http://127.0.0.1:%d%s" % (port, PATH)],
                         check=True, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                         timeout=seconds + 60).stdout
    percent = {line.split()[0]: to_ms(line.split()[1]) for line in out.splitlines()
               if re.match(r"\s+(50|99)%\s", line)}
    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", out))
    errors += sum(int(n) for n in re.findall(r"Non-2xx or 3xx responses: (\d+)", out))
    return {"rps": float(re.search(r"Requests/sec:\s+([0-9.]+)", out).group(1)),
            "p50": percent["50%"], "p99": percent["99%"],
            "requests": int(re.search(r"(\d+) requests in", out).group(1)), "errors": errors}


def line(name, figures):
    errors = ", %d errors" % figures["errors"] if figures["errors"] else ""
    return "%-44s %9.1f req/s  p50 %8.3f ms  p99 %8.3f ms  (%d requests%s)" % (
        name, figures["rps"], figures["p50"], figures["p99"], figures["requests"], errors)


def verdict(ok):
    return "met" if ok else "NOT met"


def rounds(run, servers, connections, args):
    """args.rounds rounds of wrk on each of servers ([(name, port)]) in
    turn; prints a line per round and returns {name: [figures per round]}."""
    kept = {name: [] for name, _ in servers}
    for number in range(1, args.rounds + 1):
        parts = []
        for name, port in servers:
            figures = wrk(run, port, connections, args.seconds)
            kept[name].append(figures)
            errors = ", %d errors" % figures["errors"] if figures["errors"] else ""
            parts.append("%s %.0f req/s p50 %.3f p99 %.3f ms%s" % (name, figures["rps"], figures["p50"],
                                                                  figures["p99"], errors))
        print("%d conn, round %d: %s" % (connections, number, "; ".join(parts)))
    return kept


def latency_row(label, connections, after, before, goal_ms):
    """The goal's line for one connection count: after's and before's p50
    and p99 over the rounds, the verdict on after's median p50."""
    def figure(runs, key):
        return rounds_figure([figures[key] for figures in runs], 3, " ms")
    p50 = statistics.median(figures["p50"] for figures in after)
    print("%s latency %d conn: p50 %s, p99 %s; before p50 %s, p99 %s; median of %d rounds: goal p50 <= %.1f ms %s"
          % (label, connections, figure(after, "p50"), figure(after, "p99"), figure(before, "p50"),
             figure(before, "p99"), len(after), goal_ms, verdict(p50 <= goal_ms)))


def ratios(mine, anchor, key):
    return [m[key] / a[key] for m, a in zip(mine, anchor)]


def native(args, run):
    binary = os.path.join(args.build, "bench", "bench_get_printers_server")
    if not os.path.exists(binary):
        raise SystemExit("build first: bash scripts/build.sh")
    _, api = start_bench_server(run, binary, "api")
    _, defaults = start_bench_server(run, binary, "defaults")
    status, headers, body = get_printers(api)
    assert status == 200, status
    _, nginx = start_nginx(run, body, header_values(headers))
    status, nginx_headers, nginx_body = get_printers(nginx)
    # An anchor serving other bytes would measure something else.
    if status != 200 or nginx_body != body or header_values(nginx_headers) != header_values(headers):
        raise SystemExit("nginx does not answer printgate's bytes: %d %r" % (status, nginx_body))
    print("answer: %d body bytes, the same from printgate and nginx" % len(body))
    servers = [("printgate", api), ("nginx", nginx), ("library defaults", defaults)]
    kept = rounds(run, servers, 8, args)
    each = ratios(kept["printgate"], kept["nginx"], "rps")
    print("GetPrinters throughput ratio printgate/nginx: %s, median of %d rounds (goal >= %.1fx) %s"
          % (rounds_figure(each), args.rounds, THROUGHPUT_GOAL, verdict(statistics.median(each) >= THROUGHPUT_GOAL)))
    latency_row("native", 8, kept["printgate"], kept["library defaults"], LATENCY_GOAL_MS[8])
    # One connection: each request waits for the one before, so this is the
    # latency of one answer, beside nginx's for the same bytes.
    kept = rounds(run, servers, 1, args)
    each = ratios(kept["printgate"], kept["nginx"], "p50")
    print("GetPrinters keep-alive p50 1 conn printgate/nginx: %s, median of %d rounds (p50 %.3f ms / %.3f ms, "
          "medians; goal <= %.1fx) %s"
          % (rounds_figure(each), args.rounds, statistics.median(f["p50"] for f in kept["printgate"]),
             statistics.median(f["p50"] for f in kept["nginx"]), P50_VS_NGINX_GOAL,
             verdict(statistics.median(each) <= P50_VS_NGINX_GOAL)))
    latency_row("native", 1, kept["printgate"], kept["library defaults"], LATENCY_GOAL_MS[1])


def wine(args, run):
    os.environ["PG_WIN_BUILD"] = os.path.abspath(args.win_build)
    paths.WIN_BUILD = os.environ["PG_WIN_BUILD"]
    exe = paths.win_exe("bench/bench_get_printers_server.exe")
    cups = scheduler.start_cups(run)
    env = wineprefix.new_prefix(run, cups)
    wineprefix.keep_wine_up(run, env)
    _, api = start_bench_server(run, exe, "api", env)
    _, defaults = start_bench_server(run, exe, "defaults", env)
    for port in (api, defaults):
        assert get_printers(port)[0] == 200
    for connections in (1, 8):
        kept = rounds(run, [("after", api), ("library defaults", defaults)], connections, args)
        latency_row("Wine .exe", connections, kept["after"], kept["library defaults"],
                    WINE_LATENCY_GOAL_MS[connections])
    # The real program over Wine's spooler (the bench's three CUPS queues):
    # every request asks the spooler, so this is the whole path.
    wineprefix.start_printgate(run, env)
    status, _, body = get_printers(httpapi.API_PORT)
    assert status == 200 and b"Label2" in body, (status, body)
    for connections in (1, 8):
        print(line("printgate.exe over Wine's spooler, %d conn" % connections,
                   wrk(run, httpapi.API_PORT, connections, args.seconds)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=int, default=1, help="of each wrk run")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--win-build", default=os.path.join(ROOT, "build", "win"))
    args = parser.parse_args()
    # Under Wine, the Windows bench's folder: its booted prefix is reused.
    with bench_run(args.build, "bench" if args.wine else "bench-cups") as run:
        (wine if args.wine else native)(args, run)


if __name__ == "__main__":
    main()
