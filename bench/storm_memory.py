"""Peak memory under the hostile storm of the load suites (tests/pylib/storm.py)
as a ratio of the memory budget, natively and with printgate.exe under Wine;
beside it how the listing answered meanwhile. The goal is a peak of at most
1.1x the budget: the budget bounds what requests hold, and what the program
holds besides (its code, libraries, Wine's own heaps) must stay small
beside it. --budget-mib sets the budget (a budget past any need shows the
storm unbounded: mind the machine's memory, and use a smaller storm).

Usage: python3 bench/storm_memory.py [--wine] [--native] [--budget-mib N]
       [--bombs N --bodies N] [--build build/native]"""

import argparse
import os

from bench_run import ROOT, bench_run  # noqa: E402
from pylib import httpapi, native, processes, scheduler, storm, wineprefix  # noqa: E402


def start(run, wine, budget_mib):
    queues = (storm.STORM_QUEUE, storm.DESK_QUEUE)
    if wine:
        cups = scheduler.start_cups(run, queues=queues)
        env = wineprefix.new_prefix(run, cups)
    else:
        cups = native.start_label_cups(run, queues=queues)
        env = native.native_env(run, cups)
    env.pop("PRINTGATE_MEMORY_BUDGET_MIB", None)
    if budget_mib:
        env["PRINTGATE_MEMORY_BUDGET_MIB"] = str(budget_mib)
    if wine:
        program = wineprefix.start_printgate(run, env)
    else:
        program = native.start_native(run, env)
    processes.wait_until(lambda: b"memory budget:" in processes.output(program), 60, what="the budget line")
    httpapi.http("GET", "/vqapi/v2/printers", timeout=60)  # warm: the scheduler's first listing
    return program


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", action="store_true", help="also printgate.exe under Wine")
    parser.add_argument("--budget-mib", type=int, default=0, help="0: the default budget")
    parser.add_argument("--bombs", type=int, default=64)
    parser.add_argument("--bodies", type=int, default=16)
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "native"))
    args = parser.parse_args()
    budget = (args.budget_mib or 512) * storm.MIB
    for wine in ([False, True] if args.wine else [False]):
        what = "printgate.exe under Wine" if wine else "native printgate"
        with bench_run(args.build) as run:
            program = start(run, wine, args.budget_mib)
            result = storm.run(program["proc"].pid, bombs=args.bombs, legacy_bombs=min(8, args.bombs),
                               bodies=args.bodies)
        listing = sorted(result["listing"])
        print("%s, %d bombs + %d bodies of 64 MiB + 1 slow body: %s" % (what, args.bombs, args.bodies,
                                                                         storm.summary(result, budget)))
        print("%s: storm peak / budget %.2fx (goal <= 1.1x); idle %.0f MiB; listing during the storm p50 %.1f ms, "
              "max %.1f ms (goal <= 100 ms)"
              % (what, result["peak_kib"] * 1024 / budget, result["idle_kib"] / 1024,
                 listing[len(listing) // 2] * 1000, listing[-1] * 1000))


if __name__ == "__main__":
    main()
