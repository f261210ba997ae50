"""A private CUPS scheduler on a loopback port whose queues save every job
(data, title, options, queue) to a folder instead of printing it, and the
commands and captured jobs of it."""

import glob
import os
import shutil
import socket
import subprocess

from pylib import processes


DEFAULT_QUEUES = ("VELQ", "Office", "Label2")

CAPTURE_BACKEND = """#!/bin/sh
# Saves each job and its title to the capture folder instead of printing.
# A test holds the printer (the job stays "printing") while the folder has
# a file .hold, and makes it fail (exit 1) while it has .fail.
if [ $# -eq 0 ]; then
  echo 'direct capture "Unknown" "Capture to folder"'
  exit 0
fi
dir="@DIR@"
while [ -e "$dir/.hold" ]; do sleep 0.1; done
if [ -e "$dir/.fail" ]; then echo "ERROR: the test failed this printer" >&2; exit 1; fi
queue="${PRINTER:-unknown}"
tmp="$dir/.job-$1"
if [ -n "$6" ]; then cat "$6" > "$tmp.data"; else cat > "$tmp.data"; fi
printf '%s' "$3" > "$tmp.title"
printf '%s' "$5" > "$tmp.options"
printf '%s' "$queue" > "$tmp.queue"
for part in data title options queue; do mv "$tmp.$part" "$dir/job-$1.$part"; done
exit 0
"""


def start_cups(run, queues=DEFAULT_QUEUES, default="VELQ", log_every_request=False):
    """Starts a private cupsd on a loopback port with capture queues and
    returns a dict: server (for CUPS_SERVER), port, capture (job folder).
    With log_every_request its access log (root/log/access_log) has a line
    for every IPP request."""
    root = os.path.join(run["dir"], "cups")
    capture = os.path.join(root, "capture")
    serverbin = os.path.join(root, "serverbin")
    for sub in ("spool", "tmp", "cache", "state", "log", "ppd", capture, serverbin,
                os.path.join(serverbin, "backend")):
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    os.chmod(capture, 0o777)
    # Filters run as lp and write their temporary files here.
    shutil.chown(os.path.join(root, "tmp"), group="lp")
    os.chmod(os.path.join(root, "tmp"), 0o1770)
    for sub in ("cgi-bin", "daemon", "driver", "filter", "monitor", "notifier"):
        target = os.path.join("/usr/lib/cups", sub)
        if os.path.exists(target):
            os.symlink(target, os.path.join(serverbin, sub))
    backend = os.path.join(serverbin, "backend", "capture")
    with open(backend, "w") as f:
        f.write(CAPTURE_BACKEND.replace("@DIR@", capture))
    # Mode 0700: cupsd runs such a backend as root, so it can write anywhere.
    os.chmod(backend, 0o700)
    port = processes.free_port()
    socket_path = os.path.join(root, "cups.sock")
    with open(os.path.join(root, "cupsd.conf"), "w") as f:
        f.write("""LogLevel warn
Listen 127.0.0.1:%d
Listen %s
Browsing No
DefaultAuthType None
WebInterface No
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
""" % (port, socket_path))
        if log_every_request:
            f.write("AccessLogLevel all\n")
    with open(os.path.join(root, "cups-files.conf"), "w") as f:
        f.write("""ServerRoot %(r)s
RequestRoot %(r)s/spool
TempDir %(r)s/tmp
CacheDir %(r)s/cache
StateDir %(r)s/state
ErrorLog %(r)s/log/error_log
AccessLog %(r)s/log/access_log
PageLog %(r)s/log/page_log
ServerBin %(sb)s
DataDir /usr/share/cups
User lp
Group lp
SystemGroup root
FileDevice Yes
Printcap %(r)s/printcap
""" % {"r": root, "sb": serverbin})
    with open(os.path.join(root, "cupsd.out"), "w") as log:
        proc = subprocess.Popen(
            ["/usr/sbin/cupsd", "-f", "-c", os.path.join(root, "cupsd.conf"),
             "-s", os.path.join(root, "cups-files.conf")],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    run["stops"].append(lambda: processes.stop_process(proc))
    server = "127.0.0.1:%d" % port
    cups = {"proc": proc, "server": server, "port": port, "root": root, "capture": capture,
            "socket": socket_path}

    def answering():
        if proc.poll() is not None:
            raise RuntimeError("cupsd exited: " + processes.read_text(os.path.join(root, "cupsd.out")))
        with socket.socket() as s:
            s.settimeout(0.5)
            return s.connect_ex(("127.0.0.1", port)) == 0

    processes.wait_until(answering, 20, what="cupsd")
    for queue in queues:
        add_queue(cups, queue)
    if default:
        cups_command(cups, ["lpadmin", "-d", default])
    return cups


def cups_env(cups):
    env = dict(os.environ)
    env["CUPS_SERVER"] = cups["server"]
    return env


def cups_command(cups, args, check=True):
    result = subprocess.run(["/usr/sbin/" + args[0] if args[0] == "lpadmin" else args[0]] + args[1:],
                            env=cups_env(cups), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    if check and result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(args), result.stdout))
    return result.stdout


def add_queue(cups, name):
    cups_command(cups, ["lpadmin", "-p", name, "-E", "-v", "capture:/" + name,
                        "-m", "drv:///sample.drv/generic.ppd"])


def hold_printer(cups, held=True):
    """While held, every queue's job stays with the capture backend."""
    _flag(cups, ".hold", held)


def fail_printer(cups, failing=True):
    """While failing, the capture backend fails every job it is given."""
    _flag(cups, ".fail", failing)


def _flag(cups, name, on):
    path = os.path.join(cups["capture"], name)
    if on:
        open(path, "w").close()
    elif os.path.exists(path):
        os.remove(path)


def captured_jobs(cups):
    """Complete jobs saved so far, oldest first: dicts with id, title,
    options, queue and data (the bytes the backend received)."""
    jobs = []
    for data_path in glob.glob(os.path.join(cups["capture"], "job-*.queue")):
        stem = data_path[:-len(".queue")]
        job_id = int(os.path.basename(stem)[4:])
        with open(stem + ".data", "rb") as f:
            data = f.read()
        jobs.append({"id": job_id, "title": processes.read_text(stem + ".title"),
                     "options": processes.read_text(stem + ".options"), "queue": processes.read_text(stem + ".queue"),
                     "data": data, "path": stem + ".data"})
    return sorted(jobs, key=lambda job: job["id"])


def wait_for_jobs(cups, count, timeout=60):
    return processes.wait_until(lambda: len(captured_jobs(cups)) >= count and captured_jobs(cups),
                      timeout, interval=0.2, what="%d captured job(s)" % count)
