"""printgate.exe under Wine: the route table answers as in the native build,
and GetPrinters lists and filters the queues of a real CUPS scheduler as
Wine's spooler presents them."""

import socket
import json
import unittest

from pylib import httpapi, limits, namespaces, paths, processes, scheduler, sockets, wineprefix, winservice, workerpool

ERROR_404 = b"<p>Error Status: <span style='color:red;'>404</span></p>"
CORS = [("Access-Control-Allow-Origin", "*"),
        ("Access-Control-Allow-Methods", "GET, OPTIONS, POST, HEAD"),
        ("Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept")]


def names(body):
    document = json.loads(body)
    return [p["name"] for p in document["resultInfo"]["printers"]]


class ServerUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = run = processes.new_run(cls.addClassCleanup)
        cls.cups = scheduler.start_cups(run)
        cls.env = wineprefix.new_prefix(run, cls.cups)
        cls.gate = wineprefix.start_printgate(run, cls.env)

    def test_routes_answer_as_the_native_build(self):
        status, headers, body = httpapi.http("GET", "/")
        self.assertEqual(status, 302)
        self.assertEqual(dict(headers).get("Location"), "/hi")
        self.assertEqual(httpapi.cors_headers(headers), [])

        for method, path in [("GET", "/hi"), ("GET", "/vqapi/GetPrinters"), ("GET", "/vqapi/PrintImage"),
                             ("OPTIONS", "/"), ("POST", "/vqapi/getprinters"), ("POST", "/vqapi/GetPrinters/")]:
            status, headers, body = httpapi.http(method, path, body=b"" if method == "POST" else None)
            self.assertEqual((status, body), (404, ERROR_404), method + " " + path)
            self.assertEqual(dict(headers).get("Content-Type"), "text/html")
            self.assertEqual(httpapi.cors_headers(headers), [])

        for path in ["/vqapi/GetPrinters", "/vqapi/PrintImage?printer=VELQ"]:
            status, headers, body = httpapi.http("OPTIONS", path)
            self.assertEqual((status, body), (204, b""), path)
            self.assertEqual(sorted(httpapi.cors_headers(headers)), sorted(CORS))

        answer = httpapi.raw_exchange(b"TRACE / HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), answer)
        self.assertIn(b"<span style='color:red;'>400</span>", answer)

    def test_get_printers_lists_the_cups_queues_in_the_envelope(self):
        status, headers, body = httpapi.http("POST", "/vqapi/GetPrinters?x=1", body=b"")
        self.assertEqual(status, 200)
        self.assertEqual(dict(headers).get("Content-Type"), "application/json")
        self.assertEqual(sorted(httpapi.cors_headers(headers)), sorted(CORS))
        self.assertEqual(sorted(names(body)), sorted(scheduler.DEFAULT_QUEUES))
        self.assertTrue(body.startswith(b'{\n\t"statusCode":\t"10001",\n\t"resultInfo":\t{\n\t\t"printers":\t[{\n'),
                        body)
        self.assertFalse(body.endswith(b"\n"))

        status, _, body = httpapi.http("POST", "/vqapi/GetPrinters?onlySupported=0", body=b"")
        self.assertEqual(names(body), ["VELQ"])

    def test_get_printers_while_another_program_adds_and_removes_a_queue(self):
        # The list can grow between the spooler call that sizes printgate's
        # buffer and the one that fills it; no answer may then lose the
        # queues that stayed.
        driver = "Bench Churn"
        winservice.add_label_driver(self.env, self.cups, driver)
        churn = wineprefix.start_program(self.run_, self.env, paths.watch_tool("watch_spool_tool.exe"),
                                         ["churn", "Churn", driver, "8"], name="churn")
        answers, short, with_churn = 0, [], 0
        while churn["proc"].poll() is None:
            status, _, body = httpapi.http("POST", "/vqapi/GetPrinters", body=b"")
            self.assertEqual(status, 200)
            listed = names(body)
            answers += 1
            with_churn += "Churn" in listed
            if not set(scheduler.DEFAULT_QUEUES) <= set(listed):
                short.append(listed)
        text = processes.read_text(churn["out"])
        print("%d GetPrinters answers while another program %s; %d listed its queue" % (answers, text.strip(), with_churn))
        self.assertEqual(churn["proc"].returncode, 0, text)
        self.assertEqual(short, [])
        self.assertGreater(with_churn, 0)

    def test_online_and_local_filters_follow_the_spooler_attributes(self):
        winservice.set_printer_attributes(self.env, "Office", 0x400)   # work offline
        winservice.set_printer_attributes(self.env, "Label2", 0x10)    # network
        self.addCleanup(winservice.set_printer_attributes, self.env, "Office", 0)
        self.addCleanup(winservice.set_printer_attributes, self.env, "Label2", 0)

        def listed(query):
            status, _, body = httpapi.http("POST", "/vqapi/GetPrinters" + query, body=b"")
            self.assertEqual(status, 200)
            return sorted(names(body))

        self.assertEqual(listed(""), ["Label2", "Office", "VELQ"])
        self.assertEqual(listed("?onlyOnline"), ["Label2", "VELQ"])
        self.assertEqual(listed("?onlyLocal=false"), ["Office", "VELQ"])
        self.assertEqual(listed("?onlyLocal&onlyOnline"), ["VELQ"])
        # Form fields count as parameters too.
        status, _, body = httpapi.http("POST", "/vqapi/GetPrinters", body=b"onlyOnline=1",
                                       headers={"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(sorted(names(body)), ["Label2", "VELQ"])
        # Standard output is in text mode on Windows: lines end in CR LF.
        self.assertIn(b"010===\r\n", processes.output(self.gate))

    def test_preflight_allows_the_private_network_only_when_asked(self):
        for value, allowed in [("true", True), (None, False), ("false", False)]:
            headers = {"Origin": "https://labels.example", "Access-Control-Request-Method": "POST"}
            if value is not None:
                headers["Access-Control-Request-Private-Network"] = value
            status, answer, body = httpapi.http("OPTIONS", "/vqapi/PrintImage?printer=VELQ", headers=headers)
            self.assertEqual((status, body), (204, b""), value)
            expected = CORS + ([("Access-Control-Allow-Private-Network", "true")] if allowed else [])
            self.assertEqual(sorted(httpapi.cors_headers(answer)), sorted(expected), value)

    def test_answers_leave_at_once_and_bursts_of_connections_wait_their_turn(self):
        # Wine keeps a Unix socket under each Windows one; the option set on
        # the listening socket must reach the accepted one.
        with socket.create_connection(("127.0.0.1", httpapi.API_PORT), timeout=5) as client:
            client.sendall(b"OPTIONS /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\n\r\n")
            self.assertTrue(client.recv(4096).startswith(b"HTTP/1.1 204"))
            nodelay = sockets.accepted_socket_option([wineprefix.wineserver_pid(self.env)], client,
                                                     socket.IPPROTO_TCP, socket.TCP_NODELAY)
        self.assertNotEqual(nodelay, 0)
        self.assertGreaterEqual(sockets.listen_backlog(), limits.LISTEN_BACKLOG)

    def test_idle_and_trickling_connections_leave_workers_and_past_the_pool_requests_queue(self):
        # Wine's launcher turns into the program: the process started is printgate.exe's.
        workerpool.check_held_connections_and_queueing(self, self.gate["proc"].pid)

    def test_a_kept_connection_carries_a_pages_burst_without_reconnecting(self):
        workerpool.check_kept_connection_carries_a_burst(self)

    def test_a_burst_of_connections_is_served_while_every_one_is_held(self):
        workerpool.check_a_burst_of_connections_is_served_at_once(self)

    def test_a_request_that_stops_arriving_is_dropped(self):
        workerpool.check_a_request_that_stops_arriving_is_dropped(self)

    def test_only_loopback_is_served(self):
        netns = namespaces.new_netns(processes.new_run(self.addCleanup))
        # The namespace reaches the host's veth address (port 9 is closed,
        # so a refusal proves the route), but printgate isn't listening
        # there: it is bound to 127.0.0.1 alone.
        self.assertEqual(namespaces.connect_from_netns(netns, netns["host_address"], 9), "refused")
        self.assertEqual(namespaces.connect_from_netns(netns, netns["host_address"], httpapi.API_PORT), "refused")
        status, _, _ = httpapi.http("POST", "/vqapi/GetPrinters", body=b"")
        self.assertEqual(status, 200)


if __name__ == "__main__":
    unittest.main()
