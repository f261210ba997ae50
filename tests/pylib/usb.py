"""Virtual USB label printers for printerwatch under Wine.

The bench's virtual USB printer bus (tests/bench-win/usbbus/) is a Wine
kernel driver: each plugged printer is a real device with a USB printer
interface that SetupAPI lists and that answers reads, so printerwatch's own
discovery and reads run against it. The children live in the prefix's
driver host, which lives as long as its wineserver: install_usb_bus makes
that server persistent (wineprefix.keep_wine_up), and the run's cleanup
ends it with `wineserver -k`."""

import subprocess
import time

from pylib import paths, processes, wineprefix

FAMILY = (0x8888, 0x0026, 0x02)  # vendor, product, interface of the label printers
USB_PRINT_GUID = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"
USB_WAIT = 60  # seconds any one bus command may take, plug and unplug included


def usbbus_tool():
    return paths.win_exe("tests/bench-win/usbbus/usbbus_tool.exe")


def _bus_command(env, args, timeout=USB_WAIT):
    """Runs one usbbus_tool command; raises with its one-line answer on failure."""
    try:
        code, text = wineprefix.wine(env, [usbbus_tool()] + [str(a) for a in args], timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        raise RuntimeError("usbbus_tool %s: no answer within %ss" % (args[0], timeout)) from None
    text = text.strip()
    if code != 0:
        raise RuntimeError("usbbus_tool %s: %s" % (args[0], text.splitlines()[-1] if text else "exit %d" % code))
    return text


def install_usb_bus(run, env, inf=None):
    """Installs the virtual USB printer bus into the run's prefix as a
    root-enumerated device (the route wineboot takes for Wine's own buses) and
    returns once its control device answers. Makes the wineserver persistent
    (wineprefix.keep_wine_up). Raises RuntimeError with one line when it can't."""
    wineprefix.keep_wine_up(run, env)
    started = time.monotonic()
    _bus_command(env, ["install", inf or paths.win_exe("tests/bench-win/usbbus/benchusb.inf")], timeout=120)
    return time.monotonic() - started


def usb_block(first, length=63, seed=0):
    """A printer's answer: `length` bytes, byte 0 = `first` (8 valid, 12 keep
    state, anything else a plain block), the rest a pattern of `seed`, so that
    two printers' configuration files differ."""
    return bytes([first & 0xff] + [(seed * 37 + i * 11 + 1) & 0xff for i in range(1, length)])


def plug_printer(env, vendor=FAMILY[0], product=FAMILY[1], interface=FAMILY[2], behaviour="answer",
                 block=None):
    """Plugs a virtual printer into the prefix's bus and returns its id once
    its USB printer interface is present. behaviour: "answer" (every read
    returns `block`, default usb_block(8)), "silent" (a read stays pending
    until it is cancelled) or "failopen" (the listed path can't be opened)."""
    block = usb_block(8) if block is None else bytes(block)
    text = _bus_command(env, ["plug", "%04x" % vendor, "%04x" % product, "%02x" % interface, behaviour,
                              block.hex()])
    fields = dict(word.split("=", 1) for word in text.split())
    return int(fields["id"])


def usb_printer_path(printer, vendor=FAMILY[0], product=FAMILY[1], interface=FAMILY[2]):
    """The device path Wine lists for printer id `printer` (lower case)."""
    return "\\\\?\\usb#vid_%04x&pid_%04x&mi_%02x#bench%04x#%s" % (vendor, product, interface, printer,
                                                                   USB_PRINT_GUID)


def unplug_printer(env, printer):
    """Unplugs printer id `printer`; returns once its interface is gone."""
    _bus_command(env, ["unplug", printer])


def printer_counters(env, printer):
    """What the bus saw of a printer, also after unplugging: opens,
    failed_opens, reads, cancelled (reads cancelled by the reader), abandoned
    (reads pending when it was unplugged), closes, started, removed and
    pending_ms (how long its last pending read waited until it ended)."""
    text = _bus_command(env, ["stats", printer])
    return {key: int(value) for key, value in (word.split("=") for word in text.split())}


def usb_printer_paths(env):
    """The USB printer interface paths printerwatch's own backend lists now."""
    return [line.strip() for line in _bus_command(env, ["list"]).splitlines() if line.strip()]


def read_usb_printer(env, path, timeout_ms=3000):
    """One read through printerwatch's read backend: dict with result (0 done,
    1 failed, 2 timed out; None when the open failed), count, error,
    elapsed_ms and data (bytes)."""
    text = _bus_command(env, ["read", path, timeout_ms], timeout=USB_WAIT + timeout_ms / 1000)
    if text.startswith("open failed"):
        return {"result": None, "error": int(text.split("error=")[1]), "count": 0, "data": b""}
    fields = dict(word.split("=", 1) if "=" in word else (word, "") for word in text.split())
    return {"result": int(fields["result"]), "count": int(fields["count"]), "error": int(fields["error"]),
            "elapsed_ms": int(fields["elapsed_ms"]), "data": bytes.fromhex(fields.get("bytes", ""))}


def start_device_events(run, env, seconds=120):
    """Starts a hidden message-only window that registers for the USB printer
    interface class and logs each WM_DEVICECHANGE; returns once it listens.
    Read its events with device_events(program)."""
    program = wineprefix.start_program(run, env, usbbus_tool(), ["events", str(seconds)], name="device-events")
    processes.wait_until(lambda: b"ready" in processes.output(program) or program["proc"].poll() is not None, USB_WAIT,
               what="the device-event window")
    if b"ready" not in processes.output(program):
        raise RuntimeError("device-event window: " + processes.output(program).decode("utf-8", "replace").strip())
    return program


def device_events(program):
    """Events seen so far: dicts with kind (arrival, removal), class
    (usbprint, other), encoding (ansi, utf16) and name."""
    events = []
    for line in processes.output(program).decode("utf-8", "replace").splitlines():
        words = line.split()
        if words and words[0] in ("arrival", "removal"):
            fields = dict(word.split("=", 1) for word in words[1:])
            fields["kind"] = words[0]
            events.append(fields)
    return events
