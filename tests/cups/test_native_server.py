"""The native printgate over a private CUPS scheduler: the route table
answers as everywhere else, GetPrinters lists the scheduler's queues in its
order, with CUPS's states read as network and work-offline printers, and no
console line is lost at a stop."""

import json
import signal
import unittest

from pylib import httpapi, native, paths, processes, scheduler

ERROR_404 = b"<p>Error Status: <span style='color:red;'>404</span></p>"
CORS = [("Access-Control-Allow-Origin", "*"),
        ("Access-Control-Allow-Methods", "GET, OPTIONS, POST, HEAD"),
        ("Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept")]
UTF8_NAME = "\u00c9tiquette-\u6807\u7b7e"


def names(body):
    return [p["name"] for p in json.loads(body)["resultInfo"]["printers"]]


def listed(query=""):
    status, _, body = httpapi.http("POST", "/vqapi/GetPrinters" + query, body=b"")
    assert status == 200, status
    return names(body)


class NativeServerOverCups(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        run = processes.new_run(cls.addClassCleanup)
        cls.cups = native.start_label_cups(run, queues=("VELQ", "Office", "Label2", UTF8_NAME))
        # A queue whose device is another CUPS server's queue (here this
        # scheduler's own VELQ, which is as good as any other server's).
        scheduler.cups_command(cls.cups, ["lpadmin", "-p", "Remote", "-E", "-v",
                                        "ipp://127.0.0.1:%d/printers/VELQ" % cls.cups["port"],
                                        "-P", native.LABEL_PPD])
        cls.env = native.native_env(run, cls.cups)
        cls.gate = native.start_native(run, cls.env)

    def scheduler_order(self):
        text = scheduler.cups_command(self.cups, ["lpstat", "-p"])
        return [line.split(" ")[1] for line in text.splitlines() if line.startswith("printer ")]

    def test_routes_answer_as_on_windows(self):
        status, headers, _ = httpapi.http("GET", "/")
        self.assertEqual(status, 302)
        self.assertEqual(dict(headers).get("Location"), "/hi")
        for method, path in [("GET", "/hi"), ("GET", "/vqapi/GetPrinters"), ("GET", "/vqapi/PrintImage"),
                             ("POST", "/vqapi/getprinters"), ("POST", "/vqapi/GetPrinters/")]:
            status, headers, body = httpapi.http(method, path, body=b"" if method == "POST" else None)
            self.assertEqual((status, body), (404, ERROR_404), method + " " + path)
            self.assertEqual(httpapi.cors_headers(headers), [])
        for path in ["/vqapi/GetPrinters", "/vqapi/PrintImage?printer=VELQ"]:
            status, headers, body = httpapi.http("OPTIONS", path)
            self.assertEqual((status, body), (204, b""), path)
            self.assertEqual(sorted(httpapi.cors_headers(headers)), sorted(CORS))

    def test_get_printers_lists_every_queue_in_the_schedulers_order(self):
        status, headers, body = httpapi.http("POST", "/vqapi/GetPrinters", body=b"")
        self.assertEqual(status, 200)
        self.assertEqual(dict(headers).get("Content-Type"), "application/json")
        self.assertEqual(sorted(httpapi.cors_headers(headers)), sorted(CORS))
        self.assertTrue(body.startswith(b'{\n\t"statusCode":\t"10001",\n\t"resultInfo":\t{\n\t\t"printers":\t[{\n'))
        self.assertEqual(names(body), self.scheduler_order())
        self.assertEqual(sorted(names(body)), sorted(["VELQ", "Office", "Label2", "Remote", UTF8_NAME]))
        # The name goes out as the scheduler's UTF-8 bytes.
        self.assertIn(UTF8_NAME.encode("utf-8"), body)
        self.assertEqual(listed("?onlySupported=0"), ["VELQ"])
        self.assertIn(b"000===\n", processes.console_with(self.gate, b"000===\n"))

    def test_stopped_and_rejecting_queues_work_offline_and_remote_ones_are_network(self):
        scheduler.cups_command(self.cups, ["cupsdisable", "Office"])
        self.addCleanup(scheduler.cups_command, self.cups, ["cupsenable", "Office"])
        scheduler.cups_command(self.cups, ["cupsreject", "Label2"])
        self.addCleanup(scheduler.cups_command, self.cups, ["cupsaccept", "Label2"])

        everything = self.scheduler_order()
        self.assertEqual(listed(), everything)
        self.assertEqual(listed("?onlyOnline"), [n for n in everything if n not in ("Office", "Label2")])
        self.assertEqual(listed("?onlyLocal=false"), [n for n in everything if n != "Remote"])
        self.assertEqual(listed("?onlyLocal&onlyOnline&onlySupported"), ["VELQ"])
        scheduler.cups_command(self.cups, ["cupsdisable", "VELQ"])
        self.addCleanup(scheduler.cups_command, self.cups, ["cupsenable", "VELQ"])
        self.assertEqual(listed("?onlyOnline&onlySupported"), [])


class ConsoleLines(unittest.TestCase):
    def test_every_line_said_before_a_stop_is_written(self):
        run = processes.new_run(self.addCleanup)
        cups = native.start_label_cups(run, queues=("VELQ",))
        gate = native.start_native(run, native.native_env(run, cups))
        for _ in range(20):
            self.assertEqual(httpapi.http("POST", "/vqapi/GetPrinters", body=b"")[0], 200)
        # At once: the last lines are still in their batch.
        gate["proc"].send_signal(signal.SIGTERM)
        self.assertEqual(gate["proc"].wait(30), 0)
        out = processes.written(gate)
        self.assertEqual((out.count(b"000===\n"), out.count(b"\nnumber 1\n")), (20, 20), out[-400:])


class EmptyScheduler(unittest.TestCase):
    def test_no_queues_and_no_scheduler_both_give_the_empty_envelope(self):
        run = processes.new_run(self.addCleanup)
        cups = native.start_label_cups(run, queues=(), default=None)
        env = native.native_env(run, cups)
        gate = native.start_native(run, env)
        empty = b'{\n\t"statusCode":\t"10001",\n\t"resultInfo":\t{\n\t\t"printers":\t[]\n\t}\n}'
        status, _, body = httpapi.http("POST", "/vqapi/GetPrinters", body=b"")
        self.assertEqual((status, body), (200, empty))
        processes.stop_process(cups["proc"])
        status, _, body = httpapi.http("POST", "/vqapi/GetPrinters", body=b"")
        self.assertEqual((status, body), (200, empty))
        self.assertIn(b"number 0\n", processes.console_with(gate, b"number 0\n"))


if __name__ == "__main__":
    unittest.main()


class CommandLine(unittest.TestCase):
    """printgate as a Linux program; none of these starts the server."""

    def test_options(self):
        usage = "usage: printgate [--help] [--version]\n"
        cases = (
            (["--version"], 0, "printgate %s\n" % paths.project_version(), ""),
            (["--help"], 0, usage, ""),
            (["--bogus"], 2, "", "printgate: unknown option --bogus\n" + usage),
            (["--version", "extra"], 0, "printgate %s\n" % paths.project_version(), ""),
            (["extra"], 2, "", "printgate: unknown option extra\n" + usage),
        )
        for args, code, out_start, err in cases:
            with self.subTest(args=args):
                got_code, out, got_err = native.command_line(native.native_exe(), args)
                self.assertEqual(got_code, code)
                self.assertTrue(out.startswith(out_start), out)
                self.assertEqual(got_err, err)
