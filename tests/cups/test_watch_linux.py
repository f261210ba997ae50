"""The Linux printerwatch for real: the daemon under umockdev's preload
library with virtual label printers, against a private CUPS scheduler.
Queues are checked in the scheduler itself, jobs in its capture folder."""

import os
import time
import unittest

import watchbed  # first: re-executes this test under umockdev-wrapper
from pylib import native, paths, processes, scheduler

# The same typical sequences as the Windows service's: each step changes the
# attached printers, then the managed queues must be exactly these
# (CUPS name -> (Position, online)).
TYPICAL = (
    ("first printer attached, no queue", [("plug", 1)], {"VELQ": (1, True)}),
    ("second printer attached", [("plug", 2)], {"VELQ": (1, True), "VELQ_1": (2, True)}),
    ("one of two printers removed", [("unplug", 2)], {"VELQ": (1, True)}),
    ("last printer removed", [("unplug", 1)], {"VELQ": (1, False)}),
    ("printer attached again", [("plug", 1)], {"VELQ": (1, True)}),
)


class WatchCase(unittest.TestCase):
    def setUp(self):
        self.run_ = run = processes.new_run(self.addCleanup)
        self.cups = scheduler.start_cups(run, queues=(), default=None)
        self.bed = watchbed.Bed(run)
        self.data = os.path.join(run["dir"], "data")
        os.makedirs(self.data)
        self.settings = os.path.join(run["dir"], "printerwatch.conf")
        watchbed.write_settings(self.settings, data_dir=self.data)

    def start(self, **kwargs):
        self.watch = watchbed.start_watch(self.run_, self.cups, self.bed, self.settings, **kwargs)
        return self.watch

    def apply(self, steps):
        for action, serial, *rest in steps:
            if action == "plug":
                self.bed.plug(serial, *rest)
            else:
                self.bed.unplug(serial)

    def config_file(self, queue):
        with open(os.path.join(self.data, queue + ".bin"), "rb") as f:
            return f.read()

    def add_queue(self, name, ppd=watchbed.LABEL_PPD, position=None, enabled=True):
        args = ["lpadmin", "-p", name, "-v", "capture:/" + name, "-m", ppd]
        if enabled:
            args.insert(3, "-E")
        scheduler.cups_command(self.cups, args)
        if position is not None:
            # lpadmin passes "-default" options on as they are, and only
            # to an existing queue.
            scheduler.cups_command(self.cups, ["lpadmin", "-p", name, "-o",
                                             "printerwatch-position-default=%d" % position])


class TypicalSequences(WatchCase):
    def test_typical_sequences(self):
        self.start()
        self.assertEqual(watchbed.managed(self.cups), {})
        for situation, steps, expected in TYPICAL:
            with self.subTest(situation):
                self.apply(steps)
                watchbed.wait_managed(self.cups, expected)
        # Device 0's block under the first queue's name, 63 bytes of it.
        self.assertEqual(self.config_file("VELQ"), watchbed.answer(8, 1)[:63])
        self.assertTrue(self.watch["notices"].has("READY=1"))
        code, seconds = watchbed.stop(self.watch)
        self.assertEqual(code, 0)
        self.assertLess(seconds, 5)
        self.assertTrue(self.watch["notices"].has("STOPPING=1"))

    def test_three_at_once(self):
        self.start()
        for serial in (1, 2, 3):
            self.bed.plug(serial)
        watchbed.wait_managed(self.cups, {"VELQ": (1, True), "VELQ_1": (2, True), "VELQ_2": (3, True)})
        # Queue k keeps device k's block, under the scheme's names.
        for queue, serial in (("VELQ", 1), ("VELQ #1", 2), ("VELQ #2", 3)):
            self.assertEqual(self.config_file(queue), watchbed.answer(8, serial)[:63], queue)

    def test_answers_and_interfaces_that_add_nothing(self):
        self.start()
        cases = (
            ("block starting with 12", dict(code=12)),
            ("block starting with 5", dict(code=5)),
            ("interface 00 of the family", dict(interface="00")),
            ("another product", dict(product="0027")),
        )
        for serial, (what, plug) in enumerate(cases, start=1):
            with self.subTest(what):
                before = watchbed.passes(self.watch)
                self.bed.plug(serial, **plug)
                processes.wait_until(lambda: watchbed.passes(self.watch) > before, 30, what="a pass")
                time.sleep(1)
                self.assertEqual(watchbed.managed(self.cups), {})
                self.bed.unplug(serial)

    def test_answer_12_keeps_the_paired_queue_as_it_is(self):
        # Queue 0 meets device 0: answering 12 it stays offline, answering 8
        # it comes online; one of the two answers 8 either way, so E = 1.
        for serial, first, second, online in ((1, 12, 8, False), (3, 8, 5, True)):
            with self.subTest(first=first):
                self.add_queue("VELQ", position=1)
                scheduler.cups_command(self.cups, ["cupsdisable", "VELQ"])
                self.bed.plug(serial, code=first, event=False)
                self.bed.plug(serial + 1, code=second, event=False)
                watch = self.start()
                watchbed.wait_managed(self.cups, {"VELQ": (1, online)})
                watchbed.stop(watch)
                self.bed.unplug(serial)
                self.bed.unplug(serial + 1)
                scheduler.cups_command(self.cups, ["lpadmin", "-x", "VELQ"])


