"""printerwatch as a Windows service under Wine, and Wine's spooler it keeps:
installing the service with its settings, one reconcile pass, the queues as
a program and as the registry see them, a driver for its queues."""

import glob
import os
import re
import shutil
import time

from pylib import paths, processes, wineprefix

STATE_STOPPED, STATE_RUNNING = 1, 4


def set_printer_attributes(env, queue, attributes):
    """Sets a queue's Attributes where Wine's spooler reads them (CUPS's own
    state never reaches Wine)."""
    key = "HKLM\\System\\CurrentControlSet\\Control\\Print\\Printers\\" + queue
    wineprefix.wine(env, ["reg", "add", key, "/v", "Attributes", "/t", "REG_DWORD", "/d", hex(attributes), "/f"])


def spooler_queues(env):
    """Wine's queues as a program sees them: dicts with name, driver, port,
    attributes and position (-1 when "Position" can't be read)."""
    _, text = wineprefix.wine(env, [paths.watch_tool("watch_spool_tool.exe"), "list"])
    queues = []
    for line in text.splitlines():
        parts = line.strip().split("|")
        if len(parts) == 5:
            queues.append({"name": parts[0], "driver": parts[1], "port": parts[2],
                           "attributes": int(parts[3]), "position": int(parts[4])})
    return queues


def spooler_registry(env):
    """The queues as Wine's spooler stores them (HKLM\\...\\Print\\Printers):
    dicts with key, name, driver, attributes and position (-1 when none).
    OpenPrinter finds queues by key; a level-2 rename moves the key (stock
    Wine only changed the "Name" value)."""
    _, text = wineprefix.wine(env, ["reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Print\\Printers", "/s"])
    queues, current = {}, None
    for line in text.splitlines():
        if line.startswith("HKEY_LOCAL_MACHINE\\"):
            parts = line.strip().split("\\")
            current = None
            if len(parts) >= 7 and parts[5] == "Printers":
                current = queues.setdefault(parts[6], {"key": parts[6], "name": "", "driver": "", "attributes": 0,
                                                       "position": -1})
                current["_sub"] = parts[7] if len(parts) > 7 else ""
            continue
        fields = line.strip().split(None, 2) if current is not None else []
        if len(fields) < 2:
            continue
        # Values may hold blanks; their names here ("Printer Driver") do too.
        match = re.match(r"(.+?)\s+(REG_\w+)\s*(.*)$", line.strip())
        if not match:
            continue
        value_name, value_type, value = match.groups()
        if current["_sub"] == "" and value_name == "Name":
            current["name"] = value
        elif current["_sub"] == "" and value_name == "Printer Driver":
            current["driver"] = value
        elif current["_sub"] == "" and value_name == "Attributes":
            current["attributes"] = int(value, 16)
        elif current["_sub"] == "PrinterDriverData" and value_name == "Position":
            current["position"] = int(value, 16)
    for queue in queues.values():
        queue.pop("_sub", None)
    return sorted(queues.values(), key=lambda q: q["key"])


def add_label_driver(env, cups, name):
    """Installs a PostScript printer driver `name` with no queue of it, from
    the PPD of one of the scheduler's queues. Wine's own driver of a CUPS
    queue is named after the queue and goes when the queue goes (and the
    mirrored queue would be one more managed queue), so printerwatch's
    queues get a driver of their own."""
    ppds = sorted(glob.glob(os.path.join(cups["root"], "ppd", "*.ppd")))
    if not ppds:
        raise RuntimeError("the scheduler has no queue whose PPD a driver could use")
    shutil.copy(ppds[0], os.path.join(env["WINEPREFIX"], "drive_c", "bench-label.ppd"))
    wineprefix.wine(env, [paths.watch_tool("watch_spool_tool.exe"), "driver", name, "C:\\bench-label.ppd"])


def install_printerwatch(env, service, base_name, driver, port="FILE:", data_dir="C:\\velqdata"):
    """Copies printerwatch.exe into the prefix, writes its settings under
    SOFTWARE\\<service> and the data directory under Software\\VELQ, and creates
    the service (not started). Returns the data directory's host path."""
    key = "HKLM\\SOFTWARE\\" + service
    for name, value in (("PrinterName", base_name), ("DriverName", driver), ("PrinterPort", port)):
        wineprefix.wine(env, ["reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f"])
    host_dir = os.path.join(env["WINEPREFIX"], "drive_c", *data_dir[3:].split("\\"))
    os.makedirs(host_dir, exist_ok=True)
    wineprefix.wine(env, ["reg", "add", "HKLM\\Software\\VELQ", "/v", "Data Directory", "/t", "REG_SZ", "/d", data_dir, "/f"])
    target = os.path.join(env["WINEPREFIX"], "drive_c", "velq")
    os.makedirs(target, exist_ok=True)
    shutil.copy(paths.watch_tool("printerwatch.exe"), target)
    wineprefix.wine(env, ["sc", "create", service, "binPath=", "C:\\velq\\printerwatch.exe", "DisplayName=", service])
    return host_dir


def service_state(env, service):
    """The state the SCM reports for `service` (1 stopped, 4 running...), or None."""
    _, text = wineprefix.wine(env, [paths.watch_tool("svcctl_helper.exe"), service, "query"], check=False)
    for word in text.split():
        if word.startswith("state="):
            return int(word[len("state="):])
    return None


def run_service_pass(env, service, timeout=60):
    """Runs one reconcile pass of printerwatch: starts the service (it passes
    once before it reports RUNNING), waits for RUNNING, stops it and waits for
    STOPPED. Returns the seconds from the start to RUNNING seen, which include
    the pass. Needs keep_wine_up (a service dies with a transient server)."""
    started = time.monotonic()
    wineprefix.wine(env, ["sc", "start", service])
    processes.wait_until(lambda: service_state(env, service) == STATE_RUNNING, timeout, interval=0.2,
               what="%s to report RUNNING after its pass" % service)
    seconds = time.monotonic() - started
    wineprefix.wine(env, [paths.watch_tool("svcctl_helper.exe"), service, "stop"], check=False)
    processes.wait_until(lambda: service_state(env, service) == STATE_STOPPED, timeout, interval=0.2,
               what="%s to report STOPPED" % service)
    return seconds
