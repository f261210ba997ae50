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
import time
import unittest

from pylib import httpapi, installer, labels, pages, paths, processes, scheduler, usb, wineprefix, winservice

QUEUE = "VELQ"
# Wine's own driver and port of the CUPS queue of the same name: the
# service's queue prints to the private scheduler.
DRIVER, PORT = QUEUE, "CUPS:" + QUEUE
OFFLINE = 0x400


class UsersDay(unittest.TestCase):
    def setUp(self):
        self.run_ = processes.new_run(self.addCleanup)
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
        found = [q for q in winservice.spooler_queues(self.env) if q["name"] == QUEUE]
        self.assertEqual(len(found), 1, found)
        return found[0]

    def service_pass(self):
        """One reconcile pass of the installed service: stop it, start it
        again, wait until it reports RUNNING (after its pass)."""
        wineprefix.wine(self.env, [paths.watch_tool("svcctl_helper.exe"), installer.SERVICE, "stop"], check=False)
        processes.wait_until(lambda: winservice.service_state(self.env, installer.SERVICE) == winservice.STATE_STOPPED,
                           60, interval=0.2, what="the service to stop")
        wineprefix.wine(self.env, ["sc", "start", installer.SERVICE])
        processes.wait_until(lambda: winservice.service_state(self.env, installer.SERVICE) == winservice.STATE_RUNNING,
                           60, interval=0.2, what="the service to pass and run")

    def listed(self, query=""):
        status, _, body = httpapi.http("POST", "/vqapi/GetPrinters" + query, body=b"")
        self.assertEqual(status, 200)
        return [p["name"] for p in json.loads(body)["resultInfo"]["printers"]]

    def test_a_users_day(self):
        run = self.run_
        self.cups = cups = self.step("private CUPS scheduler", lambda: scheduler.start_cups(run, queues=(QUEUE,)))
        self.env = env = self.step("fresh prefix", lambda: wineprefix.new_prefix(run, cups))
        self.step("virtual USB bus installed", lambda: usb.install_usb_bus(run, env))
        # The label printer's queue, numbered 1 for the service.
        wineprefix.wine(env, [paths.watch_tool("watch_spool_tool.exe"), "add", QUEUE, DRIVER, PORT, "1"])

        code, log = self.step("silent MSI install, service started", lambda: installer.msiexec(
            run, env, ["/i", installer.product_msi(), "PRINTERNAME=" + QUEUE, "DRIVERNAME=" + DRIVER,
                       "PRINTERPORT=" + PORT]))
        self.assertEqual(code, 0, log[-3000:])
        processes.wait_until(lambda: winservice.service_state(env, installer.SERVICE) == winservice.STATE_RUNNING, 60,
                           interval=0.2, what="the installed service to run")
        # No printer yet: the first pass left the queue offline.
        self.assertTrue(self.queue()["attributes"] & OFFLINE)

        printer = self.step("label printer plugged in", lambda: usb.plug_printer(env))
        self.step("service pass (restart)", self.service_pass)
        self.assertFalse(self.queue()["attributes"] & OFFLINE, self.queue())
        self.assertEqual(self.queue()["position"], 1)

        processes.wait_until(lambda: not httpapi.api_answering(), 600, interval=1,
                           what="port %d to be free" % httpapi.API_PORT)
        gate = self.step("printgate started as at login", lambda: wineprefix.start_printgate(
            run, env, exe=installer.run_entry_program(env), name="printgate-login"))
        self.assertIn(QUEUE, self.listed())
        self.assertIn(QUEUE, self.listed("?onlyOnline"))

        site_port = pages.serve_folder(run, os.path.join(paths.SOURCE_DIR, "examples"))
        url = "http://127.0.0.1:%d/print-label.html?auto=1&printer=%s" % (site_port, QUEUE)
        dom = self.step("page prints in headless Chromium", lambda: pages.chromium_dom(run, url))
        self.assertIn("printed on %s: 200 10001" % QUEUE, dom)
        job, = self.step("job reaches CUPS", lambda: scheduler.wait_for_jobs(cups, 1, timeout=90))
        self.assertEqual((job["queue"], job["title"]), (QUEUE, "velq label"))
        left, top, right, bottom = labels.render(job["data"]).dark_box()
        self.assertEqual((right - left, bottom - top), (400, 240))

        self.step("label printer unplugged", lambda: usb.unplug_printer(env, printer))
        self.step("service pass (restart)", self.service_pass)
        self.assertTrue(self.queue()["attributes"] & OFFLINE, self.queue())
        self.assertIn(QUEUE, self.listed())
        self.assertNotIn(QUEUE, self.listed("?onlyOnline"))
        self.assertIsNone(gate["proc"].poll())


if __name__ == "__main__":
    unittest.main()
