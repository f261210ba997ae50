"""printgate.exe's log file under Wine: every standard-output line, stamped,
as UTF-8 in %LOCALAPPDATA%\\VELQ\\printgate\\printgate.log, with the page's
origin of each print; a log locked by another program or shared by a second
copy of printgate costs no print."""

import base64
import subprocess
import time
import unittest

from pylib import applogs, httpapi, labels, paths, processes, scheduler, wineprefix

ORIGIN = "https://labels.example.com"


def label_body():
    return b"data:image/png;base64," + base64.b64encode(labels.png(40, 20, lambda x, y: (0, 0, 0)))


class PrintgateLogUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = run = processes.new_run(cls.addClassCleanup)
        cls.cups = scheduler.start_cups(run)
        cls.env = wineprefix.new_prefix(run, cls.cups)
        cls.path = applogs.printgate_log_path(cls.env)
        processes.wait_until(lambda: not httpapi.api_answering(), 600, interval=1,
                           what="port %d to be free" % httpapi.API_PORT)
        cls.gate = wineprefix.start_printgate(run, cls.env)
        cls.jobs = 0

    def print_label(self, headers=None):
        status, _, _ = httpapi.http("POST", "/vqapi/PrintImage?printer=Label2", body=label_body(),
                                    headers=headers or {})
        self.assertEqual(status, 200)
        type(self).jobs += 1
        scheduler.wait_for_jobs(self.cups, self.jobs, timeout=90)

    def test_a_print_is_in_the_log_with_its_origin(self):
        self.print_label({"Origin": ORIGIN})
        texts = applogs.texts(self.path)
        self.assertEqual(texts[0], "printgate %s started" % paths.project_version())
        for line in ("/vqapi/PrintImage from origin " + ORIGIN, "printer = Label2", "start print",
                     "Picture file is saved to tempVQ.JPG."):
            self.assertIn(line, texts)
        # The Chinese messages as UTF-8 ("作业编号：" is the job number; the
        # paper size before it has no line end of its own, as on standard
        # output).
        self.assertTrue(any(t.startswith("50  25\u4f5c\u4e1a\u7f16\u53f7\uff1a") for t in texts), texts)
        # Standard output keeps its bytes: GBK, and no origin line.
        out = processes.output(self.gate)
        self.assertIn(b"\xd7\xf7\xd2\xb5\xb1\xe0\xba\xc5\xa3\xba", out)
        self.assertNotIn(b"from origin", out)
        # Every line's process is this printgate; no line is blank.
        self.assertEqual(len({pid for _, pid, _ in applogs.read_log(self.path)}), 1)
        self.assertNotIn("", texts)
        # The label itself never reaches the file, not even a piece of it.
        with open(self.path, "rb") as f:
            self.assertNotIn(label_body()[22:62], f.read())
        # A program, not a page, is named as such.
        self.print_label()
        self.assertIn("/vqapi/PrintImage from no page (no Origin)", applogs.texts(self.path))

    def pid(self):
        """The process id of the printgate that wrote the last line."""
        return applogs.read_log(self.path)[-1][1]

    def test_b_a_locked_log_costs_no_print(self):
        # printgate keeps its log open (shared), so a program can lock the
        # file only while printgate doesn't hold it: here, before it starts.
        processes.stop_process(self.gate["proc"])
        processes.wait_until(lambda: not httpapi.api_answering(), 60, what="printgate to end")
        before = len(applogs.read_log(self.path))
        lock = subprocess.Popen([wineprefix.WINE, paths.win_exe("tray/file_lock.exe"),
                                 applogs.printgate_log_win_path(self.env)], env=self.env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(processes.stop_process, lock)
        self.assertEqual(lock.stdout.readline().strip(), b"locked")
        gate = type(self).gate = wineprefix.start_printgate(self.run_, self.env, name="printgate-locked")
        self.print_label({"Origin": ORIGIN})
        self.print_label({"Origin": ORIGIN})
        notice = ("log file %s cannot be written (error 32); its lines are skipped until it can"
                  % applogs.printgate_log_win_path(self.env)).encode()
        self.assertEqual(processes.output(gate).count(notice), 1, processes.output(gate)[-600:])
        self.assertEqual(len(applogs.read_log(self.path)), before)
        lock.stdin.close()
        lock.wait(timeout=60)
        # The writer tries again after its pause; the gap is named.
        time.sleep(11)
        self.print_label({"Origin": ORIGIN})
        texts = applogs.texts(self.path)[before:]
        self.assertRegex(texts[0], r"^\d+ lines were not written: the log file could not be written$")
        self.assertIn("/vqapi/PrintImage from origin " + ORIGIN, texts)

    def test_c_a_second_copy_shares_the_file(self):
        first = self.pid()
        second = wineprefix.start_printgate(self.run_, self.env, wait=False, name="printgate-second")
        processes.wait_until(lambda: any("serves nothing" in t for t in applogs.texts(self.path)), 60,
                           what="the second copy's line")
        lines = applogs.read_log(self.path)
        pids = {pid for _, pid, text in lines if text == "127.0.0.1:6780 is in use: this copy of printgate serves nothing"}
        self.assertEqual(len(pids), 1)
        self.assertNotIn(first, pids)
        # The first copy goes on serving and logging.
        self.print_label({"Origin": ORIGIN})
        self.assertEqual(self.pid(), first, applogs.read_log(self.path)[-12:])
        processes.stop_process(second["proc"])


if __name__ == "__main__":
    unittest.main()
