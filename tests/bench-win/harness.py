"""The Windows bench: real Windows programs under Wine, against a private CUPS
scheduler whose queues save every job to a folder.

Everything a bench test starts is started here and stopped here by its own
PID (cupsd, Xvfb, the program) or by `wineserver -k` on the test's own Wine
prefix. Nothing is ever killed by name, so other runs on the machine are safe.

Typical use in a unittest case:

    run = harness.new_run(self.addCleanup)   # temp folder, cleaned up
                                             # (cls.addClassCleanup in setUpClass)
    cups = harness.start_cups(run)           # queues VELQ, Office, Label2
    env = harness.new_prefix(run, cups)      # booted prefix copy, env dict
    gate = harness.start_printgate(run, env) # waits for 127.0.0.1:6780
    status, headers, body = harness.http("POST", "/vqapi/GetPrinters")

Virtual USB label printers for printerwatch (see the section below):

    install_usb_bus(run, env)                # the bench's bus driver in the prefix
    printer = plug_printer(env, block=usb_block(8))
    pass_seconds = run_service_pass(env, "My Service")
    unplug_printer(env, printer)

Paths come from the environment CTest sets: PG_SOURCE_DIR, PG_WIN_BUILD
(the cross build folder) and PG_BENCH_DIR (scratch space kept between tests,
where the booted base prefix is cached).
"""

import contextlib
import ctypes
import fcntl
import functools
import glob
import http.client as httpclient
import http.server as httpserver
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

