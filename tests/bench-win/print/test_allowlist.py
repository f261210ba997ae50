"""printgate.exe under Wine with the site allowlist in the prefix's registry:
a listed page prints and is answered by name, any other page is refused and
prints nothing; the list is read as REG_MULTI_SZ and as REG_SZ."""

import base64
import unittest

from pylib import applogs, httpapi, labels, processes, scheduler, wineprefix

KEY = "HKLM\\Software\\VELQ\\printgate"
LISTED = "http://127.0.0.1:5000"
UNLISTED = "http://127.0.0.1:5001"
ERROR_403 = b"<p>Error Status: <span style='color:red;'>403</span></p>"


class AllowlistUnderWine(unittest.TestCase):
    def start(self, run, env, value_type, data, name):
        wineprefix.wine(env, ["reg", "add", KEY, "/v", "AllowedOrigins", "/t", value_type, "/d", data, "/f"])
        return wineprefix.start_printgate(run, env, name=name)

    def print_label(self, origin):
        body = b"data:image/png;base64," + base64.b64encode(labels.png(40, 20, lambda x, y: (0, 0, 0)))
        return httpapi.http("POST", "/vqapi/PrintImage?printer=Label2", body=body, headers={"Origin": origin})

    def test_the_registry_list_lets_one_page_print_and_refuses_another(self):
        run = processes.new_run(self.addCleanup)
        cups = scheduler.start_cups(run)
        env = wineprefix.new_prefix(run, cups)
        processes.wait_until(lambda: not httpapi.api_answering(), 600, interval=1,
                           what="port %d to be free" % httpapi.API_PORT)
        # Wine's reg takes "\0" between the strings of a REG_MULTI_SZ.
        gate = self.start(run, env, "REG_MULTI_SZ", LISTED + "\\0https://*.labels.example\\0labels.example",
                          "printgate-multi")
        out = processes.output(gate)
        self.assertIn(b'allowed origins: skipped "labels.example" at ' + KEY.encode() + b"\\AllowedOrigins", out)
        self.assertIn(b"allowed origins: 2 from " + KEY.encode() + b"\\AllowedOrigins", out)

        status, headers, body = self.print_label(UNLISTED)
        self.assertEqual((status, body), (403, ERROR_403))
        self.assertEqual(httpapi.cors_headers(headers), [])
        status, headers, _ = httpapi.http("OPTIONS", "/vqapi/GetPrinters", headers={"Origin": UNLISTED})
        self.assertEqual((status, httpapi.cors_headers(headers)), (403, []))
        self.assertIn(('origin refused: POST /vqapi/PrintImage from "%s"' % UNLISTED).encode(), processes.output(gate))

        status, headers, _ = self.print_label(LISTED)
        self.assertEqual(status, 200)
        self.assertIn(("Access-Control-Allow-Origin", LISTED), headers)
        self.assertIn(("Vary", "Origin"), headers)
        job, = scheduler.wait_for_jobs(cups, 1, timeout=90)
        self.assertEqual((job["queue"], job["title"]), ("Label2", "velq label"))
        # The refused print came first and left no job of its own.
        self.assertEqual(processes.output(gate).count(b"start print"), 1)
        # The desk's log holds both pages: the refused one and the one that printed.
        logged = applogs.texts(applogs.printgate_log_path(env))
        refused = 'origin refused: POST /vqapi/PrintImage from "%s", not in the allowed list' % UNLISTED
        printed = "/vqapi/PrintImage from origin " + LISTED
        self.assertIn(refused, logged)
        self.assertIn(printed, logged)
        self.assertLess(logged.index(refused), logged.index(printed))

        # The same list as one REG_SZ string, read at the next start.
        processes.stop_process(gate["proc"])
        processes.wait_until(lambda: not httpapi.api_answering(), 60, what="printgate to end")
        gate = self.start(run, env, "REG_SZ", "https://*.labels.example; " + UNLISTED, "printgate-sz")
        self.assertIn(b"allowed origins: 2 from ", processes.output(gate))
        status, headers, _ = httpapi.http("POST", "/vqapi/GetPrinters", body=b"",
                                          headers={"Origin": "https://east.labels.example"})
        self.assertEqual(status, 200)
        self.assertIn(("Access-Control-Allow-Origin", "https://east.labels.example"), headers)
        status, _, _ = httpapi.http("POST", "/vqapi/GetPrinters", body=b"", headers={"Origin": LISTED})
        self.assertEqual(status, 403)


if __name__ == "__main__":
    unittest.main()
