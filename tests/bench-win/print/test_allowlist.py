"""printgate.exe under Wine with the site allowlist in the prefix's registry:
a listed page prints and is answered by name, any other page is refused and
prints nothing; the list is read as REG_MULTI_SZ and as REG_SZ."""

import base64
import unittest

import harness
import labels

KEY = "HKLM\\Software\\VELQ\\printgate"
LISTED = "http://127.0.0.1:5000"
UNLISTED = "http://127.0.0.1:5001"
ERROR_403 = b"<p>Error Status: <span style='color:red;'>403</span></p>"


class AllowlistUnderWine(unittest.TestCase):
    def start(self, run, env, value_type, data, name):
        harness.wine(env, ["reg", "add", KEY, "/v", "AllowedOrigins", "/t", value_type, "/d", data, "/f"])
        return harness.start_printgate(run, env, name=name)

    def print_label(self, origin):
        body = b"data:image/png;base64," + base64.b64encode(labels.png(40, 20, lambda x, y: (0, 0, 0)))
        return harness.http("POST", "/vqapi/PrintImage?printer=Label2", body=body, headers={"Origin": origin})

    def test_the_registry_list_lets_one_page_print_and_refuses_another(self):
        run = harness.new_run(self.addCleanup)
        cups = harness.start_cups(run)
        env = harness.new_prefix(run, cups)
        harness.wait_until(lambda: not harness.api_answering(), 600, interval=1,
                           what="port %d to be free" % harness.API_PORT)
        # Wine's reg takes "\0" between the strings of a REG_MULTI_SZ.
        gate = self.start(run, env, "REG_MULTI_SZ", LISTED + "\\0https://*.labels.example\\0labels.example",
                          "printgate-multi")
        out = harness.output(gate)
        self.assertIn(b'allowed origins: skipped "labels.example" at ' + KEY.encode() + b"\\AllowedOrigins", out)
        self.assertIn(b"allowed origins: 2 from " + KEY.encode() + b"\\AllowedOrigins", out)

        status, headers, body = self.print_label(UNLISTED)
        self.assertEqual((status, body), (403, ERROR_403))
        self.assertEqual(harness.cors_headers(headers), [])
        status, headers, _ = harness.http("OPTIONS", "/vqapi/GetPrinters", headers={"Origin": UNLISTED})
        self.assertEqual((status, harness.cors_headers(headers)), (403, []))
        self.assertIn(('origin refused: POST /vqapi/PrintImage from "%s"' % UNLISTED).encode(), harness.output(gate))

        status, headers, _ = self.print_label(LISTED)
        self.assertEqual(status, 200)
        self.assertIn(("Access-Control-Allow-Origin", LISTED), headers)
        self.assertIn(("Vary", "Origin"), headers)
        job, = harness.wait_for_jobs(cups, 1, timeout=90)
        self.assertEqual((job["queue"], job["title"]), ("Label2", "velq label"))
        # The refused print came first and left no job of its own.
        self.assertEqual(harness.output(gate).count(b"start print"), 1)

        # The same list as one REG_SZ string, read at the next start.
        harness.stop_process(gate["proc"])
        harness.wait_until(lambda: not harness.api_answering(), 60, what="printgate to end")
        gate = self.start(run, env, "REG_SZ", "https://*.labels.example; " + UNLISTED, "printgate-sz")
        self.assertIn(b"allowed origins: 2 from ", harness.output(gate))
        status, headers, _ = harness.http("POST", "/vqapi/GetPrinters", body=b"",
                                          headers={"Origin": "https://east.labels.example"})
        self.assertEqual(status, 200)
        self.assertIn(("Access-Control-Allow-Origin", "https://east.labels.example"), headers)
        status, _, _ = harness.http("POST", "/vqapi/GetPrinters", body=b"", headers={"Origin": LISTED})
        self.assertEqual(status, 403)


if __name__ == "__main__":
    unittest.main()
