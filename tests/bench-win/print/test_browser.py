"""A real browser prints through printgate.exe under Wine: headless Chromium
opens the example page from another loopback origin; the page lists the
printers and posts a label with fetch requests that need a preflight, and
the job reaches the CUPS queue."""

import os
import re
import unittest

import harness
import labels


class BrowserPrints(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = harness.new_run(cls.addClassCleanup)
        cls.cups = harness.start_cups(cls.run_)
        cls.env = harness.new_prefix(cls.run_, cls.cups)
        harness.wait_until(lambda: not harness.api_answering(), 600, interval=1,
                           what="port %d to be free" % harness.API_PORT)
        cls.gate = harness.start_printgate(cls.run_, cls.env)

        # The page's own origin: another port on loopback.
        cls.site_port = harness.serve_folder(cls.run_, os.path.join(harness.SOURCE_DIR, "examples"))

    def test_the_example_page_lists_the_printers_and_prints_a_label(self):
        url = "http://127.0.0.1:%d/print-label.html?auto=1&printer=Label2" % self.site_port
        dom = harness.chromium_dom(self.run_, url)
        listed = re.search(r"printers: ([^\n<]*)", dom)
        self.assertIsNotNone(listed, dom)
        self.assertEqual(sorted(listed.group(1).split(",")), sorted(harness.DEFAULT_QUEUES))
        self.assertIn("printed on Label2: 200 10001", dom)
        self.assertIn("done", dom)

        job, = harness.wait_for_jobs(self.cups, 1, timeout=90)
        self.assertEqual((job["queue"], job["title"]), ("Label2", "velq label"))
        self.assertIn(b"printer = Label2", harness.output(self.gate))
        # The canvas's frame of rules marks the whole 400 x 240 label.
        page = labels.render(job["data"])
        left, top, right, bottom = page.dark_box()
        self.assertEqual((right - left, bottom - top), (400, 240))


if __name__ == "__main__":
    unittest.main()
