"""Damaged label images through printgate.exe under Wine: the same table as
the native suite (pylib/damaged_images.py), on the v2 route and on the legacy
route. The .exe must refuse them by its own check, not by its decoder's
strictness (Wine's GDI+ refuses some cut files that Windows' GDI+ draws
with grey), so what counts is the answer (415 damaged-image, not the
decoder's not-an-image), the legacy job stopping at its load step, and no
job reaching the scheduler; the rows that must print show the label."""

import base64
import re
import sys
import time
import unittest

from pylib import damaged_images, httpapi, labels, processes, scheduler, wineprefix
from test_print import printable_origin

JOB_NUMBER = "作业编号：".encode("gbk")


def data_url(data, media):
    return b"data:" + media.encode() + b";base64," + base64.b64encode(data)


def start_own_printgate(run, env, attempts=30):
    """printgate.exe, once it is the program answering on the API port: other
    runs on the machine may take the fixed port between the check that it is
    free and the start, and then every answer would be theirs."""
    for attempt in range(attempts):
        processes.wait_until(lambda: not httpapi.api_answering(), 600, interval=1,
                           what="port %d to be free" % httpapi.API_PORT)
        gate = wineprefix.start_printgate(run, env, name="printgate-%d" % attempt)
        token = b"probe%d" % time.monotonic_ns()
        httpapi.http("POST", "/vqapi/PrintImage?damaged=" + token.decode(), body=b"")
        try:
            processes.wait_until(lambda: token in processes.output(gate), 10, what="our printgate")
            return gate
        except TimeoutError:
            processes.stop_process(gate["proc"])
    raise RuntimeError("another program kept the API port")


class DamagedImagesUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run = processes.new_run(cls.addClassCleanup)
        cls.cups = scheduler.start_cups(run)
        cls.env = wineprefix.new_prefix(run, cls.cups)
        cls.gate = start_own_printgate(run, cls.env)
        cls.table = damaged_images.rows(run["dir"])

    def mismatches(self, job):
        """Label pixels whose darkness differs on the rendered page (the
        best of the placements a dot either way)."""
        page = labels.render(job["data"])
        left, top = printable_origin(job["data"], labels.resolution(job["data"])[0])
        best = None
        for dx in (0, 1, -1):
            for dy in (0, 1, -1):
                wrong = 0
                for y in range(3, damaged_images.HEIGHT - 3):
                    for x in range(3, damaged_images.WIDTH - 3):
                        dark = page.at(left + dx + x, top + dy + y) < 128
                        wrong += dark != (damaged_images.label_pixel(x, y) == damaged_images.BLACK)
                best = wrong if best is None else min(best, wrong)
        return best

    def legacy_print(self, name, body):
        """What the legacy route's request wrote. The request is sent again
        when the temporary file could not be written (Wine may still hold
        the previous one open for a moment): that print proves nothing."""
        for _ in range(3):
            before = len(processes.output(self.gate))
            got, _, _ = httpapi.http("POST", "/vqapi/PrintImage?printer=VELQ", body=body,
                                     headers={"Content-Type": "text/plain"})
            self.assertEqual(got, 200, name)
            processes.wait_until(lambda: re.search(rb"start print|print skipped", processes.output(self.gate)[before:]),
                               30, what="the legacy job of %s" % name)
            out = processes.output(self.gate)[before:]
            if b"start print" in out:
                return out
            time.sleep(1)
        return None

    def test_every_row_on_both_routes(self):
        observed, failures = [], []
        printing_rows = 0
        for name, data, media, (status, code) in self.table:
            v2 = damaged_images.print_v2(name, data, media, (status, code), failures)

            out = self.legacy_print(name, data_url(data, media))
            if out is None:
                failures.append("%s: the legacy route never stored the image" % name)
                observed.append((name + " (legacy: file not written)", v2, 0))
                continue
            legacy_jobs = 1 if JOB_NUMBER in out else 0
            observed.append((name, v2, legacy_jobs))
            if status == 200:
                printing_rows += 1
                if legacy_jobs != 1:
                    failures.append("%s: the legacy route printed nothing" % name)
            elif legacy_jobs != 0 or damaged_images.LEGACY_REFUSED.strip() not in out:  # the load step's
                failures.append("%s: the legacy job went past its load step: %r" % (name, out[-200:]))
        print("\n" + damaged_images.format_table(observed), file=sys.stderr)
        self.assertEqual(failures, [])

        # Only the rows that must print reached the scheduler, each as the
        # whole label.
        scheduler.wait_for_jobs(self.cups, 2 * printing_rows, timeout=180)
        time.sleep(3)
        jobs = scheduler.captured_jobs(self.cups)
        self.assertEqual(len(jobs), 2 * printing_rows)
        for job in jobs:
            wrong = self.mismatches(job)
            self.assertLessEqual(wrong, damaged_images.WIDTH * damaged_images.HEIGHT // 200, job["id"])


if __name__ == "__main__":
    unittest.main()
