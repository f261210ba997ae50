"""A real browser prints through printgate.exe under Wine: headless Chromium
opens the example page from another loopback origin; the page lists the
printers and posts a label with fetch requests that need a preflight, and
the job reaches the CUPS queue. Then the client's page from a public https
site, at the browser's local-network gate: allowed, it lists and prints;
refused, nothing reaches printgate.exe."""

import os
import re
import unittest

from pylib import browsers, httpapi, labels, pages, paths, processes, scheduler, wineprefix
from pylib import publicsite as pp

KIT = "/examples/label-kit.html?auto=1&printer=Label2&report=/report?id=%s"


class BrowserPrints(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.cups = scheduler.start_cups(cls.run_)
        cls.env = wineprefix.new_prefix(cls.run_, cls.cups)
        processes.wait_until(lambda: not httpapi.api_answering(), 600, interval=1,
                           what="port %d to be free" % httpapi.API_PORT)
        cls.gate = wineprefix.start_printgate(cls.run_, cls.env)

        # The page's own origin: another port on loopback.
        cls.site_port = pages.serve_folder(cls.run_, os.path.join(paths.SOURCE_DIR, "examples"))

    def test_the_example_page_lists_the_printers_and_prints_a_label(self):
        url = "http://127.0.0.1:%d/print-label.html?auto=1&printer=Label2" % self.site_port
        dom = pages.chromium_dom(self.run_, url)
        listed = re.search(r"printers: ([^\n<]*)", dom)
        self.assertIsNotNone(listed, dom)
        self.assertEqual(sorted(listed.group(1).split(",")), sorted(scheduler.DEFAULT_QUEUES))
        self.assertIn("printed on Label2: 200 10001", dom)
        self.assertIn("done", dom)

        job, = scheduler.wait_for_jobs(self.cups, 1, timeout=90)
        self.assertEqual((job["queue"], job["title"]), ("Label2", "velq label"))
        self.assertIn(b"printer = Label2", processes.output(self.gate))
        # The canvas's frame of rules marks the whole 400 x 240 label.
        page = labels.render(job["data"])
        left, top, right, bottom = page.dark_box()
        self.assertEqual((right - left, bottom - top), (400, 240))

    def test_the_public_site_prints_when_allowed_and_reaches_nothing_when_refused(self):
        site = pp.PublicSite(self.run_)
        for setting in ("granted", "denied"):
            with self.subTest(setting=setting):
                jobs, lines = len(scheduler.captured_jobs(self.cups)), processes.output(self.gate)
                browser = pp.start(self.run_, site, "chromium", "exe-" + setting)
                self.addCleanup(browsers.stop_browser, browser.proc)
                origin = site.origin(pp.LISTED, "chromium")
                browser.set_permission(origin, setting)
                browser.open(origin + KIT % setting)
                report = pp.wait_report(site, browser, setting, timeout=180)
                browsers.stop_browser(browser.proc)
                if setting == "denied":
                    self.assertEqual((report["list"].get("error"), report["print"].get("error")),
                                     ("blocked", "blocked"), report)
                    self.assertEqual(processes.output(self.gate), lines)
                    continue
                self.assertEqual(sorted(p["name"] for p in report["list"]["printers"]),
                                 sorted(scheduler.DEFAULT_QUEUES), report)
                self.assertEqual((report["print"].get("printed"), report["print"].get("printer")),
                                 (True, "Label2"), report)
                job = processes.wait_until(
                    lambda: [j for j in scheduler.captured_jobs(self.cups)[jobs:]
                             if j["id"] == report["print"]["job"]], 90, what="the page's job")[0]
                self.assertEqual((job["queue"], job["title"]), ("Label2", "velq label"))


if __name__ == "__main__":
    unittest.main()
