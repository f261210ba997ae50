"""A desk user's whole day, one story under Wine: the administrator's silent
MSI install points the service at a driver and port that reach the private
CUPS scheduler; a label printer is plugged in on the bench's virtual USB
bus; the service's pass (Wine delivers no device event to a service, so a
restart runs it) brings the printer's queue online; printgate, started as
the Run entry starts it at login, lists it; a web page from another origin
prints a label in headless Chromium and the job reaches CUPS with its title
and pixels; the printer is unplugged, the next pass takes the queue offline
and onlyOnline leaves it out. Each step's time is printed at the end.

The queue the service keeps exists before the day starts (as the printer's
driver package would leave it): under Wine a queue the service creates
itself is made as "VELQ #0" and renamed, and Wine's spooler keeps it under
its old key, so it can't be opened by its new name and nothing prints on it
(tests/bench-win/README.md).
"""

import json
import os
import sys
import time
import unittest

import harness

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "print"))
import labels  # noqa: E402  (the print bench's renderer of captured jobs)

QUEUE = "VELQ"
# Wine's own driver and port of the CUPS queue of the same name: the
# service's queue prints to the private scheduler.
DRIVER, PORT = QUEUE, "CUPS:" + QUEUE
OFFLINE = 0x400


class UsersDay(unittest.TestCase):
    def setUp(self):
        self.run_ = harness.new_run(self.addCleanup)
        self.timings = []
        self.addCleanup(self.print_timings)

    def print_timings(self):
        print("\nthe day, step by step:")
        for name, seconds in self.timings:
            print("  %-58s %6.1f s" % (name, seconds))
        print("  %-58s %6.1f s" % ("whole day", sum(seconds for _, seconds in self.timings)))

    def step(self, name, action):
        started = time.monotonic()
        result = action()
        self.timings.append((name, time.monotonic() - started))
        return result

    def queue(self):
        found = [q for q in harness.spooler_queues(self.env) if q["name"] == QUEUE]
        self.assertEqual(len(found), 1, found)
        return found[0]

    def service_pass(self):
        """One reconcile pass of the installed service: stop it, start it
        again, wait until it reports RUNNING (after its pass)."""
        harness.wine(self.env, [harness.watch_tool("svcctl_helper.exe"), harness.SERVICE, "stop"], check=False)
        harness.wait_until(lambda: harness.service_state(self.env, harness.SERVICE) == harness.STATE_STOPPED,
                           60, interval=0.2, what="the service to stop")
        harness.wine(self.env, ["sc", "start", harness.SERVICE])
        harness.wait_until(lambda: harness.service_state(self.env, harness.SERVICE) == harness.STATE_RUNNING,
                           60, interval=0.2, what="the service to pass and run")

    def listed(self, query=""):
        status, _, body = harness.http("POST", "/vqapi/GetPrinters" + query, body=b"")
        self.assertEqual(status, 200)
        return [p["name"] for p in json.loads(body)["resultInfo"]["printers"]]

    def test_a_users_day(self):
        run = self.run_
        self.cups = cups = self.step("private CUPS scheduler", lambda: harness.start_cups(run, queues=(QUEUE,)))
        self.env = env = self.step("fresh prefix", lambda: harness.new_prefix(run, cups))
        self.step("virtual USB bus installed", lambda: harness.install_usb_bus(run, env))
        # The label printer's queue, numbered 1 for the service.
        harness.wine(env, [harness.watch_tool("watch_spool_tool.exe"), "add", QUEUE, DRIVER, PORT, "1"])

        code, log = self.step("silent MSI install, service started", lambda: harness.msiexec(
            run, env, ["/i", harness.product_msi(), "PRINTERNAME=" + QUEUE, "DRIVERNAME=" + DRIVER,
                       "PRINTERPORT=" + PORT]))
        self.assertEqual(code, 0, log[-3000:])
        harness.wait_until(lambda: harness.service_state(env, harness.SERVICE) == harness.STATE_RUNNING, 60,
                           interval=0.2, what="the installed service to run")
        # No printer yet: the first pass left the queue offline.
        self.assertTrue(self.queue()["attributes"] & OFFLINE)

        printer = self.step("label printer plugged in", lambda: harness.plug_printer(env))
        self.step("service pass (restart)", self.service_pass)
        self.assertFalse(self.queue()["attributes"] & OFFLINE, self.queue())
        self.assertEqual(self.queue()["position"], 1)

        harness.wait_until(lambda: not harness.api_answering(), 600, interval=1,
                           what="port %d to be free" % harness.API_PORT)
        gate = self.step("printgate started as at login", lambda: harness.start_printgate(
            run, env, exe=harness.run_entry_program(env), name="printgate-login"))
        self.assertIn(QUEUE, self.listed())
        self.assertIn(QUEUE, self.listed("?onlyOnline"))

        site_port = harness.serve_folder(run, os.path.join(harness.SOURCE_DIR, "examples"))
        url = "http://127.0.0.1:%d/print-label.html?auto=1&printer=%s" % (site_port, QUEUE)
        dom = self.step("page prints in headless Chromium", lambda: harness.chromium_dom(run, url))
        self.assertIn("printed on %s: 200 10001" % QUEUE, dom)
        job, = self.step("job reaches CUPS", lambda: harness.wait_for_jobs(cups, 1, timeout=90))
        self.assertEqual((job["queue"], job["title"]), (QUEUE, "velq label"))
        left, top, right, bottom = labels.render(job["data"]).dark_box()
        self.assertEqual((right - left, bottom - top), (400, 240))

        self.step("label printer unplugged", lambda: harness.unplug_printer(env, printer))
        self.step("service pass (restart)", self.service_pass)
        self.assertTrue(self.queue()["attributes"] & OFFLINE, self.queue())
        self.assertIn(QUEUE, self.listed())
        self.assertNotIn(QUEUE, self.listed("?onlyOnline"))
        self.assertIsNone(gate["proc"].poll())


if __name__ == "__main__":
    unittest.main()
