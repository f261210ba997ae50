"""The Windows build of the benchmarks' GetPrinters server under Wine: its
"before" mode keeps the library's socket settings and its "after" mode has
printgate's, so the Wine latency rows compare what they say."""

import os
import socket
import sys
import unittest

from pylib import limits, paths, processes, sockets, wineprefix

sys.path.insert(0, os.path.join(paths.SOURCE_DIR, "bench"))
import keepalive_latency  # noqa: E402


class BenchServerUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_dir = processes.new_run(cls.addClassCleanup)
        cls.env = wineprefix.new_prefix(cls.run_dir, None)
        # The listing is the program's own; no scheduler is asked.
        cls.env["CUPS_SERVER"] = "/nonexistent/cups.sock"
        wineprefix.keep_wine_up(cls.run_dir, cls.env)

    def test_before_has_the_librarys_settings_and_after_printgates(self):
        exe = paths.win_exe("bench/bench_get_printers_server.exe")
        for mode, expected in [("defaults", (False, 5)), ("api", (True, limits.LISTEN_BACKLOG))]:
            _, port = keepalive_latency.start_bench_server(self.run_dir, exe, mode, self.env)
            with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
                client.sendall(b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
                self.assertTrue(client.recv(4096).startswith(b"HTTP/1.1 200"), mode)
                nodelay = sockets.accepted_socket_option([wineprefix.wineserver_pid(self.env)], client,
                                                         socket.IPPROTO_TCP, socket.TCP_NODELAY)
            self.assertEqual((nodelay != 0, sockets.listen_backlog(port)), expected, mode)


if __name__ == "__main__":
    unittest.main()
