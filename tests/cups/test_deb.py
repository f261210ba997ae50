"""The Debian package of what ships on Linux, on this machine: lintian finds
no error; installed, printgate starts as its systemd user unit starts it and
answers, and printerwatch starts as its unit starts it, with the settings
the package ships as a conffile, and makes its first pass; removed, nothing
of either is left.

Installing a package changes the whole machine: the test takes turns with
the setup script and other checkouts on their lock, leaves alone a printgate
package it did not install, and purges its own whatever happens."""

import fcntl
import os
import shlex
import subprocess
import unittest

from pylib import httpapi, native, paths, processes, scheduler

UNIT = "/usr/lib/systemd/user/printgate.service"
WATCH_UNIT = "/usr/lib/systemd/system/printerwatch.service"
WATCH_RULE = "/usr/lib/udev/rules.d/60-printerwatch.rules"
WATCH_SETTINGS = "/etc/printerwatch.conf"


def dpkg(*args, check=True):
    return subprocess.run(["dpkg"] + list(args), check=check, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)


def installed():
    result = dpkg("-s", "printgate", check=False)
    return result.returncode == 0 and "Status: install ok installed" in result.stdout


def unit_command(path):
    """ExecStart of a unit file, split as systemd splits it."""
    with open(path) as f:
        lines = [line.strip() for line in f]
    command, = [line.split("=", 1)[1] for line in lines if line.startswith("ExecStart=")]
    return shlex.split(command)


class DebianPackage(unittest.TestCase):
    def test_lintian_install_start_as_the_unit_would_and_remove(self):
        run = processes.new_run(self.addCleanup)
        deb = subprocess.run(["bash", os.path.join(paths.SOURCE_DIR, "installer", "deb", "build_deb.sh"),
                              run["dir"], paths.project_version(), paths.NATIVE_BUILD],
                             check=True, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                             timeout=300).stdout.strip()
        # lintian refuses nothing as root but says so on stderr.
        lint = subprocess.run(["lintian", "--no-tag-display-limit", deb], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=600)
        print("lintian:", lint.stdout.strip() or "(no tags)")
        self.assertEqual([line for line in lint.stdout.splitlines() if line.startswith("E:")], [])
        self.assertEqual(lint.returncode, 0, lint.stdout)

        shipped = [line.split(" -> ")[0].split(None, 5)[5][1:]
                   for line in dpkg("-c", deb).stdout.splitlines()]
        shipped = [path.rstrip("/") for path in shipped if path not in ("/", "")]
        ours = [path for path in shipped if "printgate" in path or "printerwatch" in path]
        for path in ("/usr/bin/printgate", UNIT, "/usr/sbin/printerwatch", WATCH_UNIT, WATCH_RULE, WATCH_SETTINGS,
                     "/var/lib/printerwatch"):
            self.assertIn(path, ours)

        lock = open("/var/lock/printgate-setup.lock", "w")
        self.addCleanup(lock.close)
        fcntl.flock(lock, fcntl.LOCK_EX)
        if installed():
            self.skipTest("a printgate package is installed on this machine already")
        self.assertEqual([path for path in ours if os.path.lexists(path)], [])
        # Everything the package brings that isn't here yet, folders too.
        new = [path for path in shipped if not os.path.lexists(path)]

        self.addCleanup(lambda: installed() and dpkg("--purge", "printgate", check=False))
        dpkg("-i", deb)
        self.assertTrue(installed())
        for path in ours:
            self.assertTrue(os.path.lexists(path), path)
        self.assertEqual(os.readlink("/usr/lib/systemd/user/default.target.wants/printgate.service"),
                         "../printgate.service")
        # The administrator's settings survive upgrades and go only with a purge.
        conffiles = subprocess.run(["dpkg-query", "-W", "-f=${Conffiles}", "printgate"], check=True,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True).stdout
        self.assertEqual([line.split()[0] for line in conffiles.splitlines() if line.strip()], [WATCH_SETTINGS])
        with open(WATCH_RULE) as f:
            self.assertIn('ENV{SYSTEMD_WANTS}+="printerwatch.service"', f.read())

        cups = scheduler.start_cups(run, queues=("VELQ",))
        command = unit_command(UNIT)
        self.assertEqual(command, ["/usr/bin/printgate"])
        gate = native.start_native(run, native.native_env(run, cups), name="printgate-deb", command=command)
        status, _, body = httpapi.http("POST", "/vqapi/GetPrinters")
        self.assertEqual((status, b'"VELQ"' in body), (200, True), body)
        processes.stop_process(gate["proc"])

        # printerwatch as its unit starts it (with its traces, to see the
        # pass), over the private scheduler: it reads the shipped settings.
        command = unit_command(WATCH_UNIT)
        self.assertEqual(command, ["/usr/sbin/printerwatch", "--config", WATCH_SETTINGS])
        err = os.path.join(run["dir"], "printerwatch-deb.err")
        with open(err, "wb") as stderr:
            watch = subprocess.Popen(command + ["--trace"], env=native.native_env(run, cups),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
        self.addCleanup(processes.stop_process, watch)
        processes.wait_until(lambda: "*** PrinterName=" in processes.read_text(err) or watch.poll() is not None,
                             60, what="printerwatch's first pass")
        self.assertIn("*** PrinterName=VELQ, DriverName=Zebra ZPL Label Printer, PrinterPort=usb://Zebra/LP2844",
                      processes.read_text(err))
        self.assertEqual(processes.stop_process(watch), 0, processes.read_text(err))

        # The command the package runs on install, upgrade and removal, as an
        # administrator runs it after editing the list (here on a copy of the
        # machine's folders).
        root, listed = os.path.join(run["dir"], "root"), os.path.join(run["dir"], "allowed-origins")
        with open(listed, "w") as f:
            f.write("https://labels.example.com\nhttps://*.shop.example.com\n")
        policies = ["printgate-browser-policies", "--root", root]
        chromium = root + "/etc/chromium/policies/managed/printgate.json"
        firefox = root + "/etc/firefox/policies/policies.json"
        done = subprocess.run(policies + ["--list", listed], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=60, env=dict(os.environ, PATH="/usr/sbin"))
        self.assertEqual(done.returncode, 0, done.stdout)
        with open(chromium) as f:
            self.assertIn("https://[*.]shop.example.com", f.read())
        with open(firefox) as f:
            self.assertIn("*.shop.example.com", f.read())
        subprocess.run(policies + ["--remove"], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       timeout=60, env=dict(os.environ, PATH="/usr/sbin"))
        self.assertEqual([p for p in (chromium, firefox) if os.path.exists(p)], [])
        for script, needle in (("postinst", "printgate-browser-policies"), ("prerm", "--remove"),
                               ("postrm", "printgate.json")):
            with open("/var/lib/dpkg/info/printgate." + script) as f:
                self.assertIn(needle, f.read(), script)

        dpkg("--purge", "printgate")
        self.assertFalse(installed())
        self.assertEqual([path for path in new if os.path.lexists(path)], [])
        self.assertEqual([name for name in os.listdir("/var/lib/dpkg/info") if name.startswith("printgate.")], [])


if __name__ == "__main__":
    unittest.main()
