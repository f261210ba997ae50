"""A Wine call that fails says why in the test's failure: Wine's own error
line for it (not hidden, not mixed into the program's output), what the
exit code means, and what the prefix's wineserver did around the call."""

import os
import subprocess
import unittest

from pylib import processes, winediag, wineprefix


class FailingWineCalls(unittest.TestCase):
    def setUp(self):
        run = processes.new_run(self.addCleanup)
        self.env = wineprefix.new_prefix(run, None)

    def failure(self, args):
        with self.assertRaises(RuntimeError) as raised:
            wineprefix.wine(self.env, args)
        return str(raised.exception)

    def test_every_process_starts_through_the_trees_own_preloader(self):
        # Started bare, a process exits 1 now and then at its start: the
        # host's heap, placed at random, held the shared user data's address
        # ("failed to map the shared user data: c0000018"). The processes
        # Wine starts itself (services.exe, the services) must run the
        # tree's copy too: Wine takes its folder from the running binary, so
        # the system's preloader would run them on the system's Wine.
        preloader = os.path.join(os.path.realpath(os.path.dirname(wineprefix.WINE)), "wine64-preloader")
        wineprefix.wine(self.env, ["cmd", "/c", "exit"])
        program = subprocess.Popen([wineprefix.WINE, "cmd"], env=self.env, stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            def running():
                found = {}
                for pid, name in winediag.prefix_processes(self.env):
                    try:
                        found[name.lower()] = os.readlink("/proc/%d/exe" % pid)
                    except OSError:
                        pass
                return found
            processes.wait_until(lambda: {"cmd.exe", "services.exe"} <= set(running()), 30,
                                 interval=0.1, what="cmd.exe and services.exe to run")
            self.assertEqual(set(running().values()), {preloader})
        finally:
            program.stdin.close()
            program.wait(timeout=60)

    def test_each_failure_carries_wines_error_the_codes_meaning_and_the_server(self):
        # The first call starts the wineserver and its system processes;
        # the second finds them running and stays a call of its own.
        cases = (
            (["C:\\none.exe"], "exited 53 (0x35 may be the low byte of STATUS_DLL_NOT_FOUND",
             'failed to open "C:\\\\none.exe"', "the call started a wineserver"),
            (["sc", "start", "no such service"], "exited 1 (1 is also what Wine gives",
             "failed to open service 1060", "after it: the same, wineserver"),
        )
        for args, code, wine_error, server in cases:
            with self.subTest(args=args):
                message = self.failure(args)
                self.assertIn(code, message)
                self.assertIn(wine_error, message)
                self.assertIn(server, message)
        # Wine's lines never reach what a program printed.
        code, output = wineprefix.wine(self.env, ["sc", "start", "no such service"], check=False)
        self.assertEqual((code, output), (1, ""))


if __name__ == "__main__":
    unittest.main()
