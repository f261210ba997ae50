"""printgate.exe under Wine prints posted labels on a private CUPS
scheduler: one job per request, titled "velq label", landscape, the image
unscaled at the top-left of the printable area (checked by rendering the
captured PostScript with ghostscript), transparency on white, JPEG as well
as PNG, concurrent requests each with their own image, the failures that
print nothing, and the v2 print route, which prints from memory and names
the job. Each label is followed to its end through the bench's Wine, which
keeps jobs in CUPS as Windows's spooler keeps them: printed; waiting on a
stopped queue, then printed once it starts; waiting for attention when
its printer fails, until taken back; canceled while waiting, and never
printed; and another program's job neither seen nor canceled."""

import base64
import json
import re
import threading
import time
import unittest

from pylib import httpapi, labels, paths, processes, scheduler, wineprefix

ANSWER = b'{\n\t"statusCode":\t"10001",\n\t"resultInfo":\t"hahah"\n}'
WHITE, BLACK = (255, 255, 255), (0, 0, 0)


def data_url(image, media=b"image/png"):
    return b"data:" + media + b";base64," + base64.b64encode(image)


def printable_origin(postscript, dpi):
    """Top-left of the printable area on the landscape page, in device
    pixels: the sheet's lower-left margins of the page bounding box."""
    found = re.search(rb"%%PageBoundingBox: (\d+) (\d+) \d+ \d+", postscript)
    left, bottom = int(found.group(1)), int(found.group(2))
    return bottom * dpi // 72, left * dpi // 72


class PrintUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run = processes.new_run(cls.addClassCleanup)
        cls.cups = scheduler.start_cups(run)
        # A failing printer aborts its job rather than stopping the queue.
        scheduler.cups_command(cls.cups, ["lpadmin", "-p", "Label2", "-o", "printer-error-policy=abort-job"])
        cls.env = wineprefix.new_prefix(run, cls.cups)
        # The API port is fixed: another bench run on the machine may hold it.
        processes.wait_until(lambda: not httpapi.api_answering(), 600, interval=1,
                           what="port %d to be free" % httpapi.API_PORT)
        cls.gate = wineprefix.start_printgate(run, cls.env)
        cls.seen = 0

    def post(self, query, body, marker=None):
        """Posts a body; checks the fixed answer and that our own printgate
        took the request (its log shows the query's parameter line)."""
        before = len(processes.output(self.gate))
        status, headers, answer = httpapi.http("POST", "/vqapi/PrintImage" + query, body=body,
                                               headers={"Content-Type": "text/plain"})
        self.assertEqual((status, answer), (200, ANSWER))
        if marker:
            processes.wait_until(lambda: marker in processes.output(self.gate)[before:], 30,
                               what="our printgate to log %r (is another one on the port?)" % marker)
        return processes.output(self.gate)[before:]

    def new_jobs(self, count):
        jobs = scheduler.wait_for_jobs(self.cups, self.seen + count, timeout=90)
        fresh = jobs[self.seen:]
        type(self).seen = len(jobs)
        return fresh

    def assert_label(self, job, image_pixel, width, height, exact=True):
        """The job's page shows the image unscaled, upright, with its
        top-left corner at the printable area's."""
        data = job["data"]
        self.assertEqual(job["title"], "velq label")
        self.assertIn(b"%%Orientation: Landscape", data)
        # The page is the custom paper the job asked for (0.1 mm units):
        # the image's width at 10.05 / 8 along, its height at 10 / 8 across.
        self.assertEqual(labels.page_size_mm(data), ((width * 201 // 160) / 10, (height * 10 // 8) / 10))
        page = labels.render(data)
        dpi = labels.resolution(data)[0]
        left, top = printable_origin(data, dpi)
        wrong = 0
        for y in range(height):
            for x in range(width):
                want = image_pixel(x, y)
                got = page.at(left + x, top + y)
                if exact:
                    wrong += got != (0 if want == BLACK else 255)
                else:
                    wrong += (got < 128) != (want == BLACK)
        self.assertLessEqual(wrong, 0 if exact else width * height // 100,
                             "%d pixels differ from the image" % wrong)
        return page, left, top

    def test_a_png_label_prints_unscaled_at_the_top_left_in_landscape(self):
        def pixel(x, y):
            corner = x < 100 and y < 60
            border = x == 399 or y == 239
            checker = 200 <= x < 300 and 100 <= y < 200 and (x // 3 + y // 5) % 2 == 0
            return BLACK if corner or border or checker else WHITE

        out = self.post("?printer=Office", data_url(labels.png(400, 240, pixel)),
                        marker=b"printer = Office")
        self.assertIn(b"502  300", out)
        job, = self.new_jobs(1)
        self.assertEqual(job["queue"], "Office")
        page, left, top = self.assert_label(job, pixel, 400, 240)
        self.assertEqual(page.dark_box(), (left, top, left + 400, top + 240))

    def test_a_transparent_png_prints_on_white(self):
        # Transparent pixels hold black colour values: drawn as they are,
        # they would come out black.
        def rgba(x, y):
            return (0, 0, 0, 255) if 20 <= x < 70 and 20 <= y < 50 else (0, 0, 0, 0)

        self.post("?printer=Label2", data_url(labels.png(200, 120, rgba, alpha=True)),
                  marker=b"printer = Label2")
        job, = self.new_jobs(1)
        self.assertEqual(job["queue"], "Label2")
        page, left, top = self.assert_label(
            job, lambda x, y: BLACK if rgba(x, y)[3] else WHITE, 200, 120)
        self.assertEqual(page.dark_box(), (left + 20, top + 20, left + 70, top + 50))

    def test_a_jpeg_prints(self):
        def pixel(x, y):
            return BLACK if x < 100 and y < 60 else WHITE

        image = labels.jpeg(labels.png(320, 240, pixel))
        self.assertTrue(image.startswith(b"\xff\xd8"))
        out = self.post("?printer=Office", data_url(image, b"image/jpeg"), marker=b"printer = Office")
        self.assertIn(b"402  300", out)
        job, = self.new_jobs(1)
        page, left, top = self.assert_label(job, pixel, 320, 240, exact=False)
        box = page.dark_box()
        for got, want in zip(box, (left, top, left + 100, top + 60)):
            self.assertLessEqual(abs(got - want), 2, box)

    def test_concurrent_requests_each_print_their_own_image(self):
        def first(x, y):
            return BLACK if x < 60 else WHITE

        def second(x, y):
            return BLACK if y >= 100 else WHITE

        requests = [("?printer=Office", labels.png(300, 200, first)),
                    ("?printer=Label2", labels.png(360, 180, second))]
        errors = []

        def send(query, image):
            try:
                self.post(query, data_url(image))
            except Exception as error:  # reported below, on the test's thread
                errors.append(error)

        threads = [threading.Thread(target=send, args=r) for r in requests]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(errors, [])
        jobs = {job["queue"]: job for job in self.new_jobs(2)}
        self.assertEqual(sorted(jobs), ["Label2", "Office"])
        self.assert_label(jobs["Office"], first, 300, 200)
        self.assert_label(jobs["Label2"], second, 360, 180)

    def test_an_unknown_printer_is_reported_and_prints_nothing(self):
        image = labels.png(40, 40, lambda x, y: BLACK)
        out = self.post("?printer=Nowhere", data_url(image), marker=b"Could not create printer DC: ")
        # Windows reports the system's error code here; Wine's CreateDCW
        # leaves it at 0, so any decimal code is taken.
        self.assertRegex(out, rb"start print\r?\nCould not create printer DC: \d+\r?\n$")
        time.sleep(3)
        self.assertEqual(len(scheduler.captured_jobs(self.cups)), self.seen)

    def test_without_a_query_the_label_prints_on_velq(self):
        image = labels.png(80, 48, lambda x, y: BLACK if x < 8 else WHITE)
        self.post("", data_url(image), marker=b"start print")
        job, = self.new_jobs(1)
        self.assertEqual(job["queue"], "VELQ")

    def test_the_v2_route_prints_the_posted_bytes_and_reports_the_job(self):
        def pixel(x, y):
            return BLACK if (x < 100 and y < 60) or x == 399 or y == 239 else WHITE

        status, _, answer = httpapi.http("POST", "/vqapi/v2/print?printer=Office",
                                         body=labels.png(400, 240, pixel), headers={"Content-Type": "image/png"})
        answer = json.loads(answer)
        self.assertEqual(status, 200, answer)
        self.assertEqual((answer["printed"], answer["printer"], answer["widthMm"], answer["heightMm"],
                          answer["online"]), (True, "Office", 50, 30, True))
        self.assertGreater(answer["job"], 0)
        job, = self.new_jobs(1)
        self.assertEqual(job["queue"], "Office")
        page, left, top = self.assert_label(job, pixel, 400, 240)
        self.assertEqual(page.dark_box(), (left, top, left + 400, top + 240))
        # Wine's CreateDCW gives no reason for an unknown queue; the route
        # still tells it apart from a failed print.
        status, _, answer = httpapi.http("POST", "/vqapi/v2/print?printer=Nowhere", body=labels.png(8, 8, pixel),
                                         headers={"Content-Type": "image/png"})
        self.assertEqual((status, json.loads(answer)["error"]), (404, "printer-not-found"))

    def test_the_v2_route_follows_the_label_to_its_end(self):
        image = labels.png(40, 24, lambda x, y: BLACK if x < 4 else WHITE)
        status, _, answer = httpapi.http("POST", "/vqapi/v2/print?printer=Label2&until=printed&wait=60",
                                         body=image, headers={"Content-Type": "image/png"})
        answer = json.loads(answer)
        self.assertEqual((status, answer["state"]), (200, "printed"), answer)
        self.new_jobs(1)
        job = answer["job"]
        status, _, raw = httpapi.http("GET", "/vqapi/v2/jobs/%d?printer=Label2" % job)
        self.assertEqual((status, json.loads(raw)["state"]), (200, "printed"), raw)
        status, _, raw = httpapi.http("POST", "/vqapi/v2/jobs/%d/cancel?printer=Label2" % job)
        self.assertEqual((status, json.loads(raw)["error"]), (409, "already-ended"), raw)
        # Nobody else's job is ever found, nor on another queue.
        for path in ("/vqapi/v2/jobs/%d?printer=Label2" % (job + 1000), "/vqapi/v2/jobs/%d?printer=VELQ" % job):
            status, _, raw = httpapi.http("GET", path)
            self.assertEqual((status, json.loads(raw)["error"]), (404, "job-not-found"), path)

    # What the queue does before the label, the print answer (status,
    # state, reasons), what happens next, how the label ends, the pages it
    # leaves. Wine reports a job on a stopped CUPS queue as paused, as
    # Windows does a job held back: the reason is "other". A job the
    # printer failed stays in Windows's queue in error while printgate
    # retains it, so it waits for attention until someone takes it back.
    FOLLOWED = (
        ("printed", None, (200, "printed", None), None, "printed", 1),
        ("stopped, then started", "stop", (202, "waiting", ["other"]), "start", "printed", 1),
        ("failing printer", "fail", (202, "waiting", ["needs-attention"]), "cancel", "canceled", 0),
        ("canceled while waiting", "stop", (202, "waiting", ["other"]), "cancel", "canceled", 0),
    )

    def queue_as_usual(self):
        scheduler.fail_printer(self.cups, False)
        scheduler.cups_command(self.cups, ["cupsenable", "Label2"])

    def label2(self, method, path):
        status, _, raw = httpapi.http(method, path.replace("ID", str(self.job)) + "?printer=Label2")
        return status, json.loads(raw)

    def test_each_label_is_followed_to_its_end(self):
        stream = httpapi.EventStream()
        self.addCleanup(stream.close)
        processes.wait_until(lambda: stream.events, 60, what="the stream's first event")
        self.addCleanup(self.queue_as_usual)
        before_label = {"stop": lambda: scheduler.cups_command(self.cups, ["cupsdisable", "Label2"]),
                        "fail": lambda: scheduler.fail_printer(self.cups)}
        image = labels.png(40, 24, lambda x, y: BLACK if x < 4 else WHITE)
        for name, before, first, then, end, pages in self.FOLLOWED:
            with self.subTest(name):
                if before:
                    before_label[before]()
                wait = 5 if first[1] == "waiting" else 30
                status, _, raw = httpapi.http("POST", "/vqapi/v2/print?printer=Label2&until=printed&wait=%d" % wait,
                                              body=image, headers={"Content-Type": "image/png"})
                answer = json.loads(raw)
                self.assertEqual((status, answer["state"]), first[:2], answer)
                if first[2] is not None:
                    self.assertEqual(answer["reasons"], first[2], answer)
                self.job = answer["job"]
                self.assertEqual(self.label2("GET", "/vqapi/v2/jobs/ID")[1]["state"], first[1])
                if then == "cancel":
                    status, canceled = self.label2("POST", "/vqapi/v2/jobs/ID/cancel")
                    self.assertEqual((status, canceled["job"], canceled["state"]), (200, self.job, "canceled"))
                    status, again = self.label2("POST", "/vqapi/v2/jobs/ID/cancel")
                    self.assertEqual((status, again["error"], again["state"]), (409, "already-ended", "canceled"))
                self.queue_as_usual()
                processes.wait_until(lambda: self.label2("GET", "/vqapi/v2/jobs/ID")[1]["state"] == end, 60,
                                     interval=0.2, what="job %d %s" % (self.job, end))
                processes.wait_until(lambda: stream.job_states(self.job)[-1:] == [end], 30, what="its end's event")
                self.assertEqual(stream.job_states(self.job)[0], "queued")
                # A label printed after it: once that is captured, this one
                # had its chance to reach the printer.
                status, _, raw = httpapi.http("POST", "/vqapi/v2/print?printer=Label2&until=printed&wait=30",
                                              body=image, headers={"Content-Type": "image/png"})
                self.assertEqual(status, 200, raw)
                self.assertEqual(len(self.new_jobs(pages + 1)), pages + 1)

    def test_another_programs_job_is_neither_seen_nor_canceled(self):
        stream = httpapi.EventStream()
        self.addCleanup(stream.close)
        scheduler.cups_command(self.cups, ["cupsdisable", "Label2"])
        self.addCleanup(scheduler.cups_command, self.cups, ["cupsenable", "Label2"])
        self.addCleanup(scheduler.cups_command, self.cups, ["cancel", "-a", "Label2"])
        _, out = wineprefix.wine(self.env, [paths.watch_tool("watch_spool_tool.exe"), "print", "Label2",
                                            "another program"])
        self.job = int(re.search(r"job (\d+)", out).group(1))
        for method, path in (("GET", "/vqapi/v2/jobs/ID"), ("POST", "/vqapi/v2/jobs/ID/cancel")):
            status, answer = self.label2(method, path)
            self.assertEqual((status, answer["error"]), (404, "job-not-found"), path)
        waiting = scheduler.cups_command(self.cups, ["lpstat", "-W", "not-completed", "-o", "Label2"])
        self.assertEqual(len(waiting.splitlines()), 1, waiting)
        time.sleep(1)  # a few of the watcher's passes
        self.assertEqual(stream.job_states(self.job), [])


if __name__ == "__main__":
    unittest.main()
