"""The native printgate in front of a private CUPS scheduler, for the tests
of tests/cups, the benchmarks and the run script: every process is started
here and stopped by its own PID.
"""

import os
import shutil
import subprocess
import time

from pylib import paths, processes, scheduler

LABEL_PPD = os.path.join(paths.SOURCE_DIR, "tests", "cups", "capture_label.ppd")


def native_exe():
    path = os.path.join(paths.NATIVE_BUILD, "tray", "printgate")
    if not os.path.exists(path):
        raise FileNotFoundError(path + " is missing: build the native target first")
    return path


def start_label_cups(run, queues=("VELQ",), default="VELQ", log_every_request=False):
    """A private scheduler whose queues use a label printer driver that takes
    custom page sizes and hands the job on as PDF, so a captured job can be
    rendered as it would reach paper."""
    cups = scheduler.start_cups(run, queues=(), default=None, log_every_request=log_every_request)
    # Filters run as lp and keep their temporary files here.
    tmp = os.path.join(cups["root"], "tmp")
    shutil.chown(tmp, group="lp")
    os.chmod(tmp, 0o1770)
    # Queues that forward to another server need the ipp backend.
    os.symlink("/usr/lib/cups/backend/ipp", os.path.join(cups["root"], "serverbin", "backend", "ipp"))
    for queue in queues:
        add_label_queue(cups, queue)
    if default:
        scheduler.cups_command(cups, ["lpadmin", "-d", default])
    return cups


def add_label_queue(cups, name):
    # Device URIs are ASCII whatever the queue's name.
    device = "capture:/" + name.encode("utf-8").hex()
    scheduler.cups_command(cups, ["lpadmin", "-p", name, "-E", "-v", device, "-P", LABEL_PPD])


def native_env(run, cups):
    """Only the private scheduler counts: no lpoptions, LPDEST or PRINTER of
    the machine or its user, and a home of the run's own."""
    env = dict(os.environ)
    for name in ("LPDEST", "PRINTER", "XDG_STATE_HOME", "CUPS_USER"):
        env.pop(name, None)
    home = os.path.join(run["dir"], "home")
    os.makedirs(home, mode=0o700, exist_ok=True)
    env.update({"CUPS_SERVER": cups["server"], "CUPS_SERVERROOT": cups["root"], "HOME": home,
                "LANG": "C.UTF-8"})
    env.pop("LC_ALL", None)
    env.pop("LC_CTYPE", None)
    return env


def start_native(run, env, name="printgate", timeout=600, command=None):
    """Starts the native printgate (the build's, or the command given) and
    returns once it says it serves 127.0.0.1:6780. A port still held (another test's program, or closed
    connections in TIME_WAIT) makes it exit at once: then it is started
    again until the port is free or the timeout passes."""
    out = os.path.join(run["dir"], name + ".out")
    err = os.path.join(run["dir"], name + ".err")
    deadline = time.monotonic() + timeout
    while True:
        with open(out, "wb") as stdout, open(err, "wb") as stderr:
            proc = subprocess.Popen(command or [native_exe()], env=env, stdin=subprocess.DEVNULL,
                                    stdout=stdout, stderr=stderr)
        program = {"proc": proc, "out": out, "err": err}
        while proc.poll() is None and b"serving" not in read_bytes(err):
            time.sleep(0.02)
        if proc.poll() is None:
            run["stops"].append(lambda: processes.stop_process(proc))
            return program
        if time.monotonic() > deadline:
            raise RuntimeError("printgate could not listen: " + processes.read_text(err))
        time.sleep(1)


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def data_url(path, media="image/png"):
    import base64
    with open(path, "rb") as f:
        return b"data:" + media.encode() + b";base64," + base64.b64encode(f.read())


def render(job_path, out_png):
    """Renders a captured PDF job at 203.2 dpi (8 dots per millimetre)."""
    subprocess.run(["gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", "-sDEVICE=png16m",
                    "-r203.2", "-sOutputFile=" + out_png, job_path],
                   check=True, stdin=subprocess.DEVNULL, timeout=60)


def command_line(exe, args):
    """(exit code, stdout, stderr) of a short run of a program."""
    done = subprocess.run([exe] + list(args), stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    return done.returncode, done.stdout.decode(), done.stderr.decode()


def scheduler_connections(pid, port):
    """How many TCP connections the process holds to the scheduler's port
    (established or being set up), from /proc/<pid>/fd and /proc/net/tcp."""
    inodes = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                lines = f.readlines()[1:]
        except FileNotFoundError:
            continue
        for line in lines:
            fields = line.split()
            if int(fields[2].split(":")[1], 16) == port and fields[3] in ("01", "02"):
                inodes.add(fields[9])
    count = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:[") and target[8:-1] in inodes:
            count += 1
    return count


def requests_logged(cups):
    """The IPP operations of a scheduler started with log_every_request, in
    the order its access log has them."""
    try:
        with open(os.path.join(cups["root"], "log", "access_log")) as f:
            return [line.split()[-2] for line in f if '"POST ' in line]
    except FileNotFoundError:
        return []
