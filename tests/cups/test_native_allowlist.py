"""The site allowlist on the native printgate over a private CUPS scheduler:
the list in the user's configuration file, pages of listed origins served
(a real Chromium prints from one), every other page refused with nothing
listed, stored or printed, programs without Origin served, and the Host
header checked."""

import os
import socket
import re
import subprocess
import unittest

from pylib import httpapi, native, pages, paths, processes, scheduler

ERROR_403 = b"<p>Error Status: <span style='color:red;'>403</span></p>"


def page_log(dom):
    """What the example page wrote in its log."""
    found = re.search(r'<div id="log">(.*?)</div>', dom, re.S)
    return found.group(1) if found else dom


class AllowlistOverCups(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.cups = native.start_label_cups(cls.run_, queues=("VELQ", "Label2"))
        examples = os.path.join(paths.SOURCE_DIR, "examples")
        cls.listed_port = pages.serve_folder(cls.run_, examples)
        cls.unlisted_port = pages.serve_folder(cls.run_, examples)
        cls.listed = "http://127.0.0.1:%d" % cls.listed_port
        cls.unlisted = "http://127.0.0.1:%d" % cls.unlisted_port

        cls.env = native.native_env(cls.run_, cls.cups)
        config = os.path.join(cls.run_["dir"], "config")
        cls.env["XDG_CONFIG_HOME"] = config
        os.makedirs(os.path.join(config, "printgate"))
        cls.list_file = os.path.join(config, "printgate", "allowed-origins")
        with open(cls.list_file, "w") as f:
            f.write("# sites that print labels\n%s\nhttps://*.labels.example   # every branch\nlabels.example\n"
                    % cls.listed)
        cls.gate = native.start_native(cls.run_, cls.env)
        cls.temp_image = os.path.join(cls.env["HOME"], ".local", "state", "printgate", "tempVQ.JPG")
        cls.image = os.path.join(cls.run_["dir"], "label.png")
        subprocess.run(["convert", "-size", "80x40", "xc:white", "-fill", "black", "-draw", "rectangle 0,0 39,39",
                        cls.image], check=True, timeout=60)

    def output(self, *pieces):
        return processes.console_with(self.gate, *pieces) if pieces else processes.console(self.gate)

    def request(self, method, path, origin=None, host=None, body=None):
        headers = {}
        if origin is not None:
            headers["Origin"] = origin
        if host is not None:
            headers["Host"] = host
        if method == "POST" and body is None:
            body = b""
        return httpapi.http(method, path, body=body, headers=headers)

    def stream_head(self, origin=None, host="127.0.0.1:6780"):
        """The head of the event stream's answer (the stream itself is left
        unread and closed)."""
        with socket.create_connection(("127.0.0.1", httpapi.API_PORT), timeout=30) as s:
            s.sendall(("GET /vqapi/v2/events HTTP/1.1\r\nHost: %s\r\n%sAccept: text/event-stream\r\n\r\n"
                       % (host, "Origin: %s\r\n" % origin if origin else "")).encode())
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = s.recv(4096)
                if not chunk:
                    break
                data += chunk
            return data.partition(b"\r\n\r\n")[0].decode("latin-1")

    def assertRefused(self, answer):
        status, headers, body = answer
        self.assertEqual((status, body), (403, ERROR_403))
        self.assertEqual(httpapi.cors_headers(headers), [])

    def test_the_list_is_read_at_start_and_bad_entries_are_named(self):
        out = self.output(b"allowed origins: 2 from")
        self.assertIn(("allowed origins: skipped \"labels.example\" at %s:4 (no scheme" % self.list_file).encode(), out)
        self.assertIn(("allowed origins: 2 from %s; pages of other origins are refused" % self.list_file).encode(),
                      out)

    def test_listed_and_wildcard_origins_are_answered_by_name(self):
        for origin in (self.listed, "https://east.labels.example"):
            status, headers, body = self.request("POST", "/vqapi/GetPrinters", origin=origin)
            self.assertEqual(status, 200, origin)
            self.assertIn(b'"name":\t"Label2"', body)
            self.assertIn(("Access-Control-Allow-Origin", origin), headers)
            self.assertIn(("Vary", "Origin"), headers)
            for path in ("/vqapi/PrintImage?printer=VELQ", "/vqapi/v2/print"):
                status, headers, _ = self.request("OPTIONS", path, origin=origin)
                self.assertEqual(status, 204)
                self.assertIn(("Access-Control-Allow-Origin", origin), headers)
            status, headers, _ = self.request("GET", "/vqapi/v2/printers", origin=origin)
            self.assertEqual(status, 200)
            self.assertIn(("Access-Control-Allow-Origin", origin), headers)
            # A label's routes and the event stream answer the page by name too.
            for method, path, expected in (("GET", "/vqapi/v2/jobs/999999?printer=VELQ", 404),
                                           ("POST", "/vqapi/v2/jobs/999999/cancel?printer=VELQ", 404),
                                           ("OPTIONS", "/vqapi/v2/events", 204)):
                status, headers, _ = self.request(method, path, origin=origin)
                self.assertEqual(status, expected, path)
                self.assertIn(("Access-Control-Allow-Origin", origin), headers)
            head = self.stream_head(origin)
            self.assertTrue(head.startswith("HTTP/1.1 200 "), head)
            self.assertIn("\r\nAccess-Control-Allow-Origin: %s\r\n" % origin, head)
            self.assertIn("\r\nContent-Type: text/event-stream\r\n", head)

    def test_an_unlisted_page_lists_stores_and_prints_nothing(self):
        label = native.data_url(self.image)
        # A listed print first, so that a file and a job exist to compare.
        before = len(scheduler.captured_jobs(self.cups))
        starts = self.output().count(b"start print")
        status, _, _ = self.request("POST", "/vqapi/PrintImage?printer=VELQ", origin=self.listed, body=label)
        self.assertEqual(status, 200)
        scheduler.wait_for_jobs(self.cups, before + 1)
        stored = os.stat(self.temp_image)
        with open(self.temp_image, "rb") as f:
            content = f.read()

        other = b"data:image/png;base64," + b"iVBORw0KGgo" * 100
        with open(self.image, "rb") as f:
            png = f.read()
        for origin in (self.unlisted, "null", "https://labels.example", self.listed.upper(), self.listed + "."):
            self.assertRefused(self.request("OPTIONS", "/vqapi/PrintImage?printer=VELQ", origin=origin))
            self.assertRefused(self.request("POST", "/vqapi/GetPrinters", origin=origin))
            self.assertRefused(self.request("POST", "/vqapi/PrintImage?printer=VELQ", origin=origin, body=other))
            self.assertRefused(self.request("POST", "/vqapi/v2/print?printer=VELQ", origin=origin, body=png))
            self.assertRefused(self.request("GET", "/vqapi/v2/printers", origin=origin))
            self.assertRefused(self.request("GET", "/vqapi/v2/jobs/1?printer=VELQ", origin=origin))
            self.assertRefused(self.request("POST", "/vqapi/v2/jobs/1/cancel?printer=VELQ", origin=origin))
            self.assertRefused(self.request("OPTIONS", "/vqapi/v2/events", origin=origin))
            head = self.stream_head(origin)
            self.assertTrue(head.startswith("HTTP/1.1 403 "), head)
            self.assertNotIn("Access-Control-", head)
        refused = ('origin refused: POST /vqapi/PrintImage from "%s", not in the allowed list' % self.unlisted).encode()
        self.assertIn(refused, self.output(refused))
        # Two Origin headers, one of them listed.
        answer = httpapi.raw_exchange(
            ("POST /vqapi/PrintImage?printer=VELQ HTTP/1.1\r\nHost: 127.0.0.1:6780\r\nOrigin: %s\r\n"
             "Origin: %s\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % (self.listed, self.unlisted, len(other))
             ).encode() + other)
        self.assertTrue(answer.startswith(b"HTTP/1.1 403 "), answer)
        self.assertNotIn(b"Access-Control-", answer)
        self.assertEqual(os.stat(self.temp_image).st_mtime_ns, stored.st_mtime_ns)
        with open(self.temp_image, "rb") as f:
            self.assertEqual(f.read(), content)

        # A listed print after them all is the next job: none came between.
        status, _, _ = self.request("POST", "/vqapi/PrintImage?printer=Label2", origin=self.listed, body=label)
        jobs = scheduler.wait_for_jobs(self.cups, before + 2)
        self.assertEqual([job["queue"] for job in jobs[before:]], ["VELQ", "Label2"])
        self.assertEqual(len(scheduler.captured_jobs(self.cups)), before + 2)
        self.assertEqual(self.output().count(b"start print"), starts + 2)

    def test_programs_without_origin_are_served_without_a_page_origin(self):
        status, headers, body = self.request("POST", "/vqapi/GetPrinters")
        self.assertEqual(status, 200)
        self.assertIn(b'"name":\t"VELQ"', body)
        self.assertNotIn("Access-Control-Allow-Origin", dict(headers))
        status, _, _ = self.request("POST", "/vqapi/GetPrinters", host="localhost:6780")
        self.assertEqual(status, 200)

    def test_a_rebound_host_name_is_refused(self):
        for host in ("rebind.example:6780", "127.0.0.1", "127.0.0.1:80", "localhost.:6780"):
            self.assertRefused(self.request("POST", "/vqapi/GetPrinters", host=host))
            self.assertRefused(self.request("POST", "/vqapi/GetPrinters", host=host, origin=self.listed))
            self.assertTrue(self.stream_head(self.listed, host=host).startswith("HTTP/1.1 403 "), host)
        refused = b'host refused: POST /vqapi/GetPrinters for "rebind.example:6780"'
        self.assertIn(refused, self.output(refused))

    def test_chromium_prints_from_a_listed_page_and_not_from_another(self):
        before = len(scheduler.captured_jobs(self.cups))
        dom = pages.chromium_dom(
            self.run_, "%s/print-label.html?auto=1&printer=Label2" % self.unlisted, name="unlisted")
        self.assertEqual(page_log(dom), "error: TypeError: Failed to fetch\n")

        dom = pages.chromium_dom(self.run_, "%s/print-label.html?auto=1&printer=Label2" % self.listed)
        self.assertRegex(page_log(dom), r"^printers: (VELQ,Label2|Label2,VELQ)\nprinted on Label2: 200 10001\ndone\n$")
        jobs = scheduler.wait_for_jobs(self.cups, before + 1, timeout=90)
        self.assertEqual([(job["queue"], job["title"]) for job in jobs[before:]], [("Label2", "velq label")])
        refused = ('origin refused: OPTIONS /vqapi/GetPrinters from "%s"' % self.unlisted).encode()
        self.assertIn(refused, self.output(refused))


if __name__ == "__main__":
    unittest.main()
