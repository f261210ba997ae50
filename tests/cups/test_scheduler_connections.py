"""The native printgate's connections to the CUPS scheduler stay few however
many threads use them: the C++ suite lists and prints from 64 threads at once
against a private scheduler, then against a port nobody answers on."""

import os
import subprocess
import unittest

from pylib import native, paths, processes, scheduler


def run_suite(server, state):
    """Runs the cases for that state of the scheduler ("up" or "down")."""
    env = dict(os.environ, CUPS_SERVER=server, PG_SCHEDULER=state)
    for name in ("LPDEST", "PRINTER"):
        env.pop(name, None)
    exe = os.path.join(paths.NATIVE_BUILD, "tests", "cups", "scheduler_connection_tests")
    cases = "--gtest_filter=Scheduler%s.*" % state.capitalize()
    done = subprocess.run([exe, cases], env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=300)
    return done.returncode, done.stdout + done.stderr


class SchedulerConnections(unittest.TestCase):
    def test_many_threads_against_a_running_scheduler(self):
        run = processes.new_run(self.addCleanup)
        cups = native.start_label_cups(run)
        before = len(scheduler.captured_jobs(cups))
        code, output = run_suite(cups["server"], "up")
        self.assertEqual(code, 0, output)
        self.assertIn("[  PASSED  ] 2 tests", output)
        # The 16 labels really reached the scheduler.
        jobs = scheduler.wait_for_jobs(cups, before + 16)
        self.assertEqual(len(jobs), before + 16)

    def test_many_threads_without_a_scheduler(self):
        code, output = run_suite("127.0.0.1:%d" % processes.free_port(), "down")
        self.assertEqual(code, 0, output)
        self.assertIn("[  PASSED  ] 1 test", output)


if __name__ == "__main__":
    unittest.main()
