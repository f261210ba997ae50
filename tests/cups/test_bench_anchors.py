"""The benchmarks' anchors measure what their rows say: nginx answers
printgate's GetPrinters bytes, the "before" server is the library's
defaults and the "after" one printgate's settings, and the libcups loop
lists the queues printgate lists from the same scheduler. A drifted anchor
would make every ratio of the table compare other work."""

import http.client as httpclient
import os
import socket
import sys
import unittest

from pylib import httpapi, paths, processes, sockets

sys.path.insert(0, os.path.join(paths.SOURCE_DIR, "bench"))
import bench_run  # noqa: E402
import get_printers_cups  # noqa: E402
import keepalive_latency  # noqa: E402


def bench_binary(name):
    return os.path.join(paths.NATIVE_BUILD, "bench", name)


def server_end(pid, port):
    """TCP_NODELAY on the server's end of a connection that has had one
    GetPrinters answer, and the listening socket's backlog."""
    with socket.create_connection(("127.0.0.1", port), timeout=5) as client:
        client.sendall(b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
        assert client.recv(4096).startswith(b"HTTP/1.1 200")
        nodelay = sockets.accepted_socket_option([pid], client, socket.IPPROTO_TCP, socket.TCP_NODELAY)
    return nodelay != 0, sockets.listen_backlog(port)


class BenchAnchors(unittest.TestCase):
    def setUp(self):
        self.run_dir = processes.new_run(self.addCleanup)

    def test_nginx_serves_the_given_bytes_over_one_kept_connection(self):
        _, api = keepalive_latency.start_bench_server(self.run_dir, bench_binary("bench_get_printers_server"), "api")
        _, headers, listing = keepalive_latency.get_printers(api)
        cross_origin = keepalive_latency.header_values(headers)
        self.assertNotIn(None, [value for _, value in cross_origin])
        # The real listing, and the bytes nginx's configuration quotes or escapes.
        for body in [listing, b"{\"a\":\t'b'}\n", b"back\\slash \\' end\\", "Étiquette 标签".encode("utf-8")]:
            _, port = keepalive_latency.start_nginx(self.run_dir, body, cross_origin)
            connection = httpclient.HTTPConnection("127.0.0.1", port, timeout=10)
            try:
                for _ in range(3):
                    connection.request("POST", keepalive_latency.PATH, body=b"", headers={"Content-Type": "text/plain"})
                    response = connection.getresponse()
                    self.assertEqual((response.status, response.read()), (200, body))
                    self.assertEqual(keepalive_latency.header_values(response.getheaders()), cross_origin)
                    self.assertNotEqual(response.getheader("Connection"), "close")
            finally:
                connection.close()
        with self.assertRaises(ValueError):
            keepalive_latency.start_nginx(self.run_dir, b"$host", cross_origin)

    def test_before_has_the_librarys_settings_and_after_printgates(self):
        for mode, expected in [("defaults", (False, 5)), ("api", (True, 128))]:
            proc, port = keepalive_latency.start_bench_server(self.run_dir, bench_binary("bench_get_printers_server"),
                                                              mode)
            self.assertEqual(server_end(proc.pid, port), expected, mode)

    def test_a_figure_of_rounds_is_their_median_with_their_spread(self):
        # Odd and even counts, rounds out of order, one round far off.
        for values, digits, unit, expected in [([0.61, 0.58, 0.66, 0.60, 0.63], 2, "x", "0.61x (0.58-0.66)"),
                                               ([4.0, 1.0, 3.0, 2.0], 2, "x", "2.50x (1.00-4.00)"),
                                               ([0.0471, 9.5, 0.0452], 3, " ms", "0.047 ms (0.045-9.500)")]:
            self.assertEqual(bench_run.rounds_figure(values, digits, unit), expected)

    def test_the_loop_lists_what_printgate_lists(self):
        env = get_printers_cups.start(self.run_dir, paths.NATIVE_BUILD)
        status, _, body = keepalive_latency.get_printers(httpapi.API_PORT)
        self.assertEqual(status, 200)
        per_call, _, _, queues = get_printers_cups.enum_loop(bench_binary("bench_cups_enum_loop"), env, 0.2)
        self.assertGreater(per_call, 0)
        self.assertEqual(sorted(queues), sorted(get_printers_cups.QUEUES))
        self.assertEqual(get_printers_cups.listed_names(body), queues)


if __name__ == "__main__":
    unittest.main()
