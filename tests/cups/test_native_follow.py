"""Each label followed to its end by the native printgate over a private CUPS
scheduler whose capture printer the test holds, stops and fails: printed;
stopped, started, printed; failed; canceled while waiting with nothing
ever captured; and another program's job neither seen nor canceled. The
page's event stream carries the same story."""

import json
import os
import threading
import time
import unittest

from pylib import httpapi, native, processes, scheduler
import test_native_print as printing


class FollowOverCups(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.dir = cls.run_["dir"]
        cls.cups = native.start_label_cups(cls.run_, queues=("VELQ",))
        # A failing printer aborts its job rather than stopping the queue.
        scheduler.cups_command(cls.cups, ["lpadmin", "-p", "VELQ", "-o", "printer-error-policy=abort-job"])
        # Room for one large label at a time (1500 x 1500 holds 36 MiB).
        cls.env = dict(native.native_env(cls.run_, cls.cups), PRINTGATE_MEMORY_BUDGET_MIB="64")
        cls.gate = native.start_native(cls.run_, cls.env)
        cls.large = os.path.join(cls.dir, "large.png")
        printing.make_image(cls.large, "1500x1500", "xc:white")
        cls.label = os.path.join(cls.dir, "label.png")
        printing.make_image(cls.label, "160x96", "-seed", "3", "xc:", "+noise", "Random", "-depth", "8")
        with open(cls.label, "rb") as f:
            cls.png = f.read()

    def setUp(self):
        scheduler.hold_printer(self.cups, False)
        scheduler.fail_printer(self.cups, False)
        scheduler.cups_command(self.cups, ["cupsenable", "VELQ"])
        self.stream = httpapi.EventStream()
        self.addCleanup(self.stream.close)
        processes.wait_until(lambda: self.stream.events, 30, what="the stream's first event")

    def call(self, method, path, body=None, headers=None):
        status, headers_, raw = httpapi.http(method, path, body=body, headers=headers)
        self.assertEqual(dict(headers_).get("Access-Control-Allow-Origin"), "*", raw)
        return status, json.loads(raw)

    def print_(self, query=""):
        return self.call("POST", "/vqapi/v2/print?printer=VELQ" + query, body=self.png,
                         headers={"Content-Type": "image/png"})

    def state(self, job_id):
        status, answer = self.call("GET", "/vqapi/v2/jobs/%d?printer=VELQ" % job_id)
        self.assertEqual(status, 200, answer)
        return answer["state"], answer["reasons"]

    def wait_state(self, job_id, state):
        return processes.wait_until(lambda: self.state(job_id)[0] == state, 60, interval=0.2,
                                    what="job %d %s" % (job_id, state))

    def test_a_label_is_printing_while_held_then_printed(self):
        scheduler.hold_printer(self.cups)
        status, answer = self.print_()
        self.assertEqual(status, 200, answer)
        job = answer["job"]
        self.wait_state(job, "printing")
        scheduler.hold_printer(self.cups, False)
        status, answer = self.print_("&until=printed&wait=60")
        self.assertEqual((status, answer["state"]), (200, "printed"), answer)
        self.wait_state(job, "printed")
        processes.wait_until(lambda: self.stream.job_states(job)[-1:] == ["printed"], 30, what="printed event")
        self.assertEqual(self.stream.job_states(job)[0], "queued")
        self.assertIn("printing", self.stream.job_states(job))

    def test_a_stopped_queue_keeps_the_label_waiting_until_started(self):
        scheduler.cups_command(self.cups, ["cupsdisable", "VELQ"])
        status, answer = self.print_("&until=printed&wait=1")
        self.assertEqual((status, answer["state"], answer["reasons"]), (202, "waiting", ["queue-stopped"]), answer)
        job = answer["job"]
        self.assertEqual(self.state(job), ("waiting", ["queue-stopped"]))
        _, listing = self.call("GET", "/vqapi/v2/printers")
        velq, = [p for p in listing["printers"] if p["name"] == "VELQ"]
        self.assertEqual((velq["state"], velq["reasons"]), ("waiting", ["queue-stopped"]))
        scheduler.cups_command(self.cups, ["cupsenable", "VELQ"])
        self.wait_state(job, "printed")
        processes.wait_until(lambda: self.stream.job_states(job)[-1:] == ["printed"], 30, what="printed event")
        self.assertIn("waiting", self.stream.job_states(job))
        with self.stream.lock:
            changes = [data["printer"]["state"] for kind, data, _ in self.stream.events
                       if kind == "printer" and data["printer"]["name"] == "VELQ"]
        self.assertIn("waiting", changes)

    def test_a_label_waiting_for_its_end_holds_none_of_the_memory_budget(self):
        with open(self.large, "rb") as f:
            large = f.read()
        post = lambda query: self.call("POST", "/vqapi/v2/print?printer=VELQ" + query, body=large,
                                       headers={"Content-Type": "image/png"})
        scheduler.cups_command(self.cups, ["cupsdisable", "VELQ"])
        answers = []
        waiting = threading.Thread(target=lambda: answers.append(post("&until=printed&wait=60")))
        waiting.start()
        processes.wait_until(lambda: scheduler.cups_command(self.cups, ["lpstat", "-o"]).strip(), 60,
                             what="the first large label in the spooler")
        status, answer = post("")
        self.assertEqual(status, 200, answer)
        scheduler.cups_command(self.cups, ["cupsenable", "VELQ"])
        waiting.join(120)
        self.assertEqual([(s, a["state"]) for s, a in answers], [(200, "printed")], answers)

    def test_a_failing_printer_fails_the_label(self):
        scheduler.fail_printer(self.cups)
        before = len(scheduler.captured_jobs(self.cups))
        status, answer = self.print_("&until=printed&wait=60")
        self.assertEqual((status, answer["error"], answer["state"]), (500, "print-failed", "failed"), answer)
        self.assertEqual(self.state(answer["job"])[0], "failed")
        self.assertEqual(len(scheduler.captured_jobs(self.cups)), before)

    def test_a_waiting_label_canceled_never_prints(self):
        scheduler.cups_command(self.cups, ["cupsdisable", "VELQ"])
        before = len(scheduler.captured_jobs(self.cups))
        status, answer = self.print_()
        self.assertEqual((status, answer["state"]), (200, "waiting"), answer)
        job = answer["job"]
        status, answer = self.call("POST", "/vqapi/v2/jobs/%d/cancel?printer=VELQ" % job)
        self.assertEqual((status, answer["state"]), (200, "canceled"), answer)
        status, answer = self.call("POST", "/vqapi/v2/jobs/%d/cancel?printer=VELQ" % job)
        self.assertEqual((status, answer["error"], answer["state"]), (409, "already-ended", "canceled"), answer)
        scheduler.cups_command(self.cups, ["cupsenable", "VELQ"])
        # One label printed after it: once that is captured, the canceled
        # one had its chance and never came.
        status, answer = self.print_("&until=printed&wait=60")
        self.assertEqual(status, 200, answer)
        jobs = scheduler.wait_for_jobs(self.cups, before + 1)
        self.assertEqual([j["id"] for j in jobs[before:]], [answer["job"]])
        self.assertEqual(self.state(job)[0], "canceled")
        self.assertIn("canceled", self.stream.job_states(job))

    def test_another_programs_job_is_not_found_and_not_canceled(self):
        scheduler.cups_command(self.cups, ["cupsdisable", "VELQ"])
        out = scheduler.cups_command(self.cups, ["lp", "-d", "VELQ", self.label])
        other = int(out.split("VELQ-")[1].split()[0])
        self.addCleanup(scheduler.cups_command, self.cups, ["cancel", "VELQ-%d" % other], False)
        for method, path in (("GET", "/vqapi/v2/jobs/%d?printer=VELQ" % other),
                             ("POST", "/vqapi/v2/jobs/%d/cancel?printer=VELQ" % other)):
            status, answer = self.call(method, path)
            self.assertEqual((status, answer["error"]), (404, "job-not-found"), path)
        self.assertIn("VELQ-%d " % other, scheduler.cups_command(self.cups, ["lpstat", "-o", "VELQ"]))
        time.sleep(1)  # a few of the watcher's passes
        self.assertEqual(self.stream.job_states(other), [])


if __name__ == "__main__":
    unittest.main()
