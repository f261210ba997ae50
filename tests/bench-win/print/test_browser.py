"""A real browser prints through printgate.exe under Wine: headless Chromium
opens the example page from another loopback origin; the page lists the
printers and posts a label with fetch requests that need a preflight, and
the job reaches the CUPS queue."""

import functools
import http.server
import os
import re
import signal
import subprocess
import threading
import unittest

import harness
import labels


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


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
        examples = os.path.join(harness.SOURCE_DIR, "examples")
        handler = functools.partial(QuietHandler, directory=examples)
        cls.site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        thread = threading.Thread(target=cls.site.serve_forever, daemon=True)
        thread.start()
        cls.addClassCleanup(cls.site.server_close)
        cls.addClassCleanup(cls.site.shutdown)

    def chromium_dom(self, url):
        """Loads url in headless Chromium, lets its scripts run, returns the
        DOM. Chromium and its helpers form a process group of their own,
        which is ended by its leader's PID if it overstays."""
        profile = os.path.join(self.run_["dir"], "chromium-profile")
        proc = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--user-data-dir=" + profile, "--virtual-time-budget=30000", "--dump-dom", url],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            start_new_session=True)
        try:
            dom, _ = proc.communicate(timeout=180)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        return dom.decode("utf-8", "replace")

    def test_the_example_page_lists_the_printers_and_prints_a_label(self):
        url = "http://127.0.0.1:%d/print-label.html?auto=1&printer=Label2" % self.site.server_port
        dom = self.chromium_dom(url)
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
