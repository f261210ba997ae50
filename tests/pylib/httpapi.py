"""Clients of printgate's HTTP API on 127.0.0.1: one request, raw bytes, and
connections held the ways browsers and slow clients hold them."""

import contextlib
import http.client as httpclient
import json
import socket
import threading

from pylib import processes

API_PORT = 6780


def api_answering(port=API_PORT):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for_api(program, timeout=90):
    def up():
        if program["proc"].poll() is not None:
            raise RuntimeError("program exited with %s: %s" % (
                program["proc"].returncode, processes.read_text(program["err"])[-2000:]))
        return api_answering()
    processes.wait_until(up, timeout, interval=0.2, what="the API on port %d" % API_PORT)


def http(method, path, body=None, headers=None, port=API_PORT, timeout=60):
    """One request on a fresh connection: (status, [(name, value)], body)."""
    connection = httpclient.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.getheaders(), response.read()
    finally:
        connection.close()


def raw_exchange(request_bytes, port=API_PORT, timeout=5):
    """Sends raw bytes and returns what the server answers until it closes
    the connection or goes quiet."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request_bytes)
        chunks = []
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        except socket.timeout:
            pass
        return b"".join(chunks)


GET_PRINTERS = b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n"


def read_answer(sock):
    """Reads one answer with a Content-Length from a kept connection and
    returns its head."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed before the answer")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = [line.split(b":")[1] for line in head.split(b"\r\n") if line.lower().startswith(b"content-length:")]
    while len(body) < int(length[0] if length else 0):
        body += sock.recv(65536)
    return head


def open_idle_connections(count, request=GET_PRINTERS, port=API_PORT, wait=True):
    """Connections as a browser leaves them: each has had one answer and
    waits, kept alive, for its next request. Without wait, the requests are
    only sent: past the server's workers the rest stay queued, held all the
    same. The caller closes them."""
    idle = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        idle.append(s)
        s.sendall(request)
        if wait:
            read_answer(s)
    return idle


@contextlib.contextmanager
def trickling_connections(count, port=API_PORT, interval=1.0):
    """Connections that send a request's head a byte per interval and never
    finish it, for as long as the block runs."""
    slow = []
    stop = threading.Event()

    def drip():
        while not stop.wait(interval):
            for s in slow:
                try:
                    s.sendall(b"x")
                except OSError:
                    pass
    dripper = threading.Thread(target=drip, daemon=True)
    try:
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=30)
            slow.append(s)
            s.sendall(b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
        dripper.start()
        yield slow
    finally:
        stop.set()
        if dripper.is_alive():
            dripper.join()
        for s in slow:
            s.close()


def answers_on_one_connection(count, request=GET_PRINTERS, port=API_PORT):
    """Sends count requests one after another on one kept connection and
    returns the answers' heads, fewer if the server closes it first."""
    heads = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        for _ in range(count):
            try:
                s.sendall(request)
                heads.append(read_answer(s))
            except (ConnectionError, OSError):
                break
    return heads


def cors_headers(headers):
    return [(k, v) for k, v in headers if k.lower().startswith("access-control-")]


class EventStream:
    """GET /vqapi/v2/events on its own connection, its events collected by a
    thread as (event, data) pairs until close()."""

    def __init__(self, last_event_id=None, port=API_PORT):
        self.connection = httpclient.HTTPConnection("127.0.0.1", port, timeout=60)
        headers = {"Accept": "text/event-stream"}
        if last_event_id:
            headers["Last-Event-ID"] = last_event_id
        self.connection.request("GET", "/vqapi/v2/events", headers=headers)
        # Kept here: the connection may drop its own reference once the
        # answer has begun.
        self.sock = self.connection.sock
        self.response = self.connection.getresponse()
        self.events = []
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        event = {}
        try:
            while True:
                line = self.response.readline()
                if not line:
                    return
                line = line.decode("utf-8").rstrip("\r\n")
                if line == "":
                    if "data" in event:
                        with self.lock:
                            self.events.append((event.get("event"), json.loads(event["data"]), event.get("id")))
                    event = {}
                elif not line.startswith(":"):
                    name, _, value = line.partition(": ")
                    event[name] = value
        except (OSError, ValueError, AttributeError):
            return  # closed by close()

    def job_states(self, job_id):
        with self.lock:
            return [data["state"] for kind, data, _ in self.events if kind == "job" and data["job"] == job_id]

    def close(self):
        # The reader thread holds the answer's buffer while it waits for a
        # line, and closing the buffer waits for that line: the server's
        # next comment, up to 15 s away (32 streams took minutes to close).
        # Shutting the socket down ends the reader's wait at once.
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # the server has closed it already
        self.response.close()
        self.connection.close()
