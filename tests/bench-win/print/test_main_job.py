"""The main job (scripts/run.py, what `run.sh` and `run.sh --wine` start
after building) as a newcomer meets it: its own set-up, not a copy, prints a
400 x 240 label on the queue "VELQ", and the page that reaches the
scheduler is the label's 50.2 x 30 mm under both builds."""

import base64
import os
import re
import signal
import subprocess
import sys
import unittest

from pylib import httpapi, labels, paths, processes, scheduler


def page_mm(data):
    """The first page's size in millimetres, width first, as the page reads:
    from a PDF's MediaBox (the native driver) or by rendering PostScript
    (Wine's driver)."""
    if data.startswith(b"%PDF"):
        box = [float(v) for v in re.search(rb"/MediaBox\s*\[([^\]]*)\]", data).group(1).split()]
        return round((box[2] - box[0]) * 25.4 / 72, 1), round((box[3] - box[1]) * 25.4 / 72, 1)
    return labels.page_size_mm(data)


class MainJob(unittest.TestCase):
    def start_main_job(self, args, extra_env):
        run = processes.new_run(self.addCleanup)
        folder = os.path.join(run["dir"], "main")
        env = dict(os.environ, PG_RUN_DIR=folder, **extra_env)
        log = open(os.path.join(run["dir"], "run.log"), "wb")
        self.addCleanup(log.close)
        job = subprocess.Popen([sys.executable, os.path.join(paths.SOURCE_DIR, "scripts", "run.py")] + args,
                               env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

        def stop():
            # run.py stops what it started, by PID, on SIGTERM.
            if job.poll() is None:
                job.send_signal(signal.SIGTERM)
            job.wait(120)
        self.addCleanup(stop)
        program = {"proc": job, "out": log.name, "err": log.name}
        httpapi.wait_for_api(program, timeout=240)
        return folder, program

    def test_a_label_comes_out_on_its_own_page_under_both_builds(self):
        label = labels.png(400, 240, lambda x, y: (0, 0, 0) if (x // 40 + y // 40) % 2 else (255, 255, 255))
        for args, extra_env in (([], {"PG_PRIVATE_CUPS": "1"}), (["--wine"], {})):
            with self.subTest(build="wine" if args else "native"):
                folder, program = self.start_main_job(args, extra_env)
                status, _, _ = httpapi.http("POST", "/vqapi/PrintImage?printer=VELQ",
                                            body=b"data:image/png;base64," + base64.b64encode(label))
                self.assertEqual(status, 200)
                jobs = os.path.join(folder, "jobs")
                try:
                    job, = scheduler.wait_for_jobs({"capture": jobs}, 1, timeout=120)
                except TimeoutError as error:
                    self.fail("%s\nthe main job said:\n%s\nprintgate said:\n%s" % (
                        error, processes.read_text(program["out"])[-3000:],
                        processes.read_text(os.path.join(folder, "printgate.out"))[-3000:]
                        + processes.read_text(os.path.join(folder, "printgate.err"))[-3000:]))
                self.assertEqual(job["title"], "velq label")
                width, height = page_mm(job["data"])
                # The native driver's sizes are whole points: allow one.
                self.assertAlmostEqual(width, 50.2, delta=0.4)
                self.assertAlmostEqual(height, 30.0, delta=0.4)
                program["proc"].send_signal(signal.SIGTERM)
                self.assertEqual(program["proc"].wait(120), 0, processes.read_text(program["out"])[-3000:])
                processes.wait_until(lambda: not httpapi.api_answering(), 60, what="the port to be free")


if __name__ == "__main__":
    unittest.main()
