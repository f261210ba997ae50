"""Wine prefixes of a test run: a booted base prefix copied per run, Wine
commands and Windows programs in it, its registry and paths, and its
wineserver (ended with `wineserver -k` of the run's own prefix, never by
name). A Wine command that fails says why: Wine's own error lines, what its
exit code means, and what the prefix's wineserver was doing."""

import fcntl
import os
import re
import shutil
import subprocess
import tempfile

from pylib import httpapi, paths, processes, winediag

# The bench's own Wine (tests/bench-win/wine, built by scripts/setup.sh): the
# system's release with the patches that make it behave as Windows where the
# programs depend on it. The loader itself, not /usr/bin/wine: that script
# prints a hint about wine32 on standard output, into the program's log.
WINE = os.path.join(paths.WINE_DIR, "tree", "lib", "wine", "wine64")
WINESERVER = "/usr/lib/wine/wineserver64"


def base_prefix():
    """A booted 64-bit prefix, made once and shared read-only by all tests
    (they copy it: booting takes seconds, a copy about one)."""
    os.makedirs(paths.BENCH_DIR, exist_ok=True)
    base = os.path.join(paths.BENCH_DIR, "prefix-base")
    marker = os.path.join(base, ".booted")
    with open(os.path.join(paths.BENCH_DIR, "prefix.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(marker):
            shutil.rmtree(base, ignore_errors=True)
            env = wine_env_for(base, None)
            # No CUPS for the boot: the base must not remember any queue.
            env["CUPS_SERVER"] = "/nonexistent/cups.sock"
            subprocess.run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
            subprocess.run([WINESERVER, "-w"], env=env, timeout=120)
            open(marker, "w").close()
    return base


def wine_env_for(prefix, cups, display=None):
    env = dict(os.environ)
    # winemenubuilder would turn the prefix's Start-menu entries into menu
    # files in this machine's home folder.
    env.update({"WINEPREFIX": prefix, "WINEARCH": "win64", "WINEDEBUG": winediag.WINEDEBUG,
                "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d", "WINESERVER": WINESERVER})
    if cups is not None:
        env["CUPS_SERVER"] = cups["server"]
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


def new_prefix(run, cups, display=None):
    """Copies the base prefix into the run and returns the environment for
    Wine commands in it. The run's cleanup ends every process of the prefix
    with `wineserver -k`."""
    prefix = os.path.join(run["dir"], "prefix")
    subprocess.run(["cp", "-a", base_prefix(), prefix], check=True)
    env = wine_env_for(prefix, cups, display)
    run["stops"].append(lambda: stop_wine(env))
    return env


def stop_wine(env):
    subprocess.run([WINESERVER, "-k"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run([WINESERVER, "-w"], env=env, timeout=60)


def wine(env, args, run=None, timeout=120, check=True):
    """Runs a Wine command to its end and returns (exit code, standard
    output). Wine's own error lines go to standard error, kept apart so that
    they never mix with what a program prints; a failure (with check) raises
    RuntimeError carrying them, the exit code's meaning and the wineserver's
    doings. Output goes through files: system processes that the first
    command starts inherit its stdio, so a pipe would never reach end of
    file."""
    before = winediag.server_snapshot(env)
    # A call that starts the system processes (services.exe, the driver
    # host ...) hands them its standard error: that goes to the prefix's
    # system log, where later calls read it too.
    starts_system = not winediag.system_running(before)
    system_log = winediag.system_log(env)
    system_seen = winediag.log_size(system_log)
    with tempfile.TemporaryFile() as out, \
            (open(system_log, "ab") if starts_system else tempfile.TemporaryFile()) as err:
        result = subprocess.run([WINE] + args, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
        errors = ""
        if not starts_system:
            err.seek(0)
            errors = err.read().decode("utf-8", "replace")
    if check and result.returncode != 0:
        raise RuntimeError(winediag.explain("wine " + " ".join(args), result.returncode, text, errors,
                                            before, winediag.server_snapshot(env),
                                            winediag.read_log(system_log, system_seen)))
    return result.returncode, text


def reg_values(env, key):
    """The values of one registry key as {name: text}, or None when the key
    is missing (Wine's reg.exe; "(Default)" for the unnamed value)."""
    code, text = wine(env, ["reg", "query", key], check=False)
    if code != 0:
        return None
    values = {}
    for line in text.splitlines():
        parts = re.split(r"\s{4}", line.strip(), maxsplit=2)
        if len(parts) == 3 and parts[1].startswith("REG_"):
            values[parts[0]] = parts[2]
        elif len(parts) == 2 and parts[1].startswith("REG_"):
            values[parts[0]] = ""
    return values


def win_path(env, path):
    """Where a C:\\ path of the prefix lies on this machine."""
    drive, rest = path[:2].upper(), path[3:]
    if drive != "C:":
        raise ValueError("not on drive C: " + path)
    return os.path.join(env["WINEPREFIX"], "drive_c", *[p for p in rest.split("\\") if p])


def start_program(run, env, exe, args=(), name="program"):
    """Starts a Windows program; stdout and stderr go to files in the run.
    Returns a dict with proc, out (path) and err (path)."""
    out = os.path.join(run["dir"], name + ".out")
    err = os.path.join(run["dir"], name + ".err")
    with open(out, "wb") as out_file, open(err, "wb") as err_file:
        proc = subprocess.Popen([WINE, exe] + list(args), env=env, stdin=subprocess.DEVNULL,
                                stdout=out_file, stderr=err_file)
    run["stops"].append(lambda: processes.stop_process(proc))
    return {"proc": proc, "out": out, "err": err}


def start_printgate(run, env, exe=None, wait=True, name="printgate"):
    """Starts printgate.exe and, with wait, returns once 127.0.0.1:6780
    answers."""
    program = start_program(run, env, exe or paths.win_exe("tray/printgate.exe"), name=name)
    if wait:
        httpapi.wait_for_api(program)
    return program


def wineserver_pid(env):
    """The wineserver of env's prefix (see winediag.server_pid)."""
    pid = winediag.server_pid(env)
    if pid is None:
        raise RuntimeError("no wineserver runs for " + env["WINEPREFIX"])
    return pid


def keep_wine_up(run, env):
    """Makes the prefix's wineserver persistent, once per prefix: Debian's
    wineserver otherwise exits with the last ordinary Wine process, taking
    services and the driver host (and every plugged printer) with it. After
    this, never call `wineserver -w` on the prefix (it would wait forever);
    the run's cleanup ends the server with -k."""
    done = run.setdefault("persistent", set())
    if env["WINEPREFIX"] in done:
        return
    # A server left over from setting up must end first: -p can't turn a
    # running one persistent.
    subprocess.run([WINESERVER, "-w"], env=env, timeout=120, check=True)
    subprocess.run([WINESERVER, "-p"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60, check=True)
    done.add(env["WINEPREFIX"])


def restart_wine(run, env):
    """Ends every process of the prefix and makes its next wineserver
    persistent again (services.exe reads some settings only when it starts)."""
    stop_wine(env)
    run.setdefault("persistent", set()).discard(env["WINEPREFIX"])
    keep_wine_up(run, env)
