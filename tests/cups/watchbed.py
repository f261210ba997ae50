"""The Linux printerwatch in front of a private CUPS scheduler and virtual
label printers, for the tests of this folder.

The printers are umockdev devices: a USB device, its printer-class
interface and the usblp node under it, seen by the daemon's libudev and
opened by it as /dev/usb/lpN through umockdev's preload library. Each node
is a pseudo-terminal whose other end is here: a feeder thread keeps it
filled with the printer's 255-byte answer, so every read of at most 255
bytes gets exactly one block; a silent printer gets no feeder. Add and
remove events reach the running daemon through umockdev's uevents.

Every process is started here and stopped by its own PID.
"""

import os
import select
import shlex
import signal
import socket
import subprocess
import sys
import threading
import time

PRELOAD = "libumockdev-preload.so.0"
# The testbed's own calls (its uevents look the device up through libudev)
# must see the virtual /sys too, so this process runs under the preload
# library: the test re-executes itself under umockdev-wrapper once. The
# programs it starts get the preload only where they ask for it.
if PRELOAD not in os.environ.get("LD_PRELOAD", ""):
    os.execvp("umockdev-wrapper", ["umockdev-wrapper"] + sys.orig_argv)
os.environ.pop("LD_PRELOAD", None)

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

from pylib import paths, processes, scheduler  # noqa: E402

DRIVER = "Zebra ZPL Label Printer"  # make and model of drv:///sample.drv/zebra.ppd
OTHER_PPD = "drv:///sample.drv/generic.ppd"
LABEL_PPD = "drv:///sample.drv/zebra.ppd"
PORT = "capture:/watch"
BLOCK_BYTES = 255


def watch_exe():
    path = os.path.join(paths.NATIVE_BUILD, "watch", "printerwatch")
    if not os.path.exists(path):
        raise FileNotFoundError(path + " is missing: build the native target first")
    return path


def answer(code, serial):
    """The block a printer sends: its code, then bytes that tell printers apart."""
    return bytes([code]) + bytes((serial * 7 + i) % 256 for i in range(1, BLOCK_BYTES))


class Printer:
    def __init__(self, bed, serial, code, vendor, product, interface):
        self.bed, self.serial, self.code = bed, serial, code
        # umockdev never gives a device file name back once used, so each
        # plug-in gets a minor of its own, as the kernel may hand out.
        bed.minors += 1
        minor = bed.minors
        self.block = answer(code, serial) if code is not None else None
        base = "/devices/pci0000:00/usb1/1-%d" % serial
        self.device = base
        self.interface = "%s/1-%d:1.%d" % (base, serial, int(interface))
        self.node = "%s/usbmisc/lp%d" % (self.interface, minor)
        self.devname = "/dev/usb/lp%d" % minor
        bed.testbed.add_from_string("""P: %(node)s
N: usb/lp%(n)d
E: SUBSYSTEM=usbmisc
E: DEVNAME=%(devname)s
E: MAJOR=180
E: MINOR=%(n)d

P: %(itf)s
E: SUBSYSTEM=usb
E: DEVTYPE=usb_interface
E: DRIVER=usblp
A: bInterfaceNumber=%(mi)s
A: bInterfaceClass=07

P: %(dev)s
E: SUBSYSTEM=usb
E: DEVTYPE=usb_device
A: idVendor=%(vid)s
A: idProduct=%(pid)s
""" % {"node": self.node, "devname": self.devname, "itf": self.interface, "mi": interface,
       "dev": base, "vid": vendor, "pid": product, "n": minor})
        self.fd = bed.testbed.get_dev_fd(self.devname)
        self.stop = threading.Event()
        self.feeder = None
        if self.block is not None:
            os.set_blocking(self.fd, False)
            self.feeder = threading.Thread(target=self.feed, daemon=True)
            self.feeder.start()

    def feed(self):
        pending = b""
        while not self.stop.is_set():
            if not pending:
                pending = self.block
            try:
                _, writable, _ = select.select([], [self.fd], [], 0.1)
                if writable:
                    pending = pending[os.write(self.fd, pending):]
            except OSError:
                return

    def unplug(self):
        self.stop.set()
        if self.feeder:
            self.feeder.join()
        # As on a real machine, the device file is gone by the time the
        # remove event arrives.
        os.remove(self.bed.testbed.get_root_dir() + self.devname)
        self.bed.testbed.uevent("/sys" + self.node, "remove")
        for path in (self.node, self.interface, self.device):
            self.bed.testbed.remove_device("/sys" + path)


class Bed:
    """A umockdev testbed for one test."""

    def __init__(self, run):
        self.testbed = UMockdev.Testbed.new()
        self.printers = {}
        self.minors = 0
        run["stops"].append(self.clear)

    def plug(self, serial, code=8, vendor="8888", product="0026", interface="02", event=True):
        printer = Printer(self, serial, code, vendor, product, interface)
        self.printers[serial] = printer
        if event:
            self.testbed.uevent("/sys" + printer.node, "add")
        return printer

    def unplug(self, serial):
        self.printers.pop(serial).unplug()

    def clear(self):
        for serial in list(self.printers):
            self.printers[serial].stop.set()
        self.printers.clear()
        self.testbed.clear()

    def env(self):
        return {"UMOCKDEV_DIR": self.testbed.get_root_dir(), "LD_PRELOAD": PRELOAD}


