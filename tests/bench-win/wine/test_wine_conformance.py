"""The conformance tests that come with the bench's Wine patches, in Wine's
own test style, run on the bench's Wine: a service gets device events (a
printer plugged on the virtual bus while the test's service waits),
StartService returns before a slow service's first status and waits for
one that connects late, a level-2
rename moves the printer, a custom paper gives its page, listings taken
while a printer comes and goes are whole, a printer added on a CUPS port
outlives the spooler's next start, jobs are followed past their end in CUPS,
a printer set to work offline holds its jobs, a large bitmap drawn on a
page from each of many threads leaves no copy of itself behind, a
process ends cleanly for the host too while its other threads are busy in
the host's C library, and a new thread holds in memory only the part of
its stack it has used.

A test program prints one summary line per test unit and exits non-zero
when a check failed; the case then fails with the program's output, Wine's
error lines (also those of the processes a unit starts, which share its
standard error) and what the wineserver was doing.
"""

import glob
import os
import re
import unittest

from pylib import paths, processes, scheduler, usb, wineprefix

TESTS = os.path.join(paths.WINE_DIR, "tests")

# A capture printer the Wine test drives through files in its queue's folder: it
# waits while "hold" is there, fails (CUPS_BACKEND_FAILED) while "fail" is
# there, and otherwise saves the job and its title as the capture backend does.
GATE_BACKEND = """#!/bin/sh
if [ $# -eq 0 ]; then
  echo 'direct gate "Unknown" "Capture to folder, held and failed by files"'
  exit 0
fi
dir="@ROOT@/gate-$PRINTER"
while [ -e "$dir/hold" ]; do sleep 0.1; done
if [ -e "$dir/fail" ]; then echo "ERROR: failing as asked" >&2; exit 1; fi
if [ -n "$6" ]; then cat "$6" > "$dir/.job-$1.data"; else cat > "$dir/.job-$1.data"; fi
printf '%s' "$3" > "$dir/.job-$1.title"
mv "$dir/.job-$1.data" "$dir/job-$1.data"
mv "$dir/.job-$1.title" "$dir/job-$1.title"
exit 0
"""


def add_gate_queue(cups, name):
    """A queue on GATE_BACKEND whose failures abort the job (not the queue);
    returns the queue's folder."""
    folder = os.path.join(cups["root"], "gate-" + name)
    os.makedirs(folder)
    os.chmod(folder, 0o777)
    backend = os.path.join(cups["root"], "serverbin", "backend", "gate")
    with open(backend, "w") as f:
        f.write(GATE_BACKEND.replace("@ROOT@", cups["root"]))
    # Mode 0700: cupsd runs it as root, as the capture backend.
    os.chmod(backend, 0o700)
    scheduler.cups_command(cups, ["lpadmin", "-p", name, "-E", "-v", "gate:/" + name,
                                  "-m", "drv:///sample.drv/generic.ppd", "-o", "printer-error-policy=abort-job"])
    return folder


def summary(text, unit):
    found = re.search(r"^\S*%s: (\d+) tests executed \((\d+) marked as todo, (?:\d+ as flaky, )?(\d+) failures?\), (\d+) skipped"
                      % re.escape(unit), text, re.M)
    if not found:
        raise AssertionError("no summary for %s:\n%s" % (unit, text[-3000:]))
    executed, _, failures, skipped = (int(g) for g in found.groups())
    return executed, failures, skipped


