"""The conformance tests that come with the bench's Wine patches, in Wine's
own test style, run on the bench's Wine: a service gets device events (a
printer plugged on the virtual bus while the test's service waits),
StartService returns before a slow service's first status, a level-2
rename moves the printer, a custom paper gives its page, listings taken
while a printer comes and goes are whole, and a printer added on a CUPS port
outlives the spooler's next start.

A test program prints one summary line per test unit; any failure fails the
case with the program's output.
"""

import os
import re
import unittest

from pylib import paths, processes, scheduler, usb, wineprefix

TESTS = os.path.join(paths.WINE_DIR, "tests")


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
                code, text = wineprefix.wine(env, [os.path.join(TESTS, "winspool.drv_test.exe"), unit],
                                          timeout=180, check=False)
                executed, failures, skipped = summary(text, unit)
                self.assertEqual((code, failures, skipped), (0, 0, expected_skips), text[-3000:])
                self.assertGreaterEqual(executed, at_least)

    def test_added_printers_outlive_the_spoolers_start(self):
        run = self.run_
        cups = scheduler.start_cups(run, queues=("VELQ",))
        env = wineprefix.new_prefix(run, cups)
        # Two processes, none between them holding winspool: the second
        # starts the spooler again.
        for step, at_least in (("add", 2), ("check", 4)):
            with self.subTest(step=step):
                code, text = wineprefix.wine(env, [os.path.join(TESTS, "winspool.drv_test.exe"), "kept", step],
                                          timeout=180, check=False)
                executed, failures, skipped = summary(text, "kept")
                self.assertEqual((code, failures, skipped), (0, 0, 0), text[-3000:])
                self.assertGreaterEqual(executed, at_least)


if __name__ == "__main__":
    unittest.main()
