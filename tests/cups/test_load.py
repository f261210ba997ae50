"""The native printgate under load and abuse, in front of a private CUPS
scheduler: many labels at once each print their own image, a long mixed soak
does not grow the program's memory, slow clients don't keep others waiting,
and an oversize body is refused without harming the next request.

Loops are bounded in count and time; all traffic stays on loopback."""

import http.client as httpclient
import base64
import concurrent.futures
import os
import socket
import struct
import subprocess
import threading
import time
import unittest
import zlib

from pylib import httpapi, limits, native, processes, scheduler, sockets, workerpool

STRIPES = 6          # bits of an image's index, one stripe each
STRIPE_WIDTH = 8     # pixels
HEIGHT = 16


def png_bytes(width, height, rgb_at):
    """A plain 8-bit RGB PNG; rgb_at(x, y) gives each pixel."""
    rows = b"".join(b"\x00" + b"".join(bytes(rgb_at(x, y)) for x in range(width)) for y in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows))
            + chunk(b"IEND", b""))


def index_image(index):
    """An image whose stripes spell index in binary: black is 1, white 0."""
    def rgb_at(x, y):
        bit = (index >> (x // STRIPE_WIDTH)) & 1
        return (0, 0, 0) if bit else (255, 255, 255)
    return png_bytes(STRIPES * STRIPE_WIDTH, HEIGHT, rgb_at)


def data_url(png):
    return b"data:image/png;base64," + base64.b64encode(png)


def read_index(job_path, work_dir):
    """Renders a captured job at 8 dots per millimetre, where one image pixel
    is one device pixel, and reads the stripes back."""
    out = os.path.join(work_dir, os.path.basename(job_path) + ".ppm")
    subprocess.run(["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=ppmraw", "-r203.2",
                    "-sOutputFile=" + out, job_path],
                   check=True, stdin=subprocess.DEVNULL, timeout=60)
    with open(out, "rb") as f:
        data = f.read()
    # P6, width, height, maxval, then the pixels; "#" lines are comments.
    fields, at = [], 0
    while len(fields) < 4:
        line_end = data.index(b"\n", at)
        line = data[at:line_end]
        at = line_end + 1
        if not line.startswith(b"#"):
            fields.extend(line.split())
    width = int(fields[1])
    pixels = data[at:]
    y = HEIGHT // 2
    index = 0
    for stripe in range(STRIPES):
        x = stripe * STRIPE_WIDTH + STRIPE_WIDTH // 2
        r, g, b = pixels[(y * width + x) * 3:(y * width + x) * 3 + 3]
        if r + g + b < 3 * 128:
            index |= 1 << stripe
    return index


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


class LoadAndFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = processes.new_run(cls.addClassCleanup)
        cls.cups = native.start_label_cups(cls.work)
        cls.gate = native.start_native(cls.work, native.native_env(cls.work, cls.cups))

    def jobs_since(self, before):
        return [job for job in scheduler.captured_jobs(self.cups) if job["id"] not in before]

    def test_64_concurrent_labels_print_64_jobs_each_with_its_own_image(self):
        before = {job["id"] for job in scheduler.captured_jobs(self.cups)}
        count = 64

        def post(index):
            status, _, body = httpapi.http("POST", "/vqapi/PrintImage?printer=VELQ",
                                           body=data_url(index_image(index)), timeout=120)
            return status

        pid, port = self.gate["proc"].pid, self.cups["port"]
        most = [0]
        posting = threading.Event()

        def sample():
            while not posting.is_set():
                most[0] = max(most[0], native.scheduler_connections(pid, port))
                time.sleep(0.002)

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            with concurrent.futures.ThreadPoolExecutor(count) as pool:
                statuses = list(pool.map(post, range(count)))
        finally:
            posting.set()
            sampler.join()
        self.assertEqual(statuses, [200] * count)
        # Every worker printed, yet printgate held no more connections to
        # the scheduler than its limit, and keeps only a few (as
        # base/scheduler_connection.h sets them).
        idle = native.scheduler_connections(pid, port)
        print("64 labels at once: at most %d connections to the scheduler, %d kept" % (most[0], idle))
        self.assertLessEqual(most[0], limits.SCHEDULER_CONNECTION_LIMIT)
        self.assertLessEqual(idle, limits.SCHEDULER_CONNECTIONS_KEPT)
        processes.wait_until(lambda: len(self.jobs_since(before)) >= count, 180, interval=0.5,
                           what="%d jobs" % count)
        jobs = self.jobs_since(before)
        self.assertEqual(len(jobs), count)
        work = os.path.join(self.work["dir"], "renders")
        os.makedirs(work, exist_ok=True)
        indices = sorted(read_index(job["path"], work) for job in jobs)
        mismatched = count - len(set(indices) & set(range(count)))
        self.assertEqual(mismatched, 0, indices)

    def test_a_long_mixed_soak_does_not_grow_memory(self):
        pid = self.gate["proc"].pid
        requests = [("POST", "/vqapi/GetPrinters", b""), ("POST", "/vqapi/GetPrinters?onlyOnline", b""),
                    ("OPTIONS", "/vqapi/PrintImage", None), ("GET", "/", None),
                    ("GET", "/vqapi/GetPrinters", None), ("POST", "/vqapi/GetPrinters?onlySupported=1",
                                                          b"onlyLocal=1")]
        label = data_url(index_image(5))
        total, prints = 10000, 50
        failures = []

        def run_part(start, end, threads=8):
            workers = [threading.Thread(target=worker_range, args=(start, end, t, threads))
                       for t in range(threads)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()

        def worker_range(start, end, offset, step):
            worker_slice = range(start + offset, end, step)
            for i in worker_slice:
                if i % (total // prints) == 0:
                    method, path, body = "POST", "/vqapi/PrintImage?printer=VELQ", label
                else:
                    method, path, body = requests[i % len(requests)]
                try:
                    status, _, _ = httpapi.http(method, path, body=body, timeout=60)
                    if status >= 500:
                        failures.append((i, status))
                except OSError as error:
                    failures.append((i, str(error)))

        def raw(method, path, body):
            head = "%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n" % (method, path)
            if body is not None:
                head += "Content-Type: text/plain\r\nContent-Length: %d\r\n" % len(body)
            return head.encode() + b"\r\n" + (body or b"")

        # Warm up first: twice as many workers as the soak keeps busy serve
        # each kind of request once, then the allocator and the library's
        # pools settle.
        warm = 16
        jobs_before_warming = len(scheduler.captured_jobs(self.cups))
        workerpool.use_every_worker([raw(*requests[0]), raw("POST", "/vqapi/PrintImage?printer=VELQ", label)]
                                 + [raw(*request) for request in requests[1:]], workers=warm)
        processes.wait_until(lambda: len(scheduler.captured_jobs(self.cups)) >= jobs_before_warming + warm,
                           180, interval=0.5, what="the warm-up's jobs")
        before = {job["id"] for job in scheduler.captured_jobs(self.cups)}
        run_part(0, 2000)
        settled = rss_kib(pid)
        samples = [settled]
        for start in range(2000, total, 2000):
            run_part(start, start + 2000)
            samples.append(rss_kib(pid))
        self.assertEqual(failures, [])
        growth = (samples[-1] - settled) / settled
        print("soak: %d requests, RSS KiB after warm-up and every 2000: %s, growth %.1f%%"
              % (total, samples, growth * 100))
        self.assertLess(growth, 0.05, samples)
        # Every label of the soak reaches the scheduler (and no later test
        # sees them arrive).
        processes.wait_until(lambda: len(self.jobs_since(before)) >= prints, 180, interval=0.5,
                           what="the soak's %d jobs" % prints)
        self.assertEqual(len(self.jobs_since(before)), prints)

    def test_slow_clients_do_not_keep_other_requests_waiting(self):
        # As many trickling connections as a browser opens to one host.
        slow = []
        for _ in range(6):
            s = socket.create_connection(("127.0.0.1", httpapi.API_PORT), timeout=5)
            s.sendall(b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
            slow.append(s)
        stop = threading.Event()

        def trickle():
            while not stop.is_set():
                for s in slow:
                    try:
                        s.sendall(b"x")
                    except OSError:
                        pass
                stop.wait(0.5)

        dripper = threading.Thread(target=trickle)
        dripper.start()
        try:
            for _ in range(20):
                status, _, _ = httpapi.http("POST", "/vqapi/GetPrinters", body=b"", timeout=20)
                self.assertEqual(status, 200)
        finally:
            stop.set()
            dripper.join()
            for s in slow:
                s.close()

    def test_idle_and_trickling_connections_leave_workers_and_past_the_pool_requests_queue(self):
        workerpool.check_held_connections_and_queueing(self, self.gate["proc"].pid)

    def test_a_kept_connection_carries_a_pages_burst_without_reconnecting(self):
        workerpool.check_kept_connection_carries_a_burst(self)

    def test_a_burst_of_connections_is_served_while_every_one_is_held(self):
        workerpool.check_a_burst_of_connections_is_served_at_once(self)

    def test_a_request_that_stops_arriving_is_dropped(self):
        workerpool.check_a_request_that_stops_arriving_is_dropped(self)

    def test_answers_leave_at_once_and_bursts_of_connections_wait_their_turn(self):
        with socket.create_connection(("127.0.0.1", httpapi.API_PORT), timeout=5) as client:
            client.sendall(b"OPTIONS /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertTrue(client.recv(4096).startswith(b"HTTP/1.1 204"))
            nodelay = sockets.accepted_socket_option([self.gate["proc"].pid], client, socket.IPPROTO_TCP,
                                                     socket.TCP_NODELAY)
        self.assertNotEqual(nodelay, 0)
        self.assertGreaterEqual(sockets.listen_backlog(), limits.LISTEN_BACKLOG)

    def test_an_oversize_body_is_refused_and_the_next_request_is_served(self):
        before = {job["id"] for job in scheduler.captured_jobs(self.cups)}
        # Announced too large: refused before anything is read.
        answer = httpapi.raw_exchange(
            b"POST /vqapi/PrintImage?printer=VELQ HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
            b"Content-Length: %d\r\n\r\ndata:image/png;base64,AAAA" % (64 * 1024 * 1024 + 1), timeout=10)
        self.assertTrue(answer.startswith(b"HTTP/1.1 413 "), answer[:200])
        self.assertIn(b"<span style='color:red;'>413</span>", answer)
        # Sent whole, in chunks with no length: refused once it passes 64 MiB.
        chunk = b"A" * (1024 * 1024)

        def body():
            yield b"data:image/png;base64,"
            for _ in range(65):
                yield chunk

        connection = httpclient.HTTPConnection("127.0.0.1", httpapi.API_PORT, timeout=60)
        try:
            connection.request("POST", "/vqapi/PrintImage?printer=VELQ", body=body(),
                               headers={"Transfer-Encoding": "chunked", "Content-Type": "text/plain"},
                               encode_chunked=True)
            response = connection.getresponse()
            self.assertEqual(response.status, 413)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the server may close before the client has sent it all
        finally:
            connection.close()
        status, _, body_bytes = httpapi.http("POST", "/vqapi/PrintImage?printer=VELQ",
                                             body=data_url(index_image(9)))
        self.assertEqual(status, 200)
        processes.wait_until(lambda: len(self.jobs_since(before)) >= 1, 60, what="the next job")
        jobs = self.jobs_since(before)
        self.assertEqual(len(jobs), 1)
        self.assertEqual(read_index(jobs[0]["path"], self.work["dir"]), 9)


if __name__ == "__main__":
    unittest.main()
