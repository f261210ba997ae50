"""printerwatch as it runs on a desk: the service started once, every pass
run by the device events that plugging and unplugging send it (the bench's
Wine delivers them as Windows does), and the spooler's state checked once
the events have settled. The faults: events that arrive while a pass runs,
a printer gone while its queue is being renamed, and a wanted name that
another queue already holds.
"""

import time
import unittest

from pylib import installer, paths, processes, scheduler, usb, wineprefix, winservice

SERVICE = installer.SERVICE
ON, OFF = "online", "offline"
OFFLINE_BIT = 0x400
PORT = "FILE:"
SETTLE = 60


class PrinterWatchEventsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = run = processes.new_run(cls.addClassCleanup)
        cls.cups = cups = scheduler.start_cups(run, queues=("Label2",), default="Label2")
        cls.env = env = wineprefix.new_prefix(run, cups)
        usb.install_usb_bus(run, env)
        cls.data_dir = winservice.install_printerwatch(env, SERVICE, "unset", "unset", PORT)

    def setUp(self):
        self.plugged = []
        self.addCleanup(self.finish)

    def finish(self):
        for printer in self.plugged:
            usb.unplug_printer(self.env, printer)
        wineprefix.wine(self.env, [paths.watch_tool("svcctl_helper.exe"), SERVICE, "stop"], check=False)
        processes.wait_until(lambda: winservice.service_state(self.env, SERVICE) == winservice.STATE_STOPPED, 60,
                           interval=0.2, what="the service to stop")

    def start(self, base, driver):
        winservice.add_label_driver(self.env, self.cups, driver)
        key = "HKLM\\SOFTWARE\\" + SERVICE
        for name, value in (("PrinterName", base), ("DriverName", driver)):
            wineprefix.wine(self.env, ["reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f"])
        wineprefix.wine(self.env, ["sc", "start", SERVICE])
        processes.wait_until(lambda: winservice.service_state(self.env, SERVICE) == winservice.STATE_RUNNING, 60,
                           interval=0.2, what="the service to run")

    def plug(self, **how):
        printer = usb.plug_printer(self.env, **how)
        self.plugged.append(printer)
        return printer

    def unplug(self, printer):
        self.plugged.remove(printer)
        usb.unplug_printer(self.env, printer)

    def queues(self):
        return sorted((q["name"], q["driver"], q["position"], OFF if q["attributes"] & OFFLINE_BIT else ON)
                      for q in winservice.spooler_queues(self.env))

    def settles_at(self, driver, expected):
        """Waits until the queues of `driver` are `expected` and stay so."""
        def managed():
            return [(n, p, s) for n, d, p, s in self.queues() if d == driver]
        processes.wait_until(lambda: managed() == expected, SETTLE, interval=0.3,
                           what="%s to settle at %s (last seen %s)" % (driver, expected, managed()))
        time.sleep(2)
        self.assertEqual(managed(), expected)

    def test_events_during_a_pass_fold_into_one_more(self):
        # The silent printer holds the arrival's pass in its read for the
        # read time-out; two printers plugged meanwhile send two events.
        self.start("Busy", "Bench Label Busy")
        self.plug(behaviour="silent")
        self.plug(block=usb.usb_block(8, seed=1))
        self.plug(block=usb.usb_block(8, seed=2))
        self.settles_at("Bench Label Busy", [("Busy", 1, ON), ("Busy #1", 2, ON)])

    def test_printer_gone_while_its_queue_is_renamed(self):
        # Unplugged as soon as the arrival's pass has read the printer: the
        # pass adds and renames the queue while the removal's event is
        # already queued behind it. (Unplugged before that read, the printer
        # was never seen, and no queue is right.)
        self.start("Gone", "Bench Label Gone")
        printer = self.plug(block=usb.usb_block(8, seed=3))
        processes.wait_until(lambda: usb.printer_counters(self.env, printer)["reads"] >= 1, SETTLE,
                             interval=0.05, what="the arrival's pass to read the printer")
        self.unplug(printer)
        self.settles_at("Bench Label Gone", [("Gone", 1, OFF)])

    def test_wanted_name_held_by_another_queue(self):
        # The rename to "Taken" fails with ERROR_PRINTER_ALREADY_EXISTS: the
        # service's queue keeps the name it was added with, online, and the
        # other queue is left as it was; a later event changes nothing.
        winservice.add_label_driver(self.env, self.cups, "Bench Other")
        wineprefix.wine(self.env, [paths.watch_tool("watch_spool_tool.exe"), "add", "Taken", "Bench Other", PORT, "7"])
        self.start("Taken", "Bench Label Taken")
        self.plug(block=usb.usb_block(8, seed=4))
        self.settles_at("Bench Label Taken", [("Taken #0", 1, ON)])
        self.plug(block=usb.usb_block(12, seed=5))
        self.settles_at("Bench Label Taken", [("Taken #0", 1, ON)])
        self.assertIn(("Taken", "Bench Other", 7, ON), self.queues())


if __name__ == "__main__":
    unittest.main()
