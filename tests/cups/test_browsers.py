"""Headless Chromium and Firefox ESR load the client's example page from
another loopback origin than printgate's: the page lists the printers with
their state and prints a label through the JavaScript client (its preflight
included), and reports what the client said; with printgate stopped the
client says "not-running"."""

import os
import unittest

from pylib import browsers, httpapi, native, processes, scheduler
import test_native_print as printing

QUEUES = ("VELQ", "Office", "Label2")


class BrowsersUseTheClient(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.cups = native.start_label_cups(cls.run_, queues=QUEUES)
        scheduler.cups_command(cls.cups, ["cupsdisable", "Office"])
        cls.env = native.native_env(cls.run_, cls.cups)
        cls.gate = native.start_native(cls.run_, cls.env)
        cls.site = browsers.Site(cls.run_)
        for browser in ("chromium", "firefox"):
            print(browser, "version:", browsers.version(browser))

    def load(self, browser, report_id, printer):
        url = self.site.url("/examples/label-kit.html?auto=1&printer=%s&report=/report?id=%s" %
                            (printer, report_id))
        proc = browsers.start_browser(self.run_, browser, url, name=report_id)
        try:
            return self.site.wait_report(report_id, proc=proc)
        finally:
            browsers.stop_browser(proc)

    def lists_and_prints(self, browser, printer):
        before = len(scheduler.captured_jobs(self.cups))
        report = self.load(browser, browser + "-print", printer)
        listed = {p["name"]: p for p in report["list"]["printers"]}
        self.assertEqual(set(listed), set(QUEUES), report)
        self.assertEqual((listed["VELQ"]["default"], listed["Office"]["online"], listed["Label2"]["online"]),
                         (True, False, True))
        printed = report["print"]
        self.assertEqual((printed.get("printed"), printed.get("printer")), (True, printer), report)
        self.assertEqual((printed["widthMm"], printed["heightMm"]), (50, 30))
        # Printers and the label's progress pushed to the page through the
        # client's shared stream.
        pushed = report["pushed"]
        self.assertTrue(pushed["printers"], report)
        self.assertEqual({p["name"] for p in pushed["printers"][-1]}, set(QUEUES), report)
        states = [j["state"] for j in pushed["jobs"] if j["job"] == printed["job"]]
        self.assertEqual(states[-1:], ["printed"], report)
        job, = scheduler.wait_for_jobs(self.cups, before + 1)[before:]
        self.assertEqual((job["id"], job["queue"], job["title"]), (printed["job"], printer, "velq label"))
        # The canvas's frame of rules, at the page's top-left: dark along the
        # edges, white inside.
        rendered = os.path.join(self.run_["dir"], browser + "-label.png")
        native.render(job["path"], rendered)
        page = printing.pixels(rendered)
        self.assertTrue(398 <= page[0] <= 402 and 237 <= page[1] <= 240, page[:2])
        self.assertLess(max(printing.region(page, 1, 20, 5, 200)), 80)
        self.assertLess(max(printing.region(page, 20, 1, 360, 5)), 80)
        self.assertGreater(min(printing.region(page, 20, 20, 300, 40)), 200)

    def not_running(self, browser):
        processes.stop_process(self.gate["proc"])
        processes.wait_until(lambda: not httpapi.api_answering(), 30, what="printgate to stop")
        report = self.load(browser, browser + "-stopped", "VELQ")
        self.assertEqual(report["list"].get("error"), "not-running", report)
        self.assertEqual(report["print"].get("error"), "not-running", report)
        self.assertIn("not running", report["list"]["message"])

    # Named in the order they must run: printing first, then without printgate.
    def test_1_chromium_lists_and_prints(self):
        self.lists_and_prints("chromium", "Label2")

    def test_2_firefox_lists_and_prints(self):
        self.lists_and_prints("firefox", "Label2")

    def test_3_chromium_without_printgate(self):
        self.not_running("chromium")

    def test_4_firefox_without_printgate(self):
        self.not_running("firefox")


if __name__ == "__main__":
    unittest.main()
