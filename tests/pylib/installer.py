"""The product's MSI under Wine: its names and registry keys, building
another version of it, msiexec, and what it leaves in the registry."""

import os
import re
import subprocess

from pylib import paths, processes, wineprefix


PRODUCT = "VELQ printgate"
SERVICE = "USB Printer Service VELQ"
SETTINGS_KEY = "HKLM\\SOFTWARE\\" + SERVICE
DATA_KEY = "HKLM\\Software\\VELQ"
RUN_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"


def product_msi():
    return paths.win_exe("installer/printgate-%s-x64.msi" % paths.project_version())


def build_msi(run, version):
    """Another MSI of the product from the same programs, with a version of
    our choosing (for upgrades)."""
    out = os.path.join(run["dir"], "printgate-%s-x64.msi" % version)
    subprocess.run(["bash", os.path.join(paths.SOURCE_DIR, "installer", "build_msi.sh"), out, version,
                    paths.win_exe("tray/printgate.exe"), paths.win_exe("watch/printerwatch.exe"),
                    paths.win_exe("policies/printgate-browser-policies.exe")],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=120)
    return out


def msiexec(run, env, args, name="msiexec"):
    """Runs Wine's msiexec silently with a verbose log in the run; returns
    (exit code, log text)."""
    log = os.path.join(run["dir"], name + ".log")
    code, text = wineprefix.wine(env, ["msiexec", "/qn"] + list(args) + ["/l*v", "Z:" + log.replace("/", "\\")],
                      check=False, timeout=300)
    return code, processes.read_text(log) + text


def run_entry_program(env):
    """The program the machine-wide Run entry starts, as Windows reads the
    command: a quoted path and nothing after it."""
    command = (wineprefix.reg_values(env, RUN_KEY) or {}).get(PRODUCT)
    found = re.fullmatch(r'"([^"]+)"', command or "")
    if not found:
        raise ValueError("Run entry is not one quoted program: %r" % command)
    return found.group(1)


def installed_products(env, name=PRODUCT):
    """Entries of the installed-programs list with this display name:
    {product code: display version}."""
    code, text = wineprefix.wine(env, ["reg", "query", UNINSTALL_KEY, "/s"], check=False)
    keys, current = {}, None
    for line in text.splitlines():
        if line.startswith("HKEY_"):
            current = keys.setdefault(line.rsplit("\\", 1)[-1], {})
            continue
        parts = re.split(r"\s{4}", line.strip(), maxsplit=2)
        if current is not None and len(parts) == 3:
            current[parts[0]] = parts[2]
    return {key: values.get("DisplayVersion") for key, values in keys.items()
            if values.get("DisplayName") == name}