SOURCE_DIR = os.environ.get(
    "PG_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
WIN_BUILD = os.environ.get("PG_WIN_BUILD", os.path.join(SOURCE_DIR, "build", "win"))
BENCH_DIR = os.environ.get("PG_BENCH_DIR", os.path.join(SOURCE_DIR, "build", "bench"))

# The loader itself: /usr/bin/wine is a script that prints a hint about
# wine32 on standard output, which would end up in the program's log.
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"

API_PORT = 6780
DEFAULT_QUEUES = ("VELQ", "Office", "Label2")

CAPTURE_BACKEND = """#!/bin/sh
# Saves each job and its title to the capture folder instead of printing.
if [ $# -eq 0 ]; then
  echo 'direct capture "Unknown" "Capture to folder"'
  exit 0
fi
dir="@DIR@"
queue="${PRINTER:-unknown}"
tmp="$dir/.job-$1"
if [ -n "$6" ]; then cat "$6" > "$tmp.data"; else cat > "$tmp.data"; fi
printf '%s' "$3" > "$tmp.title"
printf '%s' "$5" > "$tmp.options"
printf '%s' "$queue" > "$tmp.queue"
for part in data title options queue; do mv "$tmp.$part" "$dir/job-$1.$part"; done
exit 0
"""


def win_exe(relative):
    """Path of a program of the cross build, e.g. win_exe("tray/printgate.exe")."""
    path = os.path.join(WIN_BUILD, relative)
    if not os.path.exists(path):
        raise FileNotFoundError(path + " is missing: build the Windows target first")
    return path


def new_run(add_cleanup):
    """A scratch folder for one test, removed at the end unless PG_KEEP is set.
    Returns a dict that the other functions add what they start to; the
    test's cleanup stops all of it in reverse order."""
    os.makedirs(BENCH_DIR, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="run-", dir=BENCH_DIR)
    # cupsd's filters run as lp and must reach the spool folder inside.
    os.chmod(folder, 0o755)
    run = {"dir": folder, "stops": []}

    def cleanup():
        for stop in reversed(run["stops"]):
            try:
                stop()
            except Exception as error:  # keep stopping the rest
                print("cleanup:", error)
        if not os.environ.get("PG_KEEP"):
            shutil.rmtree(folder, ignore_errors=True)

    add_cleanup(cleanup)
    return run


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout, interval=0.1, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise TimeoutError("timed out after %ss waiting for %s" % (timeout, what))


def stop_process(proc, grace=5):
    """Ends one process that we started, by its PID."""
    if proc.poll() is not None:
        return proc.returncode
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.wait(grace)


# --- CUPS ------------------------------------------------------------------

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
    port = free_port()
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
    run["stops"].append(lambda: stop_process(proc))
    server = "127.0.0.1:%d" % port
    cups = {"proc": proc, "server": server, "port": port, "root": root, "capture": capture,
            "socket": socket_path}

    def answering():
        if proc.poll() is not None:
            raise RuntimeError("cupsd exited: " + read_text(os.path.join(root, "cupsd.out")))
        with socket.socket() as s:
            s.settimeout(0.5)
            return s.connect_ex(("127.0.0.1", port)) == 0

    wait_until(answering, 20, what="cupsd")
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


def captured_jobs(cups):
    """Complete jobs saved so far, oldest first: dicts with id, title,
    options, queue and data (the bytes the backend received)."""
    jobs = []
    for data_path in glob.glob(os.path.join(cups["capture"], "job-*.queue")):
        stem = data_path[:-len(".queue")]
        job_id = int(os.path.basename(stem)[4:])
        with open(stem + ".data", "rb") as f:
            data = f.read()
        jobs.append({"id": job_id, "title": read_text(stem + ".title"),
                     "options": read_text(stem + ".options"), "queue": read_text(stem + ".queue"),
                     "data": data, "path": stem + ".data"})
    return sorted(jobs, key=lambda job: job["id"])


def wait_for_jobs(cups, count, timeout=60):
    return wait_until(lambda: len(captured_jobs(cups)) >= count and captured_jobs(cups),
                      timeout, interval=0.2, what="%d captured job(s)" % count)


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except FileNotFoundError:
        return ""


# --- Wine -------------------------------------------------------------------

def base_prefix():
    """A booted 64-bit prefix, made once and shared read-only by all tests
    (they copy it: booting takes seconds, a copy about one)."""
    os.makedirs(BENCH_DIR, exist_ok=True)
    base = os.path.join(BENCH_DIR, "prefix-base")
    marker = os.path.join(base, ".booted")
    with open(os.path.join(BENCH_DIR, "prefix.lock"), "w") as lock:
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
    env.update({"WINEPREFIX": prefix, "WINEARCH": "win64", "WINEDEBUG": "-all",
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
    """Runs a Wine command to its end. Output goes through files: system
    processes that the first command starts inherit its stdio, so a pipe
    would never reach end of file."""
    with tempfile.TemporaryFile() as out:
        result = subprocess.run([WINE] + args, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT, timeout=timeout)
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    if check and result.returncode != 0:
        raise RuntimeError("wine %s exited %d: %s" % (" ".join(args), result.returncode, text))
    return result.returncode, text


def set_printer_attributes(env, queue, attributes):
    """Sets a queue's Attributes where Wine's spooler reads them (CUPS's own
    state never reaches Wine)."""
    key = "HKLM\\System\\CurrentControlSet\\Control\\Print\\Printers\\" + queue
    wine(env, ["reg", "add", key, "/v", "Attributes", "/t", "REG_DWORD", "/d", hex(attributes), "/f"])


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


# --- The product's installer ------------------------------------------------

PRODUCT = "VELQ printgate"
SERVICE = "USB Printer Service VELQ"
SETTINGS_KEY = "HKLM\\SOFTWARE\\" + SERVICE
DATA_KEY = "HKLM\\Software\\VELQ"
RUN_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"


def project_version():
    """The product version, from the top CMakeLists.txt (the one place it is set)."""
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(printgate VERSION (\d+\.\d+\.\d+)", f.read()).group(1)


def product_msi():
    return win_exe("installer/printgate-%s-x64.msi" % project_version())


def build_msi(run, version):
    """Another MSI of the product from the same programs, with a version of
    our choosing (for upgrades)."""
    out = os.path.join(run["dir"], "printgate-%s-x64.msi" % version)
    subprocess.run(["bash", os.path.join(SOURCE_DIR, "installer", "build_msi.sh"), out, version,
                    win_exe("tray/printgate.exe"), win_exe("watch/printerwatch.exe")],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, timeout=120)
    return out


def msiexec(run, env, args, name="msiexec"):
    """Runs Wine's msiexec silently with a verbose log in the run; returns
    (exit code, log text)."""
    log = os.path.join(run["dir"], name + ".log")
    code, text = wine(env, ["msiexec", "/qn"] + list(args) + ["/l*v", "Z:" + log.replace("/", "\\")],
                      check=False, timeout=300)
    return code, read_text(log) + text


def run_entry_program(env):
    """The program the machine-wide Run entry starts, as Windows reads the
    command: a quoted path and nothing after it."""
    command = (reg_values(env, RUN_KEY) or {}).get(PRODUCT)
    found = re.fullmatch(r'"([^"]+)"', command or "")
    if not found:
        raise ValueError("Run entry is not one quoted program: %r" % command)
    return found.group(1)


def installed_products(env, name=PRODUCT):
    """Entries of the installed-programs list with this display name:
    {product code: display version}."""
    code, text = wine(env, ["reg", "query", UNINSTALL_KEY, "/s"], check=False)
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


def start_program(run, env, exe, args=(), name="program"):
    """Starts a Windows program; stdout and stderr go to files in the run.
    Returns a dict with proc, out (path) and err (path)."""
    out = os.path.join(run["dir"], name + ".out")
    err = os.path.join(run["dir"], name + ".err")
    with open(out, "wb") as out_file, open(err, "wb") as err_file:
        proc = subprocess.Popen([WINE, exe] + list(args), env=env, stdin=subprocess.DEVNULL,
                                stdout=out_file, stderr=err_file)
    run["stops"].append(lambda: stop_process(proc))
    return {"proc": proc, "out": out, "err": err}


def start_printgate(run, env, exe=None, wait=True, name="printgate"):
    """Starts printgate.exe and, with wait, returns once 127.0.0.1:6780
    answers."""
    program = start_program(run, env, exe or win_exe("tray/printgate.exe"), name=name)
    if wait:
        wait_for_api(program)
    return program


def api_answering(port=API_PORT):
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) == 0


def wait_for_api(program, timeout=90):
    def up():
        if program["proc"].poll() is not None:
            raise RuntimeError("program exited with %s: %s" % (
                program["proc"].returncode, read_text(program["err"])[-2000:]))
        return api_answering()
    wait_until(up, timeout, interval=0.2, what="the API on port %d" % API_PORT)


def output(program):
    """What the program wrote on standard output so far, as bytes."""
    with open(program["out"], "rb") as f:
        return f.read()


def wait_for_output(program, needle, timeout=60):
    return wait_until(lambda: needle in output(program), timeout, what=repr(needle))


# --- HTTP -------------------------------------------------------------------

def http(method, path, body=None, headers=None, port=API_PORT, timeout=60):
    """One request on a fresh connection: (status, [(name, value)], body)."""
    connection = httpclient.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.getheaders(), response.read()
    finally:
        connection.close()


def raw_exchange(request_bytes, port=API_PORT, timeout=5):
    """Sends raw bytes and returns what the server answers until it closes
    the connection or goes quiet."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request_bytes)
        chunks = []
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        except socket.timeout:
            pass
        return b"".join(chunks)


GET_PRINTERS = b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n"


def read_answer(sock):
    """Reads one answer with a Content-Length from a kept connection and
    returns its head."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            raise ConnectionError("closed before the answer")
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = [line.split(b":")[1] for line in head.split(b"\r\n") if line.lower().startswith(b"content-length:")]
    while len(body) < int(length[0] if length else 0):
        body += sock.recv(65536)
    return head


def open_idle_connections(count, request=GET_PRINTERS, port=API_PORT, wait=True):
    """Connections as a browser leaves them: each has had one answer and
    waits, kept alive, for its next request. Without wait, the requests are
    only sent: past the server's workers the rest stay queued, held all the
    same. The caller closes them."""
    idle = []
    for _ in range(count):
        s = socket.create_connection(("127.0.0.1", port), timeout=30)
        idle.append(s)
        s.sendall(request)
        if wait:
            read_answer(s)
    return idle


@contextlib.contextmanager
def trickling_connections(count, port=API_PORT, interval=1.0):
    """Connections that send a request's head a byte per interval and never
    finish it, for as long as the block runs."""
    slow = []
    stop = threading.Event()

    def drip():
        while not stop.wait(interval):
            for s in slow:
                try:
                    s.sendall(b"x")
                except OSError:
                    pass
    dripper = threading.Thread(target=drip, daemon=True)
    try:
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=30)
            slow.append(s)
            s.sendall(b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
        dripper.start()
        yield slow
    finally:
        stop.set()
        if dripper.is_alive():
            dripper.join()
        for s in slow:
            s.close()


def thread_count(pid):
    """Threads of a process (under Wine, the Windows program's process)."""
    with open("/proc/%d/status" % pid) as f:
        return int([line.split()[1] for line in f if line.startswith("Threads:")][0])


# The server's workers (api/api_server.cpp), each serving one connection at a time.
WORKERS = 128
# Requests the server answers on one kept connection before closing it.
KEEP_ALIVE_REQUESTS = 100


def answers_on_one_connection(count, request=GET_PRINTERS, port=API_PORT):
    """Sends count requests one after another on one kept connection and
    returns the answers' heads, fewer if the server closes it first."""
    heads = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        for _ in range(count):
            try:
                s.sendall(request)
                heads.append(read_answer(s))
            except (ConnectionError, OSError):
                break
    return heads


def use_every_worker(requests, workers=WORKERS, port=API_PORT):
    """Has every worker serve each of requests (raw bytes) once: a thread's
    first request touches its stack and thread-local state, a cost bounded by
    the pool that a memory figure must not count as growth. One connection
    per worker, held by a first request and kept alive, so no worker takes
    two; all connections are sent each next request before any answer is
    read, so none waits idle past the keep-alive time-out."""
    per_pass = KEEP_ALIVE_REQUESTS - 1
    for first in range(0, len(requests), per_pass + 1):
        batch = requests[first:first + per_pass + 1]
        pinned = open_idle_connections(workers, batch[0], port)
        try:
            for request in batch[1:]:
                for s in pinned:
                    s.sendall(request)
                for s in pinned:
                    read_answer(s)
        finally:
            for s in pinned:
                s.close()


OPTIONS_GET_PRINTERS = b"OPTIONS /vqapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"


def serve_while_held(pid, workers=WORKERS, port=API_PORT):
    """A desk's idle browsers and slow clients at once: 64 idle keep-alive
    connections and 32 trickling ones, then a new client's requests; then
    more connections held than there are workers, and one more request,
    which must wait its turn rather than fail. Returns what was seen: the
    new client's statuses, the one past the pool, and the program's thread
    counts before, while held and past the pool."""
    # The workers are all started before the first connection is accepted.
    http("OPTIONS", "/vqapi/GetPrinters", port=port)
    seen = {"threads_before": thread_count(pid)}
    with trickling_connections(32, port):
        idle = open_idle_connections(64, OPTIONS_GET_PRINTERS, port)
        try:
            # Far longer than any answer takes, far shorter than a held
            # worker's keep-alive or trickle.
            seen["statuses"] = [http("POST", "/vqapi/GetPrinters", body=b"", port=port, timeout=10)[0]
                                for _ in range(10)]
            seen["threads_held"] = thread_count(pid)
            # Past the pool: these queue behind the held ones.
            idle += open_idle_connections(workers - 64, OPTIONS_GET_PRINTERS, port, wait=False)
            seen["status_past_pool"] = http("POST", "/vqapi/GetPrinters", body=b"", port=port, timeout=60)[0]
            seen["threads_past_pool"] = thread_count(pid)
        finally:
            for s in idle:
                s.close()
    return seen


def check_held_connections_and_queueing(test, pid):
    """The worker pool as both builds must have it (see serve_while_held)."""
    seen = serve_while_held(pid)
    test.assertEqual(seen["statuses"], [200] * 10, seen)
    test.assertEqual(seen["status_past_pool"], 200, seen)
    # The workers exist from the start; holding more never adds threads.
    test.assertLessEqual(seen["threads_past_pool"], seen["threads_before"] + 2, seen)


def check_kept_connection_carries_a_burst(test):
    heads = answers_on_one_connection(50)
    test.assertEqual(len(heads), 50)
    test.assertEqual([head for head in heads if b"connection: close" in head.lower()], [])
    test.assertIn(b"Keep-Alive: timeout=2, max=%d" % KEEP_ALIVE_REQUESTS, heads[0])


def cors_headers(headers):
    return [(k, v) for k, v in headers if k.lower().startswith("access-control-")]


# --- Browsers ---------------------------------------------------------------

class _QuietHandler(httpserver.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve_folder(run, folder):
    """Serves a folder over HTTP on an ephemeral loopback port, a page origin
    of its own, until the run's cleanup; returns the port."""
    site = httpserver.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(_QuietHandler, directory=folder))
    threading.Thread(target=site.serve_forever, daemon=True).start()
    run["stops"].append(site.server_close)
    run["stops"].append(site.shutdown)
    return site.server_port


def chromium_dom(run, url, name="chromium"):
    """Loads url in headless Chromium with a profile of the run's own, lets
    its scripts run, returns the DOM. Chromium and its helpers form a
    process group of their own, which is ended by its leader's PID if it
    overstays."""
    profile = os.path.join(run["dir"], name + "-profile")
    proc = subprocess.Popen(
        ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--user-data-dir=" + profile, "--virtual-time-budget=30000", "--dump-dom", url],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        start_new_session=True)
    try:
        dom, _ = proc.communicate(timeout=180)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    return dom.decode("utf-8", "replace")


# --- Server sockets ---------------------------------------------------------

def wineserver_pid(env):
    """The wineserver of env's prefix: the process whose working folder is
    the prefix's server folder, named after the prefix's device and inode
    (server-DEV-INODE, in a temporary folder)."""
    info = os.stat(env["WINEPREFIX"])
    folder = "/server-%x-%x" % (info.st_dev, info.st_ino)
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink("/proc/%s/cwd" % entry).endswith(folder):
                    return int(entry)
            except OSError:
                pass
    raise RuntimeError("no wineserver runs in a folder " + folder)


def listen_backlog(port=API_PORT):
    """The backlog of the socket listening on 127.0.0.1:port, as ss shows it
    (its send queue column)."""
    out = subprocess.run(["ss", "-Hltn", "sport = :%d" % port], check=True, stdout=subprocess.PIPE,
                         text=True).stdout.split()
    return int(out[2])


def accepted_socket_option(pids, client, level, option):
    """The option's value on the server's end of client's connection, read
    from whichever of pids holds it (the program, or Wine's server, which
    keeps the Unix socket of every Windows one): the socket is found by its
    inode in /proc/net/tcp and copied out with pidfd_getfd."""
    local_port = client.getsockname()[1]
    server_port = client.getpeername()[1]
    inode = None
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            local, remote = fields[1], fields[2]
            if int(local.split(":")[1], 16) == server_port and int(remote.split(":")[1], 16) == local_port:
                inode = fields[9]
    if inode is None:
        raise RuntimeError("the server's end of the connection is not in /proc/net/tcp")
    libc = ctypes.CDLL(None, use_errno=True)
    for pid in pids:
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if target != "socket:[%s]" % inode:
                continue
            pidfd = os.pidfd_open(pid)
            try:
                copy = libc.syscall(438, pidfd, int(fd), 0)  # pidfd_getfd
                if copy < 0:
                    raise OSError(ctypes.get_errno(), "pidfd_getfd")
                with socket.socket(fileno=copy) as s:
                    return s.getsockopt(level, option)
            finally:
                os.close(pidfd)
    raise RuntimeError("no process of %s holds the server's socket" % (pids,))


# --- X display --------------------------------------------------------------

def start_xvfb(run, size="1024x768x24"):
    """A private X display for windows and the tray; returns ":N"."""
    for number in range(90, 140):
        if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
            continue
        display = ":%d" % number
        log = open(os.path.join(run["dir"], "xvfb.log"), "w")
        proc = subprocess.Popen(["Xvfb", display, "-nolisten", "tcp", "-screen", "0", size],
                                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        try:
            wait_until(lambda: proc.poll() is not None or os.path.exists("/tmp/.X11-unix/X%d" % number),
                       10, what="Xvfb")
        except TimeoutError:
            stop_process(proc)
            continue
        if proc.poll() is None:
            run["stops"].append(lambda: stop_process(proc))
            return display
    raise RuntimeError("no free X display")


def screenshot(display, path):
    """Saves the whole X display as a PNG (ImageMagick's import)."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    subprocess.run(["/usr/bin/import", "-display", display, "-window", "root", path],
                   stdin=subprocess.DEVNULL, check=True, timeout=60)
    return path


def pixels(png, x, y, width, height):
    """The RGB bytes of a rectangle of a picture, row by row."""
    result = subprocess.run(["/usr/bin/convert", png, "-crop", "%dx%d+%d+%d" % (width, height, x, y),
                             "+repage", "-depth", "8", "rgb:-"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, check=True, timeout=60)
    return result.stdout


def x_input(display, args):
    """Pointer and keyboard input on a display of ours (xdotool), e.g.
    ["mousemove", "200", "150", "click", "1"]."""
    subprocess.run(["xdotool"] + list(args), env={"DISPLAY": display, "PATH": os.environ.get("PATH", "")},
                   stdin=subprocess.DEVNULL, check=True, timeout=30)


# --- Network namespaces -----------------------------------------------------

def new_netns(run, index=1):
    """A network namespace of this test run, joined to the host by a veth
    pair with addresses the run chooses. Returns a dict with name,
    host_address and ns_address; the run's cleanup removes both ends."""
    tag = "%d%d" % (os.getpid() % 10000, index)
    name = "pg" + tag
    host_if, ns_if = "pgh" + tag, "pgn" + tag
    octet = 1 + (os.getpid() + index) % 250
    host_address, ns_address = "10.213.%d.1" % octet, "10.213.%d.2" % octet

    def ip(*args, check=True):
        return subprocess.run(["ip"] + list(args), check=check, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=30)

    ip("netns", "add", name)
    run["stops"].append(lambda: ip("netns", "del", name, check=False))
    ip("link", "add", host_if, "type", "veth", "peer", "name", ns_if)
    run["stops"].append(lambda: ip("link", "del", host_if, check=False))
    ip("link", "set", ns_if, "netns", name)
    ip("addr", "add", host_address + "/30", "dev", host_if)
    ip("link", "set", host_if, "up")
    ip("netns", "exec", name, "ip", "addr", "add", ns_address + "/30", "dev", ns_if)
    ip("netns", "exec", name, "ip", "link", "set", ns_if, "up")
    ip("netns", "exec", name, "ip", "link", "set", "lo", "up")
    return {"name": name, "host_address": host_address, "ns_address": ns_address}


def connect_from_netns(netns, address, port, timeout=5):
    """Tries a TCP connection from inside the namespace: "connected",
    "refused" or "timeout"."""
    probe = ("import socket,sys\n"
             "s=socket.socket();s.settimeout(%d)\n"
             "try:\n s.connect((%r,%d));print('connected')\n"
             "except ConnectionRefusedError: print('refused')\n"
             "except OSError as e: print('timeout' if isinstance(e, socket.timeout) else 'error '+str(e))\n"
             % (timeout, address, port))
    result = subprocess.run(["ip", "netns", "exec", netns["name"], "/usr/bin/python3", "-c", probe],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, timeout=timeout + 30)
    return result.stdout.strip()


# --- Virtual USB printers and printerwatch's passes --------------------------
#
# The bench's virtual USB printer bus (tests/bench-win/usbbus/) is a Wine
# kernel driver: each plugged printer is a real device with a USB printer
# interface that SetupAPI lists and that answers reads, so printerwatch's own
# discovery and reads run against it. The children live in the prefix's
# driver host, which lives as long as its wineserver: install_usb_bus makes
# that server persistent, and the run's cleanup ends it with `wineserver -k`.

FAMILY = (0x8888, 0x0026, 0x02)  # vendor, product, interface of the label printers
USB_PRINT_GUID = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"
STATE_STOPPED, STATE_RUNNING = 1, 4
USB_WAIT = 60  # seconds any one bus command may take, plug and unplug included


def usbbus_tool():
    return win_exe("tests/bench-win/usbbus/usbbus_tool.exe")


def watch_tool(name):
    """A bench tool of the watch folder, e.g. watch_tool("svcctl_helper.exe")."""
    return win_exe("watch/" + name)


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


def _bus_command(env, args, timeout=USB_WAIT):
    """Runs one usbbus_tool command; raises with its one-line answer on failure."""
    try:
        code, text = wine(env, [usbbus_tool()] + [str(a) for a in args], timeout=timeout, check=False)
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
    (keep_wine_up). Raises RuntimeError with one line when it can't."""
    keep_wine_up(run, env)
    started = time.monotonic()
    _bus_command(env, ["install", inf or win_exe("tests/bench-win/usbbus/benchusb.inf")], timeout=120)
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
    program = start_program(run, env, usbbus_tool(), ["events", str(seconds)], name="device-events")
    wait_until(lambda: b"ready" in output(program) or program["proc"].poll() is not None, USB_WAIT,
               what="the device-event window")
    if b"ready" not in output(program):
        raise RuntimeError("device-event window: " + output(program).decode("utf-8", "replace").strip())
    return program


def device_events(program):
    """Events seen so far: dicts with kind (arrival, removal), class
    (usbprint, other), encoding (ansi, utf16) and name."""
    events = []
    for line in output(program).decode("utf-8", "replace").splitlines():
        words = line.split()
        if words and words[0] in ("arrival", "removal"):
            fields = dict(word.split("=", 1) for word in words[1:])
            fields["kind"] = words[0]
            events.append(fields)
    return events


def spooler_queues(env):
    """Wine's queues as a program sees them: dicts with name, driver, port,
    attributes and position (-1 when "Position" can't be read)."""
    _, text = wine(env, [watch_tool("watch_spool_tool.exe"), "list"])
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
    The key is the name a queue was created with: Wine's level-2 rename only
    changes the "Name" value, and OpenPrinter finds queues by key."""
    _, text = wine(env, ["reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Print\\Printers", "/s"])
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
    wine(env, [watch_tool("watch_spool_tool.exe"), "driver", name, "C:\\bench-label.ppd"])


def install_printerwatch(env, service, base_name, driver, port="FILE:", data_dir="C:\\velqdata"):
    """Copies printerwatch.exe into the prefix, writes its settings under
    SOFTWARE\\<service> and the data directory under Software\\VELQ, and creates
    the service (not started). Returns the data directory's host path."""
    key = "HKLM\\SOFTWARE\\" + service
    for name, value in (("PrinterName", base_name), ("DriverName", driver), ("PrinterPort", port)):
        wine(env, ["reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f"])
    host_dir = os.path.join(env["WINEPREFIX"], "drive_c", *data_dir[3:].split("\\"))
    os.makedirs(host_dir, exist_ok=True)
    wine(env, ["reg", "add", "HKLM\\Software\\VELQ", "/v", "Data Directory", "/t", "REG_SZ", "/d", data_dir, "/f"])
    target = os.path.join(env["WINEPREFIX"], "drive_c", "velq")
    os.makedirs(target, exist_ok=True)
    shutil.copy(watch_tool("printerwatch.exe"), target)
    wine(env, ["sc", "create", service, "binPath=", "C:\\velq\\printerwatch.exe", "DisplayName=", service])
    return host_dir


def service_state(env, service):
    """The state the SCM reports for `service` (1 stopped, 4 running...), or None."""
    _, text = wine(env, [watch_tool("svcctl_helper.exe"), service, "query"], check=False)
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
    wine(env, ["sc", "start", service])
    wait_until(lambda: service_state(env, service) == STATE_RUNNING, timeout, interval=0.2,
               what="%s to report RUNNING after its pass" % service)
    seconds = time.monotonic() - started
    wine(env, [watch_tool("svcctl_helper.exe"), service, "stop"], check=False)
    wait_until(lambda: service_state(env, service) == STATE_STOPPED, timeout, interval=0.2,
               what="%s to report STOPPED" % service)
    return seconds
