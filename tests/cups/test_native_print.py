"""PrintImage through the native printgate into a private CUPS scheduler:
what the captured job shows when rendered at 8 dots per millimetre, the
job's title and queue, the failures the print job reports, the temporary
image file, and the program's end on a signal."""

import json
import os
import signal
import stat
import subprocess
import time
import unittest

from pylib import httpapi, native, processes, scheduler

# The Windows build writes these as GBK; the native one in the locale's
# encoding, UTF-8 here (native_env sets C.UTF-8).
DONE = "打印顺利完成了. o(∩_∩)o \n".encode("utf-8")
NO_PRINTER = "没有选择打印机。\n".encode("utf-8")
JOB_NUMBER = "作业编号：".encode("utf-8")
START_DOC_FAILED = "StartDoc 错误，错误代码：".encode("utf-8")


def make_image(path, size, *draw):
    subprocess.run(["convert", "-size", size] + list(draw) + [path], check=True, timeout=60)


def pixels(path):
    """(width, height, rgb bytes) of an image file, through ImageMagick."""
    ppm = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                         stdout=subprocess.PIPE, timeout=60).stdout
    fields = ppm.split(maxsplit=4)
    width, height = int(fields[1]), int(fields[2])
    return width, height, fields[4][-width * height * 3:]


def region(image, x0, y0, w, h):
    width, _, data = image
    return b"".join(data[(y * width + x0) * 3:(y * width + x0 + w) * 3] for y in range(y0, y0 + h))


class PrintingOverCups(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.dir = cls.run_["dir"]
        cls.cups = native.start_label_cups(cls.run_, queues=("VELQ", "Office", "Closed"))
        cls.env = native.native_env(cls.run_, cls.cups)
        cls.gate = native.start_native(cls.run_, cls.env)
        cls.noise = os.path.join(cls.dir, "noise.png")
        make_image(cls.noise, "400x240", "-seed", "7", "xc:", "+noise", "Random", "-depth", "8")

    def output(self, *pieces):
        return processes.console_with(self.gate, *pieces)

    def post(self, query, body):
        status, _, answer = httpapi.http("POST", "/vqapi/PrintImage" + query, body=body)
        self.assertEqual(status, 200)
        self.assertEqual(answer, b'{\n\t"statusCode":\t"10001",\n\t"resultInfo":\t"hahah"\n}')

    def print_and_capture(self, query, body):
        before = len(scheduler.captured_jobs(self.cups))
        self.post(query, body)
        jobs = scheduler.wait_for_jobs(self.cups, before + 1)
        self.assertEqual(len(jobs), before + 1)
        return jobs[-1]

    def test_label_is_drawn_one_to_one_from_the_top_left_of_a_page_of_its_size(self):
        job = self.print_and_capture("?printer=Office", native.data_url(self.noise))
        self.assertEqual((job["title"], job["queue"]), ("velq label", "Office"))
        self.assertIn(b"502  300" + JOB_NUMBER, self.output(b"502  300" + JOB_NUMBER))
        done = "1--位图大小：400 x 240\n".encode("utf-8") + DONE
        self.assertIn(done, self.output(done))

        rendered = os.path.join(self.dir, "office.png")
        native.render(job["path"], rendered)
        page = pixels(rendered)
        # 50.2 x 30.0 mm at 203.2 dpi is 401.6 x 240 dots; the driver's page
        # sizes are whole points, so allow a point (2.8 dots) less.
        self.assertTrue(398 <= page[0] <= 402 and 237 <= page[1] <= 240, page[:2])
        label = pixels(self.noise)
        self.assertEqual(region(page, 0, 0, 400, min(240, page[1])),
                         region(label, 0, 0, 400, min(240, page[1])))
        # Past the image the paper stays white.
        self.assertEqual(set(region(page, 400, 0, page[0] - 400, page[1])), {255})

    def test_no_printer_name_prints_on_velq_and_the_format_comes_from_the_content(self):
        jpeg = os.path.join(self.dir, "label.jpg")
        make_image(jpeg, "160x80", "xc:white", "-fill", "black", "-draw", "rectangle 0,0 79,39")
        job = self.print_and_capture("", native.data_url(jpeg, "image/png"))
        self.assertEqual((job["title"], job["queue"]), ("velq label", "VELQ"))
        self.assertIn(b"201  100", self.output(b"201  100"))
        rendered = os.path.join(self.dir, "velq.png")
        native.render(job["path"], rendered)
        page = pixels(rendered)
        self.assertTrue(157 <= page[0] <= 161 and 77 <= page[1] <= 80, page[:2])
        # JPEG is lossy: the dark quarter is dark, the rest light.
        self.assertLess(max(region(page, 4, 4, 70, 30)), 60)
        self.assertGreater(min(region(page, 90, 45, 60, 30)), 200)

    def test_transparent_parts_print_white(self):
        clear = os.path.join(self.dir, "clear.png")
        make_image(clear, "80x40", "xc:none", "-fill", "black", "-draw", "rectangle 0,0 39,39")
        job = self.print_and_capture("?printer=VELQ", native.data_url(clear))
        rendered = os.path.join(self.dir, "clear-page.png")
        native.render(job["path"], rendered)
        page = pixels(rendered)
        self.assertEqual(set(region(page, 0, 0, 40, 38)), {0})
        self.assertEqual(set(region(page, 41, 0, 38, 38)), {255})

    def test_unknown_queue_and_rejecting_queue_print_nothing(self):
        scheduler.cups_command(self.cups, ["cupsreject", "Closed"])
        before = len(scheduler.captured_jobs(self.cups))
        self.post("?printer=NoSuchQueue", native.data_url(self.noise))
        self.assertIn(b"Could not create printer DC: 1030\n", self.output(b"Could not create printer DC: 1030\n"))
        self.post("?printer=Closed", native.data_url(self.noise))
        # Create-Job refused: client-error-not-accepting-jobs.
        refused = START_DOC_FAILED + b"1286 | work id:-1\n" + JOB_NUMBER + b"-1\n"
        self.assertIn(refused, self.output(refused))
        # A good job after them is the only new one.
        job = self.print_and_capture("?printer=VELQ", native.data_url(self.noise))
        self.assertEqual(job["id"], max(j["id"] for j in scheduler.captured_jobs(self.cups)))
        self.assertEqual(len(scheduler.captured_jobs(self.cups)), before + 1)
        not_completed = scheduler.cups_command(self.cups, ["lpstat", "-o"])
        self.assertEqual(not_completed.strip(), "")

    def test_the_image_is_kept_in_a_private_folder_and_never_written_through_a_link(self):
        folder = os.path.join(self.env["HOME"], ".local", "state", "printgate")
        kept = os.path.join(folder, "tempVQ.JPG")
        body = native.data_url(self.noise)
        self.print_and_capture("?printer=VELQ", body)
        with open(self.noise, "rb") as f:
            self.assertEqual(native.read_bytes(kept), f.read())
        self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(kept).st_mode), 0o600)

        victim = os.path.join(self.dir, "victim")
        with open(victim, "wb") as f:
            f.write(b"keep me")
        os.remove(kept)
        os.symlink(victim, kept)
        self.addCleanup(os.remove, kept)
        self.post("?printer=VELQ", body)
        self.assertEqual(native.read_bytes(victim), b"keep me")
        self.assertTrue(os.path.islink(kept))


