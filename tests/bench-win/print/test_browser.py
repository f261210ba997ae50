"""A real browser prints through printgate.exe under Wine: headless Chromium
opens the example page from another loopback origin; the page lists the
printers and posts a label with fetch requests that need a preflight, and
the job reaches the CUPS queue."""

import os
import re
import unittest

from pylib import httpapi, labels, pages, paths, processes, scheduler, wineprefix


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


if __name__ == "__main__":
    unittest.main()