def write_settings(path, name="VELQ", driver=DRIVER, port=PORT, data_dir=None, extra=""):
    with open(path, "w") as f:
        f.write("# printerwatch settings of a test\nPrinterName = %s\nDriverName = %s\nPrinterPort = %s\n"
                % (name, driver, port))
        if data_dir:
            f.write("Data Directory = %s\n" % data_dir)
        f.write(extra)


class Notices:
    """The NOTIFY_SOCKET the daemon's sd_notify writes to."""

    def __init__(self, run):
        self.path = os.path.join(run["dir"], "notify-%d.sock" % len(run["stops"]))
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.setblocking(False)
        self.seen = []
        run["stops"].append(self.sock.close)

    def poll(self):
        while True:
            try:
                self.seen.append(self.sock.recv(4096).decode())
            except BlockingIOError:
                return self.seen

    def has(self, word):
        return any(word in message for message in self.poll())


def start_watch(run, cups, bed, settings, args=(), wait_ready=True, env_extra=None):
    """Starts printerwatch; returns a dict with proc, err (its trace file) and
    notices, once it has told systemd it is ready (after its first pass)."""
    notices = Notices(run)
    env = dict(os.environ)
    for name in ("LPDEST", "PRINTER", "CUPS_USER"):
        env.pop(name, None)
    env.update({"CUPS_SERVER": cups["server"], "NOTIFY_SOCKET": notices.path, "LANG": "C.UTF-8"})
    env.update(bed.env())
    if env_extra:
        env.update(env_extra)
    err = os.path.join(run["dir"], "printerwatch-%d.err" % len(run["stops"]))
    with open(err, "wb") as stderr:
        proc = subprocess.Popen([watch_exe(), "--config", settings, "--trace"] + list(args), env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
    run["stops"].append(lambda: processes.stop_process(proc))
    watch = {"proc": proc, "err": err, "notices": notices}
    if wait_ready:
        processes.wait_until(lambda: notices.has("READY=1") or proc.poll() is not None, 60, what="READY=1")
        if proc.poll() is not None:
            raise RuntimeError("printerwatch exited: " + processes.read_text(err))
    return watch


def passes(watch):
    """How many passes have started so far."""
    return processes.read_text(watch["err"]).count("*** PrinterName=")


def stop(watch):
    """SIGTERM; returns (exit code, seconds it took)."""
    began = time.monotonic()
    watch["proc"].send_signal(signal.SIGTERM)
    code = watch["proc"].wait(30)
    return code, time.monotonic() - began


def queues(cups):
    """The scheduler's queues: name -> dict(driver, position, stopped, accepting)."""
    listing = {}
    text = scheduler.cups_command(cups, ["lpstat", "-l", "-p"], check=False)
    current = None
    for line in text.splitlines():
        if line.startswith("printer "):
            current = line.split()[1]
            listing[current] = {"stopped": " disabled " in line or "disabled since" in line,
                                "position": None, "driver": None}
    for name in listing:
        options = scheduler.cups_command(cups, ["lpoptions", "-p", name], check=False)
        for word in shlex.split(options):
            if word.startswith("printerwatch-position="):
                listing[name]["position"] = int(word.split("=", 1)[1])
            if word.startswith("printer-make-and-model="):
                listing[name]["driver"] = word.split("=", 1)[1].strip("'")
        accepting = scheduler.cups_command(cups, ["lpstat", "-a", name], check=False)
        listing[name]["accepting"] = "not accepting" not in accepting
    return listing


def managed(cups):
    """Managed queues only: name -> (position, online)."""
    return {name: (q["position"], not q["stopped"]) for name, q in queues(cups).items()
            if q["driver"] == DRIVER}


def wait_managed(cups, expected, timeout=60):
    """Waits until the managed queues are exactly `expected`."""
    last = {}

    def settled():
        last["seen"] = managed(cups)
        return last["seen"] == expected

    try:
        processes.wait_until(settled, timeout, interval=0.3, what="queues %r" % (expected,))
    except TimeoutError:
        raise AssertionError("managed queues %r, wanted %r" % (last.get("seen"), expected))


def restart_cups(run, cups, down_seconds=0.0):
    """Stops the private scheduler by its PID and starts it again on the same
    folder and port; `down_seconds` keeps it away in between."""
    processes.stop_process(cups["proc"])
    time.sleep(down_seconds)
    root = cups["root"]
    with open(os.path.join(root, "cupsd.out"), "a") as log:
        cups["proc"] = subprocess.Popen(
            ["/usr/sbin/cupsd", "-f", "-c", os.path.join(root, "cupsd.conf"),
             "-s", os.path.join(root, "cups-files.conf")],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    proc = cups["proc"]
    run["stops"].append(lambda: processes.stop_process(proc))

    def answering():
        with socket.socket() as s:
            s.settimeout(0.5)
            return s.connect_ex(("127.0.0.1", cups["port"])) == 0

    processes.wait_until(answering, 20, what="cupsd again")


def submit_raw(cups, queue, text):
    """Queues one raw job (no filters) and returns its id."""
    out = subprocess.run(["lp", "-d", queue, "-o", "raw", "-t", "watch job"], input=text.encode(),
                         env=scheduler.cups_env(cups), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         timeout=60)
    if out.returncode != 0:
        raise RuntimeError("lp failed: " + out.stdout.decode(errors="replace"))
    return out.stdout.decode()