class NoDefaultDestination(unittest.TestCase):
    def test_without_a_default_nothing_is_printed(self):
        run = processes.new_run(self.addCleanup)
        cups = native.start_label_cups(run, queues=("VELQ",), default=None)
        env = native.native_env(run, cups)
        gate = native.start_native(run, env)
        noise = os.path.join(run["dir"], "small.png")
        make_image(noise, "16x8", "xc:black")
        status, _, _ = httpapi.http("POST", "/vqapi/PrintImage?printer=VELQ", body=native.data_url(noise))
        self.assertEqual(status, 200)
        self.assertTrue(processes.console(gate, lambda out: out.endswith(b"start print\n" + NO_PRINTER)).endswith(
            b"start print\n" + NO_PRINTER))
        time.sleep(1)
        self.assertEqual(scheduler.captured_jobs(cups), [])
        self.assertEqual(scheduler.cups_command(cups, ["lpstat", "-o"]).strip(), "")


class SchedulerRequestsOfOneLabel(unittest.TestCase):
    """What one label asks the scheduler, request by request (its access log
    lists each), and that the default destination's options kept from one
    label to the next follow every change of them."""

    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.cups = native.start_label_cups(cls.run_, queues=("VELQ", "Office"), log_every_request=True)
        cls.env = native.native_env(cls.run_, cls.cups)
        cls.gate = native.start_native(cls.run_, cls.env)
        cls.label = os.path.join(cls.run_["dir"], "label.png")
        make_image(cls.label, "16x8", "xc:black")

    def requests_of(self, query):
        """The scheduler's requests for one PrintImage, and the job it made."""
        before_log = len(native.requests_logged(self.cups))
        before_jobs = len(scheduler.captured_jobs(self.cups))
        status, _, _ = httpapi.http("POST", "/vqapi/PrintImage" + query, body=native.data_url(self.label))
        self.assertEqual(status, 200)
        # The log line may follow the answer by a moment.
        time.sleep(0.3)
        logged = native.requests_logged(self.cups)[before_log:]
        if "Send-Document" not in logged:
            return logged, None
        job = scheduler.wait_for_jobs(self.cups, before_jobs + 1)[-1]
        # printgate follows the label it sent until it ends, asking for the
        # job (and its queue while it has not ended): after the label's own
        # requests, and never in the way of the next label's.
        sent = logged.index("Send-Document") + 1
        self.assertLessEqual(set(logged[sent:]), {"Get-Job-Attributes", "Get-Printer-Attributes"}, logged)

        def ended():
            status, _, raw = httpapi.http("GET", "/vqapi/v2/jobs/%d?printer=%s" % (job["id"], job["queue"]))
            return status == 200 and json.loads(raw)["state"] in ("printed", "failed", "canceled")
        processes.wait_until(ended, 30, interval=0.1, what="job %d followed to its end" % job["id"])
        time.sleep(0.6)  # the watcher's last pass has passed
        return logged[:sent], job

    def test_each_label_asks_only_what_it_needs(self):
        # Settings changed within the last second are looked up at every
        # label; older ones once, by the first label.
        time.sleep(2)
        self.requests_of("?printer=VELQ")
        cases = [
            # The default queue: its name in CUPS-Get-Default's answer is the
            # queue check too.
            ("?printer=VELQ", ["CUPS-Get-Default", "Create-Job", "Send-Document"]),
            ("", ["CUPS-Get-Default", "Create-Job", "Send-Document"]),
            ("?printer=Office",
             ["CUPS-Get-Default", "Get-Printer-Attributes", "Create-Job", "Send-Document"]),
            # An unknown queue still fails at the device context, with its code.
            ("?printer=NoSuchQueue", ["CUPS-Get-Default", "Get-Printer-Attributes"]),
        ]
        for query, expected in cases:
            with self.subTest(query=query):
                before = len(processes.console(self.gate))
                logged, job = self.requests_of(query)
                self.assertEqual(logged, expected)
                said = processes.console(self.gate)[before:]
                if job is None:
                    self.assertIn(b"Could not create printer DC: 1030\n", said)
                else:
                    self.assertIn(DONE, said)
                    self.assertEqual(job["queue"], query[len("?printer="):] or "VELQ")

    def test_a_change_to_the_default_destination_reaches_the_next_label(self):
        def colour_mode(query="?printer=VELQ"):
            _, job = self.requests_of(query)
            return [o for o in job["options"].split() if o.startswith("print-color-mode=")]

        self.addCleanup(scheduler.cups_command, self.cups, ["lpadmin", "-d", "VELQ"])
        self.addCleanup(scheduler.cups_command, self.cups,
                        ["lpadmin", "-p", "VELQ", "-o", "print-color-mode-default=color"])
        lpoptions = os.path.join(self.env["HOME"], ".cups", "lpoptions")
        self.addCleanup(lambda: os.path.exists(lpoptions) and os.remove(lpoptions))
        time.sleep(2)  # settings older than a second: the next look-up is kept
        self.assertEqual(colour_mode(), ["print-color-mode=color"])
        changes = [
            # The default queue's own settings, seen at once and then kept.
            (["lpadmin", "-p", "VELQ", "-o", "print-color-mode-default=monochrome"],
             "print-color-mode=monochrome"),
            # Another queue becomes the default: its settings, on VELQ's job.
            (["lpadmin", "-p", "Office", "-o", "print-color-mode-default=monochrome"], None),
            (["lpadmin", "-d", "Office"], "print-color-mode=monochrome"),
            (["lpadmin", "-p", "Office", "-o", "print-color-mode-default=color"], "print-color-mode=color"),
        ]
        for command, expected in changes:
            scheduler.cups_command(self.cups, command)
            if expected is None:
                continue
            with self.subTest(command=command):
                self.assertEqual(colour_mode(), [expected])
                time.sleep(2)
                self.assertEqual(colour_mode(), [expected])
                self.assertEqual(colour_mode(), [expected])
        # The user's own lpoptions file is read at every label, as libcups does.
        os.makedirs(os.path.dirname(lpoptions), exist_ok=True)
        with open(lpoptions, "w") as f:
            f.write("Default Office print-color-mode=monochrome\n")
        self.assertEqual(colour_mode(), ["print-color-mode=monochrome"])
        os.remove(lpoptions)
        self.assertEqual(colour_mode(), ["print-color-mode=color"])


class Signals(unittest.TestCase):
    def test_sigint_and_sigterm_end_the_program_with_zero(self):
        run = processes.new_run(self.addCleanup)
        cups = native.start_label_cups(run, queues=("VELQ",))
        env = native.native_env(run, cups)
        for sig in (signal.SIGINT, signal.SIGTERM):
            gate = native.start_native(run, env, name="printgate-%d" % sig)
            self.assertEqual(httpapi.http("POST", "/vqapi/GetPrinters", body=b"")[0], 200)
            gate["proc"].send_signal(sig)
            self.assertEqual(gate["proc"].wait(30), 0)
            self.assertFalse(httpapi.api_answering())


if __name__ == "__main__":
    unittest.main()
