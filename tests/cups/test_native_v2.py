"""The "/vqapi/v2/" routes of the native printgate over a private CUPS
scheduler: each queue's state as the listing reports it, the print answer
for a label that printed and for every way it can fail, concurrent prints
each carrying their own image, and copies reaching the job."""

import json
import os
import struct
import threading
import unittest
import urllib.parse
import zlib

from pylib import httpapi, native, processes, scheduler
import test_native_print as printing

CORS = [("Access-Control-Allow-Origin", "*"),
        ("Access-Control-Allow-Methods", "GET, OPTIONS, POST, HEAD"),
        ("Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept")]
UTF8_NAME = "\u00c9tiquette-\u6807\u7b7e"
ERROR_404 = b"<p>Error Status: <span style='color:red;'>404</span></p>"


def png_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def pages_printed(cups, job_id):
    """The pages the scheduler logged for a job, copies included."""
    with open(os.path.join(cups["root"], "log", "page_log"), encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if fields[2] == str(job_id) and "total" in fields:
                return int(fields[fields.index("total") + 1])
    return None


def shows_label(page, label, width, height):
    """Whether the page shows the label pixel for pixel. A page whose size
    the driver rounded to whole points is trimmed evenly on both sides, so
    the label may sit one dot off the corner."""
    for dy in (0, 1, -1):
        for dx in (0, 1, -1):
            w, h = width - 2, height - 2
            if printing.region(page, 1, 1, w, h) == printing.region(label, 1 + dx, 1 + dy, w, h):
                return True
    return False


def png_with_header(width, height, rows=b""):
    """A PNG of a size; with rows (filtered scan lines) its pixels too,
    otherwise only the header that announces the size."""
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    body = chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"") if rows else b""
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + body