class SilentPrinters(WatchCase):
    def test_silent_printer_is_bounded_by_the_time_out(self):
        self.bed.plug(1, code=None, event=False)
        self.bed.plug(2, code=8, event=False)
        began = time.monotonic()
        self.start()
        # Three reads of the silent printer per pass, each given up after 3 s.
        self.assertLess(time.monotonic() - began, 9 + 15)
        self.assertIn("timed out after 3000 ms", processes.read_text(self.watch["err"]))
        # The silent one is device 0, the answering one device 1: E = 1.
        watchbed.wait_managed(self.cups, {"VELQ": (1, True)})

    def test_stop_during_a_read_within_5_s(self):
        self.start()
        silent = self.bed.plug(1, code=None)
        processes.wait_until(lambda: silent.devname in processes.read_text(self.watch["err"]), 30, what="the read")
        code, seconds = watchbed.stop(self.watch)
        self.assertEqual(code, 0)
        self.assertLess(seconds, 5)

    def test_events_during_a_pass_fold_into_one_more(self):
        self.bed.plug(1, code=None, event=False)
        self.start()
        self.assertEqual(watchbed.passes(self.watch), 1)
        self.bed.plug(2)  # starts a pass of at least 9 s (the silent printer)
        processes.wait_until(lambda: watchbed.passes(self.watch) == 2, 30, what="the second pass")
        for serial in (3, 4, 5):
            self.bed.plug(serial)
        watchbed.wait_managed(self.cups, {"VELQ": (1, True), "VELQ_1": (2, True), "VELQ_2": (3, True),
                                          "VELQ_3": (4, True)}, timeout=90)
        time.sleep(1)
        self.assertEqual(watchbed.passes(self.watch), 3)

    def test_node_vanishing_mid_read(self):
        self.start()
        silent = self.bed.plug(1, code=None)
        processes.wait_until(lambda: silent.devname in processes.read_text(self.watch["err"]), 30, what="the read")
        self.bed.unplug(1)
        self.bed.plug(2)
        watchbed.wait_managed(self.cups, {"VELQ": (1, True)}, timeout=60)
        self.assertIsNone(self.watch["proc"].poll())


class QueuesAndJobs(WatchCase):
    def test_rename_loses_no_pending_job(self):
        # A managed queue of another name, stopped, holding two jobs.
        self.add_queue("Old", position=1, enabled=False)
        scheduler.cups_command(self.cups, ["cupsaccept", "Old"])
        watchbed.submit_raw(self.cups, "Old", "first label\n")
        watchbed.submit_raw(self.cups, "Old", "second label\n")
        self.bed.plug(1, event=False)
        self.start()
        watchbed.wait_managed(self.cups, {"VELQ": (1, True)})
        jobs = scheduler.wait_for_jobs(self.cups, 2)
        self.assertEqual([job["queue"] for job in jobs], ["VELQ", "VELQ"])
        self.assertEqual(sorted(job["data"] for job in jobs), [b"first label\n", b"second label\n"])
        self.assertNotIn("Old", watchbed.queues(self.cups))

    def test_offline_queue_keeps_accepting_jobs(self):
        self.bed.plug(1, event=False)
        self.start()
        watchbed.wait_managed(self.cups, {"VELQ": (1, True)})
        self.bed.unplug(1)
        watchbed.wait_managed(self.cups, {"VELQ": (1, False)})
        self.assertTrue(watchbed.queues(self.cups)["VELQ"]["accepting"])
        watchbed.submit_raw(self.cups, "VELQ", "printed later\n")
        time.sleep(1)
        self.assertEqual(scheduler.captured_jobs(self.cups), [])
        self.bed.plug(1)
        jobs = scheduler.wait_for_jobs(self.cups, 1)
        self.assertEqual(jobs[0]["data"], b"printed later\n")

    def test_queue_of_another_driver_holding_the_wanted_name(self):
        self.add_queue("VELQ", ppd=watchbed.OTHER_PPD)
        self.bed.plug(1, event=False)
        self.start()
        # The add's temporary name stays: the rename is refused, nothing else.
        watchbed.wait_managed(self.cups, {"VELQ_0": (1, True)})
        other = watchbed.queues(self.cups)["VELQ"]
        self.assertEqual(other["driver"], "Generic PostScript Printer")
        self.assertIsNone(other["position"])

    def test_position_survives_a_scheduler_restart_and_a_pass_survives_cups_away(self):
        self.bed.plug(1, event=False)
        self.bed.plug(2, event=False)
        self.start()
        expected = {"VELQ": (1, True), "VELQ_1": (2, True)}
        watchbed.wait_managed(self.cups, expected)
        watchbed.restart_cups(self.run_, self.cups)
        self.assertEqual(watchbed.managed(self.cups), expected)
        # The scheduler goes away; a pass meanwhile fails, the daemon stays.
        processes.stop_process(self.cups["proc"])
        before = watchbed.passes(self.watch)
        self.bed.unplug(2)
        processes.wait_until(lambda: watchbed.passes(self.watch) > before, 30, what="a pass without CUPS")
        time.sleep(1)
        self.assertIsNone(self.watch["proc"].poll())
        watchbed.restart_cups(self.run_, self.cups)
        self.bed.plug(3)
        watchbed.wait_managed(self.cups, expected)


