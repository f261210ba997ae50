"""Runs chosen CTest suites N times in a row, as the test command runs them
(ctest -j2) while one more process keeps a core busy, and prints each
suite's failures out of N. A failure that shows once in N is a fault to
explain: each round's whole output is kept in the results folder.

    python3 scripts/repeat.py -n 8                        # the whole CTest stage
    python3 scripts/repeat.py -n 20 -R bench_win_tray     # one suite, alone
    python3 scripts/repeat.py -n 20 -R tray -R watch_usb  # each alone, in turn

With several -R, each pattern runs alone in its own N rounds; without one,
every suite of the build runs together, as in the test command."""

import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))


def start_busy_core():
    """A process that keeps one core busy until stopped by its PID. It runs in
    a session of its own, as the test command's work beside CTest does: the
    kernel shares the cores between sessions first (autogroup), and inside
    CTest's session the loop would be one thread among the suites' rather
    than a core's worth of load."""
    return subprocess.Popen([sys.executable, "-c", "while True: pass"], stdin=subprocess.DEVNULL,
                            start_new_session=True)


def one_round(build, pattern, jobs, log_path):
    """Runs the suites once; returns (the names that ran, the names that failed)."""
    command = ["ctest", "--test-dir", build, "--output-on-failure", "-j%d" % jobs]
    if pattern:
        command += ["-R", pattern]
    with open(log_path, "w") as log:
        subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    with open(log_path, errors="replace") as log:
        text = log.read()
    ran = re.findall(r"Test\s+#\d+: (\S+) \.+", text)
    failed = re.findall(r"^\s*\d+ - (\S+) \(", text.split("The following tests FAILED:")[-1], re.M) \
        if "The following tests FAILED:" in text else []
    return ran, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", type=int, default=8, help="rounds (default 8)")
    parser.add_argument("-R", action="append", default=[], help="a CTest name pattern; repeatable")
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("-j", type=int, default=2, help="CTest's parallelism (the test command's: 2)")
    parser.add_argument("--no-load", action="store_true", help="leave the other core idle")
    parser.add_argument("--results", default=os.path.join(ROOT, "build", "repeat"))
    args = parser.parse_args()

    os.makedirs(args.results, exist_ok=True)
    busy = None if args.no_load else start_busy_core()
    counts = {}
    try:
        for pattern in args.R or [None]:
            for round_ in range(1, args.n + 1):
                tag = re.sub(r"[^A-Za-z0-9_]+", "_", pattern or "all")
                log_path = os.path.join(args.results, "%s-%02d.log" % (tag, round_))
                started = time.monotonic()
                ran, failed = one_round(args.build, pattern, args.j, log_path)
                for name in ran:
                    counts.setdefault(name, [0, 0])[1] += 1
                for name in failed:
                    counts.setdefault(name, [0, 0])[0] += 1
                print("round %d/%d of %s: %d suites, %d failed in %.0f s%s" % (
                    round_, args.n, pattern or "every suite", len(ran), len(failed), time.monotonic() - started,
                    (": " + ", ".join(failed) + " (see " + log_path + ")") if failed else ""), flush=True)
    finally:
        if busy:
            busy.kill()
            busy.wait()
    print("\nfailures out of runs, per suite:")
    for name, (failures, runs) in sorted(counts.items(), key=lambda item: (-item[1][0], item[0])):
        if failures or args.R:
            print("  %-60s %d/%d" % (name, failures, runs))
    total = sum(f for f, _ in counts.values())
    print("%d failures in %d suite runs" % (total, sum(r for _, r in counts.values())))
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
