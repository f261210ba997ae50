"""printgate.exe under Wine prints through the v2 print route: the label's
own bytes, loaded by GDI+ from memory, reach the CUPS queue unscaled at the
top-left, and the answer names the job; an unknown queue is "not found"."""

import json
import unittest

import harness
import labels
from test_print import BLACK, WHITE, printable_origin


class PrintV2UnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run = harness.new_run(cls.addClassCleanup)
        cls.cups = harness.start_cups(run)
        cls.env = harness.new_prefix(run, cls.cups)
        harness.wait_until(lambda: not harness.api_answering(), 600, interval=1,
                           what="port %d to be free" % harness.API_PORT)
        cls.gate = harness.start_printgate(run, cls.env)

    def post(self, query, body):
        status, _, answer = harness.http("POST", "/vqapi/v2/print" + query, body=body,
                                         headers={"Content-Type": "image/png"})
        return status, json.loads(answer)

    def test_the_v2_print_route_prints_a_label_and_reports_its_job(self):
        def pixel(x, y):
            corner = x < 100 and y < 60
            border = x == 399 or y == 239
            return BLACK if corner or border else WHITE

        status, answer = self.post("?printer=Office", labels.png(400, 240, pixel))
        self.assertEqual(status, 200, answer)
        self.assertEqual((answer["printed"], answer["printer"], answer["widthMm"], answer["heightMm"],
                          answer["online"]), (True, "Office", 50, 30, True))
        self.assertGreater(answer["job"], 0)
        self.assertIn(b"v2 print printer = Office", harness.output(self.gate))

        job, = harness.wait_for_jobs(self.cups, 1, timeout=90)
        self.assertEqual((job["queue"], job["title"]), ("Office", "velq label"))
        page = labels.render(job["data"])
        left, top = printable_origin(job["data"], labels.resolution(job["data"])[0])
        self.assertEqual(page.dark_box(), (left, top, left + 400, top + 240))
        for x, y in ((0, 0), (99, 59), (100, 60), (398, 238), (399, 100), (200, 239)):
            self.assertEqual(page.at(left + x, top + y), 0 if pixel(x, y) == BLACK else 255, (x, y))

        status, answer = self.post("?printer=NoSuchQueue", labels.png(8, 8, lambda x, y: BLACK))
        self.assertEqual((status, answer["error"]), (404, "printer-not-found"), answer)
        status, _, listing = harness.http("GET", "/vqapi/v2/printers")
        names = [p["name"] for p in json.loads(listing)["printers"]]
        self.assertEqual(sorted(names), sorted(harness.DEFAULT_QUEUES))
        self.assertEqual(len(harness.captured_jobs(self.cups)), 1)


if __name__ == "__main__":
    unittest.main()