class Settings(WatchCase):
    def test_settings_file_reloaded_missing_and_too_long(self):
        self.bed.plug(1, event=False)
        self.start()
        watchbed.wait_managed(self.cups, {"VELQ": (1, True)})
        # Read again at every pass: a new base name renames the queue.
        watchbed.write_settings(self.settings, name="LBL", data_dir=self.data)
        self.bed.plug(2)
        watchbed.wait_managed(self.cups, {"LBL": (1, True), "LBL_1": (2, True)})
        # Missing: the previous settings stay, so the queues are still managed.
        os.remove(self.settings)
        self.bed.unplug(2)
        watchbed.wait_managed(self.cups, {"LBL": (1, True)})
        # A value too long for its 255-byte buffer is empty: no driver, so no
        # queue is managed and nothing changes when the printer goes.
        watchbed.write_settings(self.settings, name="LBL", driver="D" * 300, data_dir=self.data)
        before = watchbed.passes(self.watch)
        self.bed.unplug(1)
        processes.wait_until(lambda: watchbed.passes(self.watch) > before, 30, what="a pass")
        time.sleep(2)
        self.assertEqual(watchbed.managed(self.cups), {"LBL": (1, True)})
        self.assertIn("DriverName does not fit 255 bytes", processes.read_text(self.watch["err"]))


class Start(WatchCase):
    def test_cups_unreachable_at_start(self):
        processes.stop_process(self.cups["proc"])
        watch = self.start(wait_ready=False)
        code = watch["proc"].wait(30)
        self.assertEqual(code, 1)
        lines = processes.read_text(watch["err"]).strip().splitlines()
        self.assertEqual(len(lines), 1)
        self.assertIn("the CUPS scheduler at 127.0.0.1:%d does not answer" % self.cups["port"], lines[0])

    def test_options(self):
        exe = watchbed.watch_exe()
        usage = "usage: printerwatch [--config FILE] [--trace] [--help] [--version]\n"
        cases = (
            (["--version"], 0, "printerwatch %s\n" % paths.project_version(), ""),
            (["--help"], 0, usage, ""),
            (["--bogus"], 2, "", "printerwatch: unknown option --bogus\n" + usage),
            (["--config"], 2, "", "printerwatch: unknown option --config\n" + usage),
        )
        for args, code, out_start, err in cases:
            with self.subTest(args=args):
                got_code, out, got_err = native.command_line(exe, args)
                self.assertEqual(got_code, code)
                self.assertTrue(out.startswith(out_start), out)
                self.assertEqual(got_err, err)

    def test_shipped_settings_file_is_read(self):
        # The shipped file as it is, but for its data directory: the
        # machine's /var/lib/printerwatch belongs to the Debian package (its
        # suite needs it absent) and this run keeps its files in its own.
        with open(os.path.join(paths.SOURCE_DIR, "watch", "linux", "printerwatch.conf")) as f:
            shipped = f.read()
        machine_line = "Data Directory = /var/lib/printerwatch\n"
        self.assertEqual(shipped.count(machine_line), 1)
        with open(self.settings, "w") as f:
            f.write(shipped.replace(machine_line, "Data Directory = %s\n" % self.data))
        self.start()
        processes.wait_until(lambda: os.path.exists(os.path.join(self.data, "printerwatch.log")), 30,
                             what="printerwatch.log in the private data directory")
        self.assertIn("*** PrinterName=VELQ, DriverName=Zebra ZPL Label Printer, PrinterPort=usb://Zebra/LP2844",
                      processes.read_text(self.watch["err"]))


if __name__ == "__main__":
    unittest.main()