class WineConformance(unittest.TestCase):
    def setUp(self):
        self.run_ = processes.new_run(self.addCleanup)

    def run_unit(self, env, program, args, at_least, skips=0, timeout=180):
        """Runs one unit (args[0]) of a test program and checks its summary;
        a unit with a failed check exits non-zero, and the harness's check
        then fails the case with Wine's own lines."""
        _, text = wineprefix.wine(env, [os.path.join(TESTS, program)] + args, timeout=timeout)
        executed, failures, skipped = summary(text, args[0])
        self.assertEqual((failures, skipped), (0, skips), text[-3000:])
        self.assertGreaterEqual(executed, at_least)

    def test_service_gets_device_events(self):
        run = self.run_
        env = wineprefix.new_prefix(run, None)
        usb.install_usb_bus(run, env)
        env["WINETEST_DEVICE_EVENTS"] = "1"
        program = wineprefix.start_program(run, env, os.path.join(TESTS, "services.exe_test.exe"), ["service"],
                                        name="services-test")
        processes.wait_for_output(program, b"waiting for a device interface to arrive", timeout=120)
        usb.plug_printer(env)
        self.assertEqual(program["proc"].wait(timeout=120), 0, processes.read_text(program["out"])[-3000:])
        text = processes.read_text(program["out"])
        executed, failures, skipped = summary(text, "service")
        self.assertEqual((failures, skipped), (0, 0), text[-3000:])
        self.assertIn("service event: DEVICEEVENT", text)

    def test_printer_rename_custom_paper_and_whole_listings(self):
        run = self.run_
        cups = scheduler.start_cups(run, queues=("VELQ",))
        env = wineprefix.new_prefix(run, cups)
        # unit, skips, at least this many checks ran
        for unit, expected_skips, at_least in (("rename", 0, 10), ("paper", 0, 10), ("churn", 0, 6)):
            with self.subTest(unit=unit):
                self.run_unit(env, "winspool.drv_test.exe", [unit], at_least, skips=expected_skips)

    def test_added_printers_outlive_the_spoolers_start(self):
        run = self.run_
        cups = scheduler.start_cups(run, queues=("VELQ",))
        env = wineprefix.new_prefix(run, cups)
        # Two processes, none between them holding winspool: the second
        # starts the spooler again.
        for step, at_least in (("add", 2), ("check", 4)):
            with self.subTest(step=step):
                self.run_unit(env, "winspool.drv_test.exe", ["kept", step], at_least)

    def test_jobs_followed_in_cups_held_offline_and_pages_memory_given_back(self):
        run = self.run_
        cups = scheduler.start_cups(run, queues=("VELQ", "Stopped"))
        folder = add_gate_queue(cups, "Gate")
        scheduler.cups_command(cups, ["cupsdisable", "Stopped"])
        env = wineprefix.new_prefix(run, cups)
        env.update({"WINETEST_JOBS_QUEUE": "Gate", "WINETEST_JOBS_STOPPED_QUEUE": "Stopped",
                    "WINETEST_JOBS_FOLDER": "Z:" + folder.replace("/", "\\"), "WINETEST_PAGE_QUEUE": "VELQ"})
        for unit, at_least in (("jobs", 60), ("offline", 10), ("pagememory", 20)):
            with self.subTest(unit=unit):
                self.run_unit(env, "winspool.drv_test.exe", [unit], at_least, timeout=300)
        # what the printers got: the documents the tests printed, never a deleted or failed one
        titles = sorted(processes.read_text(p) for p in glob.glob(os.path.join(folder, "job-*.title")))
        self.assertEqual(titles, ["winetest jobs after the deleted ones", "winetest jobs retained",
                                  "winetest jobs through gdi", "winetest jobs unretained",
                                  "winetest offline held"])
        stopped = scheduler.cups_command(cups, ["lpstat", "-W", "not-completed", "-o", "Stopped"])
        self.assertEqual(stopped.strip(), "", "a deleted job stayed on the stopped queue")

    def test_processes_end_cleanly_and_threads_hold_only_the_stack_they_use(self):
        env = wineprefix.new_prefix(self.run_, None)
        # The unit starts its own processes and reads their exit status on
        # the host (a crash there is after Windows has seen a clean end):
        # one check per process, 30 of them, and the tally.
        self.run_unit(env, "kernelbase_test.exe", ["exit"], 32, timeout=300)
        self.run_unit(env, "kernelbase_test.exe", ["threadstack"], 6)


if __name__ == "__main__":
    unittest.main()
