"""The API server's worker pool as both builds must have it: workers used,
connections held past the pool's cap, a burst of connections at once, a
burst on one kept connection. The pool's sizes come from the C++
(pylib.limits)."""

import selectors
import socket

from pylib import httpapi, processes, sockets
from pylib.limits import KEEP_ALIVE_REQUESTS, KEEP_ALIVE_SECONDS, RESTING_WORKERS, WORKERS


def use_every_worker(requests, workers, port=httpapi.API_PORT):
    """Has as many workers serve each of requests (raw bytes) once: a
    thread's first request touches its stack and thread-local state, a cost
    bounded by the pool that a memory figure must not count as growth. One
    connection per worker, held by a first request and kept alive, so no worker takes
    two; each connection is sent its next request as soon as it has its
    answer, so none waits idle past the keep-alive time-out (printing is
    serialised: a connection answered first would otherwise wait for all
    the other labels)."""
    per_pass = KEEP_ALIVE_REQUESTS - 1
    for first in range(0, len(requests), per_pass + 1):
        batch = requests[first:first + per_pass + 1]
        pinned = httpapi.open_idle_connections(workers, batch[0], port)
        try:
            send_in_turn(pinned, batch[1:])
        finally:
            for s in pinned:
                s.close()


def send_in_turn(connections, requests):
    """Sends every connection each of requests in order, the next as soon as
    its answer to the last has come."""
    if not requests:
        return
    with selectors.DefaultSelector() as waiting:
        for s in connections:
            s.sendall(requests[0])
            waiting.register(s, selectors.EVENT_READ, 0)
        while waiting.get_map():
            for key, _ in waiting.select():
                httpapi.read_answer(key.fileobj)
                sent = key.data + 1
                if sent < len(requests):
                    key.fileobj.sendall(requests[sent])
                    waiting.modify(key.fileobj, selectors.EVENT_READ, sent)
                else:
                    waiting.unregister(key.fileobj)


OPTIONS_GET_PRINTERS = b"OPTIONS /vqapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


def serve_while_held(pid, workers=WORKERS, port=httpapi.API_PORT):
    """A desk's idle browsers and slow clients at once: 96 idle keep-alive
    connections and 32 trickling ones, then a new client's requests; then
    more connections held than the pool's cap, and one more request, which
    must wait its turn rather than fail; then all let go. Returns what was
    seen: the new client's statuses, the one past the pool, and the
    program's thread counts at rest, while held, past the pool and once
    let go."""
    httpapi.http("OPTIONS", "/vqapi/GetPrinters", port=port)
    seen = {"threads_before": processes.thread_count(pid)}
    with httpapi.trickling_connections(32, port):
        idle = httpapi.open_idle_connections(96, OPTIONS_GET_PRINTERS, port)
        try:
            # Far longer than any answer takes, far shorter than a held
            # worker's keep-alive or trickle.
            seen["statuses"] = [httpapi.http("POST", "/vqapi/GetPrinters", body=b"", port=port, timeout=10)[0]
                                for _ in range(10)]
            seen["threads_held"] = processes.thread_count(pid)
            # Past the pool: these queue behind the held ones.
            idle += httpapi.open_idle_connections(workers - 96, OPTIONS_GET_PRINTERS, port, wait=False)
            seen["status_past_pool"] = httpapi.http("POST", "/vqapi/GetPrinters", body=b"", port=port, timeout=60)[0]
            seen["threads_past_pool"] = processes.thread_count(pid)
        finally:
            for s in idle:
                s.close()
    # The workers started for them leave once there is nothing to serve (a
    # thread or two of the system's own may have started meanwhile).
    processes.wait_until(lambda: processes.thread_count(pid) <= seen["threads_before"] + 2, 30, interval=0.5,
                         what="the pool back at rest")
    return seen


def check_held_connections_and_queueing(test, pid):
    """The worker pool as both builds must have it (see serve_while_held)."""
    seen = serve_while_held(pid)
    test.assertEqual(seen["statuses"], [200] * 10, seen)
    test.assertEqual(seen["status_past_pool"], 200, seen)
    # Each trickling connection holds a worker of its own (an idle one may
    # already have been let go after its keep-alive time-out on a slow
    # machine), and no more than the cap were ever started.
    test.assertGreaterEqual(seen["threads_held"], seen["threads_before"] + 32, seen)
    test.assertLessEqual(seen["threads_past_pool"], seen["threads_before"] - RESTING_WORKERS + WORKERS + 2, seen)


def check_a_burst_of_connections_is_served_at_once(test, count=4 * RESTING_WORKERS, port=httpapi.API_PORT):
    """A page opening many connections at once, each keeping its worker
    after its answer: every one is answered while all are still open. A
    connection queued with no worker to take it would be answered only once
    another's keep-alive time-out had closed that one."""
    burst = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(count)]
    try:
        for s in burst:
            s.sendall(OPTIONS_GET_PRINTERS)
        for s in burst:
            httpapi.read_answer(s)
        closed = [i for i, s in enumerate(burst) if sockets.peer_closed(s)]
        test.assertEqual(closed, [], "connections the server had closed before the last of the burst was answered")
    finally:
        for s in burst:
            s.close()


def check_a_request_that_stops_arriving_is_dropped(test, port=httpapi.API_PORT):
    """A client that stops part-way through its request's head, or its
    body, loses its connection once the read time-out has passed, rather
    than holding its worker for good."""
    for partial in (b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\n",
                    b"POST /vqapi/PrintImage HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\ndata:"):
        with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
            s.sendall(partial)
            rest = b""
            try:
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    rest += chunk
            except socket.timeout:
                test.fail("still open after 30 s: %r" % partial)
            # The unfinished head gets no answer; the unfinished body may.
            test.assertFalse(rest.startswith(b"HTTP/1.1 2"), rest)


def check_kept_connection_carries_a_burst(test):
    heads = httpapi.answers_on_one_connection(50)
    test.assertEqual(len(heads), 50)
    test.assertEqual([head for head in heads if b"connection: close" in head.lower()], [])
    test.assertIn(b"Keep-Alive: timeout=%d, max=%d" % (KEEP_ALIVE_SECONDS, KEEP_ALIVE_REQUESTS), heads[0])
