"""Why a Wine command failed: Wine's own error channels, what an exit code
means when Wine itself gave it, and what the prefix's wineserver was doing
around the call (running, gone, started anew). The harness runs every Wine
process with WINEDEBUG=fixme-all: the err channels stay on, on standard
error, and PG_WINEDEBUG asks for more (e.g. "+seh,+server")."""

import os
import signal

WINEDEBUG = os.environ.get("PG_WINEDEBUG", "fixme-all")

# The processes Wine starts for a prefix on its own; a wineserver that runs
# only these has no program left and is about to shut down.
SYSTEM_PROCESSES = {"services.exe", "winedevice.exe", "plugplay.exe", "explorer.exe", "rpcss.exe",
                    "svchost.exe", "conhost.exe", "wineboot.exe", "winemenubuilder.exe"}

# Exit codes Wine gives by itself. A Windows exit code is 32 bits and Linux
# keeps its low byte, so an NTSTATUS shows as that byte.
WINE_EXIT_CODES = {
    1: "1 is also what Wine gives a process that the wineserver ended (wineserver -k, or the "
       "forced end of a shutdown 2 s after it told the system processes to quit), and the "
       "loader's exit when it cannot start the program",
    0x05: "0x05 may be the low byte of STATUS_ACCESS_VIOLATION (0xC0000005): a crash",
    0x35: "0x35 may be the low byte of STATUS_DLL_NOT_FOUND (0xC0000135)",
    0x3A: "0x3A may be the low byte of STATUS_CONTROL_C_EXIT (0xC000013A)",
    0xFD: "0xFD may be the low byte of STATUS_STACK_OVERFLOW (0xC00000FD)",
}


def server_folder(env):
    """The name of the prefix's server folder: server-DEV-INODE of the
    prefix, in Wine's temporary folder."""
    info = os.stat(env["WINEPREFIX"])
    return "server-%x-%x" % (info.st_dev, info.st_ino)


def server_pid(env):
    """The pid of the prefix's wineserver (the process working in the
    prefix's server folder), or None."""
    folder = "/" + server_folder(env)
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink("/proc/%s/cwd" % entry).endswith(folder):
                    return int(entry)
            except OSError:
                pass
    return None


def _age(pid):
    """Seconds since the process started, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            started = int(f.read().rsplit(")", 1)[1].split()[19]) / os.sysconf("SC_CLK_TCK")
        with open("/proc/uptime") as f:
            return float(f.read().split()[0]) - started
    except (OSError, IndexError, ValueError):
        return None


def prefix_processes(env):
    """[(pid, program)] of the Wine processes running in the prefix."""
    needle = ("WINEPREFIX=" + env["WINEPREFIX"]).encode() + b"\0"
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if needle not in f.read() + b"\0":
                    continue
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv0 = f.read().split(b"\0")[0].decode("utf-8", "replace")
        except OSError:
            continue
        name = argv0.replace("\\", "/").rsplit("/", 1)[-1]
        if name.startswith("wineserver"):
            continue
        found.append((int(entry), name))
    return sorted(found)


def server_snapshot(env):
    """What the prefix's wineserver is doing now: {"pid", "age", "processes"};
    pid None when no server runs."""
    pid = server_pid(env)
    return {"pid": pid, "age": _age(pid) if pid else None,
            "processes": prefix_processes(env) if pid else []}


def system_running(snapshot):
    """Whether the prefix's system processes run (services.exe among them)."""
    return any(name.lower() == "services.exe" for _, name in snapshot["processes"])


def describe_server(snapshot):
    if snapshot["pid"] is None:
        return "no wineserver"
    names = [name for _, name in snapshot["processes"]]
    own = [n for n in names if n.lower() not in SYSTEM_PROCESSES]
    text = "wineserver %d, up %.1f s, with %d processes (%s)" % (
        snapshot["pid"], snapshot["age"] or 0.0, len(names), ", ".join(names) or "none")
    if not own:
        text += ": no program of its own, so it shuts down 3 s after its last one ended"
    return text


def server_story(before, after):
    """One line on the wineserver across a call: the same, gone or new."""
    if before["pid"] is None and after["pid"] is None:
        return "no wineserver before the call nor after it"
    if before["pid"] is None:
        return "the call started a wineserver; after it: " + describe_server(after)
    if after["pid"] is None:
        return "before the call: %s; after it: gone (it shut down during the call)" % describe_server(before)
    if before["pid"] != after["pid"]:
        return ("before the call: %s; after it: a new one, %s (the old one shut down and the "
                "call started another)" % (describe_server(before), describe_server(after)))
    return "before the call: %s; after it: the same, %s" % (describe_server(before), describe_server(after))


def exit_meaning(code):
    if code < 0:
        try:
            return "killed by %s" % signal.Signals(-code).name
        except ValueError:
            return "killed by signal %d" % -code
    return WINE_EXIT_CODES.get(code, "the program's own code")


def system_log(env):
    """Where the prefix's system processes write their standard error: the
    Wine call that starts the wineserver hands them this file."""
    return env["WINEPREFIX"].rstrip("/") + ".system.log"


def log_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def read_log(path, offset):
    """What was written to a log from offset on."""
    try:
        with open(path, "rb") as f:
            f.seek(offset)
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def _error_lines(text):
    lines = [line for line in text.splitlines() if line.strip() and "fixme:" not in line]
    return "".join("\n    " + line for line in lines[-40:]) or " (none)"


def explain(what, code, output, errors, before, after, system_errors=""):
    """The failure message of a Wine call: its exit code and meaning, its
    output, Wine's error lines (fixme lines left out), those the system
    processes wrote meanwhile, and the wineserver."""
    return "%s exited %d (%s)\n  output: %s\n  Wine's errors:%s\n  the system processes' errors meanwhile:%s\n  %s" % (
        what, code, exit_meaning(code), output.strip()[-2000:] or "(none)", _error_lines(errors),
        _error_lines(system_errors), server_story(before, after))