class V2OverCups(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.dir = cls.run_["dir"]
        cls.cups = native.start_label_cups(cls.run_, queues=("VELQ", "Office", "Label2", "Closed", UTF8_NAME))
        scheduler.cups_command(cls.cups, ["lpadmin", "-p", "Remote", "-E", "-v",
                                        "ipp://127.0.0.1:%d/printers/VELQ" % cls.cups["port"],
                                        "-P", native.LABEL_PPD])
        scheduler.cups_command(cls.cups, ["cupsdisable", "Office"])
        scheduler.cups_command(cls.cups, ["cupsreject", "Closed"])
        cls.env = native.native_env(cls.run_, cls.cups)
        cls.gate = native.start_native(cls.run_, cls.env)
        cls.noise = os.path.join(cls.dir, "noise.png")
        printing.make_image(cls.noise, "400x240", "-seed", "7", "xc:", "+noise", "Random", "-depth", "8")

    def answer(self, method, path, body=None, headers=None):
        status, headers_, raw = httpapi.http(method, path, body=body, headers=headers)
        self.assertEqual(dict(headers_).get("Content-Type"), "application/json", raw)
        self.assertEqual(sorted(httpapi.cors_headers(headers_)), sorted(CORS))
        return status, json.loads(raw)

    def print_(self, query, body, content_type="image/png"):
        return self.answer("POST", "/vqapi/v2/print" + query, body=body,
                           headers={"Content-Type": content_type})

    def test_listing_reports_each_queues_state(self):
        status, answer = self.answer("GET", "/vqapi/v2/printers")
        self.assertEqual(status, 200)
        self.assertRegex(answer["version"], r"^\d+\.\d+\.\d+$")
        by_name = {p["name"]: p for p in answer["printers"]}
        self.assertEqual(set(by_name), {"VELQ", "Office", "Label2", "Closed", "Remote", UTF8_NAME})
        expected = {  # online, local, supported, default, state, reasons
            "VELQ": (True, True, True, True, "idle", []),
            "Office": (False, True, False, False, "waiting", ["queue-stopped"]),   # disabled
            "Closed": (False, True, False, False, "waiting", ["other"]),   # rejecting jobs
            "Remote": (True, False, False, False, "idle", []),   # another server's queue
            UTF8_NAME: (True, True, False, False, "idle", []),
        }
        for name, fields in expected.items():
            p = by_name[name]
            self.assertEqual((p["online"], p["local"], p["supported"], p["default"], p["state"], p["reasons"]),
                             fields, name)
            self.assertEqual(list(p), ["name", "online", "local", "supported", "default", "state", "reasons"])

    def test_filters_take_presence_as_on_for_get_and_post(self):
        cases = [("?onlyOnline=false", {"VELQ", "Label2", "Remote", UTF8_NAME}),
                 ("?onlyLocal", {"VELQ", "Office", "Label2", "Closed", UTF8_NAME}),
                 ("?onlySupported=0", {"VELQ"}),
                 ("?onlyLocal=&onlyOnline=", {"VELQ", "Label2", UTF8_NAME}),
                 ("?onlylocal=1", {"VELQ", "Office", "Label2", "Closed", "Remote", UTF8_NAME})]
        for query, names in cases:
            for method in ("GET", "POST"):
                status, answer = self.answer(method, "/vqapi/v2/printers" + query,
                                             body=b"" if method == "POST" else None)
                self.assertEqual(status, 200)
                self.assertEqual({p["name"] for p in answer["printers"]}, names, method + query)
        # Options as form fields of a POST body count, as on the legacy route.
        status, answer = self.answer("POST", "/vqapi/v2/printers", body=b"onlySupported=",
                                     headers={"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual([p["name"] for p in answer["printers"]], ["VELQ"])

    def test_preflights_and_other_methods(self):
        for path in ("/vqapi/v2/printers", "/vqapi/v2/print?printer=VELQ"):
            status, headers, body = httpapi.http("OPTIONS", path)
            self.assertEqual((status, body), (204, b""))
            self.assertEqual(sorted(httpapi.cors_headers(headers)), sorted(CORS))
        for method, path in (("GET", "/vqapi/v2/print"), ("GET", "/vqapi/v2/"), ("POST", "/vqapi/v2/Print"),
                             ("GET", "/vqapi/v2/printers/")):
            status, headers, body = httpapi.http(method, path, body=b"" if method == "POST" else None)
            self.assertEqual((status, body), (404, ERROR_404), path)
            self.assertEqual(httpapi.cors_headers(headers), [])

    def test_what_the_docs_say_of_head_bad_lengths_and_mixed_framing(self):
        # HEAD is the GET route's answer without its body.
        status, headers, body = httpapi.http("HEAD", "/vqapi/v2/printers")
        self.assertEqual((status, body), (200, b""))
        self.assertEqual(sorted(httpapi.cors_headers(headers)), sorted(CORS))
        status, headers, body = httpapi.http("HEAD", "/vqapi/v2/print")
        self.assertEqual(status, 404)
        # A Content-Length that is no number: v2 answers its own JSON, the
        # legacy route the error page, both with the cross-origin headers.
        head = "POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 12abc\r\n\r\n12345678901234"
        answer = httpapi.raw_exchange((head % "/vqapi/v2/print?printer=VELQ").encode())
        self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), answer)
        self.assertIn(b'"error":\t"bad-request"', answer)
        self.assertIn(b"Access-Control-Allow-Origin: *\r\n", answer)
        answer = httpapi.raw_exchange((head % "/vqapi/PrintImage?printer=VELQ").encode())
        self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), answer)
        self.assertIn(b"<p>Error Status: <span style='color:red;'>400</span></p>", answer)
        self.assertIn(b"Access-Control-Allow-Origin: *\r\n", answer)
        # Both framings at once are refused whatever the length says, and
        # the chunked label is never read.
        before = len(scheduler.captured_jobs(self.cups))
        said = len(processes.console(self.gate))
        body = native.data_url(self.noise)
        chunked = b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)
        for length in (b"0", b"abc", b"%d" % len(chunked)):
            for target in (b"/vqapi/v2/print?printer=VELQ", b"/vqapi/PrintImage?printer=VELQ"):
                answer = httpapi.raw_exchange(b"POST " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                              length + b"\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked)
                self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), (target, length, answer[:300]))
        self.assertEqual(len(scheduler.captured_jobs(self.cups)), before)
        self.assertNotIn(b"start print", processes.console(self.gate)[said:])

    def test_a_label_prints_from_its_own_bytes_and_the_answer_names_the_job(self):
        before = len(scheduler.captured_jobs(self.cups))
        status, answer = self.print_("?printer=Label2", png_bytes(self.noise))
        self.assertEqual(status, 200, answer)
        job, = scheduler.wait_for_jobs(self.cups, before + 1)[before:]
        self.assertEqual(answer, {"printed": True, "printer": "Label2", "job": job["id"],
                                  "widthMm": 50, "heightMm": 30, "online": True,
                                  "state": answer["state"]})
        # The label's state when the answer left: it may already have printed.
        self.assertIn(answer["state"], ("queued", "printing", "printed"))
        self.assertEqual((job["queue"], job["title"]), ("Label2", "velq label"))
        rendered = os.path.join(self.dir, "label2.png")
        native.render(job["path"], rendered)
        page = printing.pixels(rendered)
        label = printing.pixels(self.noise)
        rows = min(240, page[1])
        self.assertEqual(printing.region(page, 0, 0, 400, rows), printing.region(label, 0, 0, 400, rows))
        # Nothing went through the legacy route's file.
        kept = os.path.join(self.env["HOME"], ".local", "state", "printgate", "tempVQ.JPG")
        self.assertFalse(os.path.exists(kept))

    def test_data_urls_default_queue_utf8_names_copies_and_offline_queues(self):
        body = native.data_url(self.noise)
        before = len(scheduler.captured_jobs(self.cups))
        status, answer = self.print_("?copies=3", body, "text/plain;charset=UTF-8")
        self.assertEqual((status, answer["printer"], answer["online"]), (200, "VELQ", True), answer)
        status, answer = self.print_("?printer=" + urllib.parse.quote(UTF8_NAME), body, "")
        self.assertEqual((status, answer["printer"]), (200, UTF8_NAME), answer)
        jobs = scheduler.wait_for_jobs(self.cups, before + 2)[before:]
        self.assertEqual([j["queue"] for j in jobs], ["VELQ", UTF8_NAME])
        # The printer makes the copies: one page sent, three printed.
        self.assertEqual(pages_printed(self.cups, jobs[0]["id"]), 3)
        self.assertEqual(pages_printed(self.cups, jobs[1]["id"]), 1)
        # A disabled queue takes the job and holds it: printed, not online.
        status, answer = self.print_("?printer=Office", png_bytes(self.noise))
        self.assertEqual((status, answer["printed"], answer["online"], answer["state"]),
                         (200, True, False, "waiting"), answer)
        held = scheduler.cups_command(self.cups, ["lpstat", "-o", "Office"])
        self.assertIn("Office-%d " % answer["job"], held)

    def test_every_failure_has_its_code_and_prints_nothing(self):
        noise = png_bytes(self.noise)
        zero = png_with_header(0, 0)
        # Decodes, but its paper is past 3276.7 mm; the other is refused
        # before decoding for its size alone.
        wide = png_with_header(26100, 2, (b"\0" + b"\xff" * 3 * 26100) * 2)
        huge = png_with_header(40000, 8, (b"\0" + b"\xff" * 3 * 40000) * 8)
        # Past the paper's edge by one pixel, and over 64 Mi pixels: both
        # refused for their size on their header's word.
        tall = png_with_header(1, 26214, b"\0\xff\xff\xff" * 26214)
        many = png_with_header(8200, 8200)
        cases = [
            ("?printer=NoSuchQueue", noise, "image/png", 404, "printer-not-found"),
            ("?printer=%FF%FE", noise, "image/png", 404, "printer-not-found"),
            ("?printer=VELQ", b"hello, world", "application/octet-stream", 415, "not-an-image"),
            ("?printer=VELQ", b"not a picture", "image/png", 415, "not-an-image"),
            ("?printer=VELQ", zero, "image/png", 415, "not-an-image"),
            ("?printer=VELQ", b"", "image/png", 415, "not-an-image"),
            ("?printer=VELQ", b"data:text/plain;base64,aGVsbG8=", "text/plain", 415, "not-an-image"),
            ("?printer=VELQ", b"--x\r\n\r\nhi\r\n--x--\r\n", "multipart/form-data; boundary=x", 415,
             "not-an-image"),
            ("?printer=VELQ", b"data:image/png;base64", "text/plain", 400, "bad-request"),
            ("?printer=VELQ", b"data:image/png;base64,iVBOR*w0K", "text/plain", 400, "bad-request"),
            ("?printer=VELQ", b"data:image/png,%zz", "text/plain", 400, "bad-request"),
            ("?copies=0", noise, "image/png", 400, "bad-request"),
            ("?copies=-1", noise, "image/png", 400, "bad-request"),
            ("?copies=100", noise, "image/png", 400, "bad-request"),
            ("?copies=2.5", noise, "image/png", 400, "bad-request"),
            ("?copies=", noise, "image/png", 400, "bad-request"),
            ("?printer=VELQ", wide, "image/png", 422, "image-too-large-for-paper"),
            ("?printer=VELQ", huge, "image/png", 422, "image-too-large-for-paper"),
            ("?printer=VELQ", tall, "image/png", 422, "image-too-large-for-paper"),
            ("?printer=VELQ", many, "image/png", 422, "image-too-large-for-paper"),
            ("?printer=Closed", noise, "image/png", 500, "print-failed"),
        ]
        before = len(scheduler.captured_jobs(self.cups))
        for query, body, content_type, status, code in cases:
            got_status, answer = self.print_(query, body, content_type)
            self.assertEqual((got_status, answer["printed"], answer["error"]), (status, False, code),
                             (query, body[:40], answer))
            self.assertIsInstance(answer["message"], str)
        _, answer = self.print_("?printer=Closed", noise)
        self.assertIn("StartDoc", answer["message"])
        # The cut-off body: the library's 400 with the route's own answer.
        length = 67108865
        status, answer = self.print_("?printer=VELQ", b"\0" * length)
        self.assertEqual((status, answer["error"]), (413, "too-large"))
        self.assertEqual(len(scheduler.captured_jobs(self.cups)), before)
        self.assertEqual(scheduler.cups_command(self.cups, ["lpstat", "-o", "VELQ"]).strip(), "")

    def test_concurrent_prints_each_print_their_own_image(self):
        images = []
        for i in range(6):
            path = os.path.join(self.dir, "concurrent-%d.png" % i)
            printing.make_image(path, "%dx64" % (96 + 16 * i), "-seed", str(i + 1), "xc:", "+noise",
                                "Random", "-depth", "8")
            images.append(path)
        answers = [None] * len(images)

        def send(i):
            answers[i] = self.print_("?printer=Label2", png_bytes(images[i]))

        before = len(scheduler.captured_jobs(self.cups))
        threads = [threading.Thread(target=send, args=(i,)) for i in range(len(images))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        jobs = {j["id"]: j for j in scheduler.wait_for_jobs(self.cups, before + len(images))[before:]}
        for i, (status, answer) in enumerate(answers):
            self.assertEqual(status, 200, answer)
            self.assertEqual(answer["widthMm"], (96 + 16 * i) / 8)
            rendered = os.path.join(self.dir, "concurrent-%d-page.png" % i)
            native.render(jobs[answer["job"]]["path"], rendered)
            page = printing.pixels(rendered)
            label = printing.pixels(images[i])
            self.assertTrue(shows_label(page, label, min(page[0], label[0]), min(page[1], label[1])), i)


if __name__ == "__main__":
    unittest.main()
