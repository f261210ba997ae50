"""The API server's worker pool as both builds must have it: every worker
used, connections held past the pool, a burst on one kept connection. The
pool's sizes come from the C++ (pylib.limits)."""

import selectors

from pylib import httpapi, processes
from pylib.limits import KEEP_ALIVE_REQUESTS, KEEP_ALIVE_SECONDS, WORKERS


def use_every_worker(requests, workers=WORKERS, port=httpapi.API_PORT):
    """Has every worker serve each of requests (raw bytes) once: a thread's
    first request touches its stack and thread-local state, a cost bounded by
    the pool that a memory figure must not count as growth. One connection
    per worker, held by a first request and kept alive, so no worker takes
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
    """A desk's idle browsers and slow clients at once: 64 idle keep-alive
    connections and 32 trickling ones, then a new client's requests; then
    more connections held than there are workers, and one more request,
    which must wait its turn rather than fail. Returns what was seen: the
    new client's statuses, the one past the pool, and the program's thread
    counts before, while held and past the pool."""
    # The workers are all started before the first connection is accepted.
    httpapi.http("OPTIONS", "/vqapi/GetPrinters", port=port)
    seen = {"threads_before": processes.thread_count(pid)}
    with httpapi.trickling_connections(32, port):
        idle = httpapi.open_idle_connections(64, OPTIONS_GET_PRINTERS, port)
        try:
            # Far longer than any answer takes, far shorter than a held
            # worker's keep-alive or trickle.
            seen["statuses"] = [httpapi.http("POST", "/vqapi/GetPrinters", body=b"", port=port, timeout=10)[0]
                                for _ in range(10)]
            seen["threads_held"] = processes.thread_count(pid)
            # Past the pool: these queue behind the held ones.
            idle += httpapi.open_idle_connections(workers - 64, OPTIONS_GET_PRINTERS, port, wait=False)
            seen["status_past_pool"] = httpapi.http("POST", "/vqapi/GetPrinters", body=b"", port=port, timeout=60)[0]
            seen["threads_past_pool"] = processes.thread_count(pid)
        finally:
            for s in idle:
                s.close()
    return seen


def check_held_connections_and_queueing(test, pid):
    """The worker pool as both builds must have it (see serve_while_held)."""
    seen = serve_while_held(pid)
    test.assertEqual(seen["statuses"], [200] * 10, seen)
    test.assertEqual(seen["status_past_pool"], 200, seen)
    # The workers exist from the start; holding more never adds threads.
    test.assertLessEqual(seen["threads_past_pool"], seen["threads_before"] + 2, seen)


def check_kept_connection_carries_a_burst(test):
    heads = httpapi.answers_on_one_connection(50)
    test.assertEqual(len(heads), 50)
    test.assertEqual([head for head in heads if b"connection: close" in head.lower()], [])
    test.assertIn(b"Keep-Alive: timeout=%d, max=%d" % (KEEP_ALIVE_SECONDS, KEEP_ALIVE_REQUESTS), heads[0])
