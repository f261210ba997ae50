"""Damaged label images through the native printgate into a private CUPS
scheduler: every row of the table (tests/pylib/damaged_images.py) on the
v2 route and on the legacy route. A damaged image is refused with 415
damaged-image on v2 and stops the legacy job at its load step, with no job
reaching the scheduler; the rows that must print come out as the label."""

import base64
import os
import sys
import time
import unittest

import test_native_print as printing
from pylib import damaged_images, httpapi, native, processes, scheduler


def data_url(data, media):
    return b"data:" + media.encode() + b";base64," + base64.b64encode(data)


def dark_mismatches(page, dx, dy):
    """Pixels of the label whose darkness differs on the rendered page, with
    the label placed at (dx, dy)."""
    width, height, data = page
    wrong = 0
    for y in range(3, damaged_images.HEIGHT - 3):
        for x in range(3, damaged_images.WIDTH - 3):
            if not (0 <= x + dx < width and 0 <= y + dy < height):
                continue
            dark = data[((y + dy) * width + x + dx) * 3] < 128
            wrong += dark != (damaged_images.label_pixel(x, y) == damaged_images.BLACK)
    return wrong


class DamagedImagesOverCups(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.dir = cls.run_["dir"]
        cls.cups = native.start_label_cups(cls.run_, queues=("VELQ",))
        cls.env = native.native_env(cls.run_, cls.cups)
        cls.gate = native.start_native(cls.run_, cls.env)
        cls.table = damaged_images.rows(cls.dir)

    def assert_shows_label(self, job, name):
        rendered = os.path.join(self.dir, "job-%s.png" % job["id"])
        native.render(job["path"], rendered)
        page = printing.pixels(rendered)
        # The driver rounds the page to whole points: allow a dot either way.
        best = min(dark_mismatches(page, dx, dy) for dx in (0, 1, -1) for dy in (0, 1, -1))
        self.assertLessEqual(best, damaged_images.WIDTH * damaged_images.HEIGHT // 200, name)

    def test_every_row_on_both_routes(self):
        observed, failures = [], []
        expected_jobs = 0
        said = len(processes.console(self.gate))
        for name, data, media, (status, code) in self.table:
            v2 = damaged_images.print_v2(name, data, media, (status, code), failures)

            got, _, _ = httpapi.http("POST", "/vqapi/PrintImage?printer=VELQ",
                                     body=data_url(data, media))
            self.assertEqual(got, 200, name)
            # The v2 print's lines came before; this one's, and only they, follow.
            whole = processes.console(self.gate)
            out, said = whole[said:], len(whole)
            legacy_jobs = 1 if printing.JOB_NUMBER in out else 0
            observed.append((name, v2, legacy_jobs))
            if status == 200:
                expected_jobs += 2
                if legacy_jobs != 1:
                    failures.append("%s: the legacy route printed nothing" % name)
            elif legacy_jobs != 0 or damaged_images.LEGACY_REFUSED not in out:
                failures.append("%s: the legacy job went past its load step: %r" % (name, out[-200:]))
        print("\n" + damaged_images.format_table(observed), file=sys.stderr)
        self.assertEqual(failures, [])

        # Every job the scheduler got is one of a row that must print, and
        # each shows the whole label.
        jobs = scheduler.wait_for_jobs(self.cups, expected_jobs)
        time.sleep(2)
        jobs = scheduler.captured_jobs(self.cups)
        self.assertEqual(len(jobs), expected_jobs)
        for job in jobs:
            self.assert_shows_label(job, job["path"])


if __name__ == "__main__":
    unittest.main()
