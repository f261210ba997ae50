"""Real browsers for the page tests: headless Chromium and Firefox ESR
(Debian's), each started with a private profile in the test's run folder and
stopped by its own PID, and a loopback site that serves the repository and
collects what pages report.

A page reports by POSTing JSON to /report?id=NAME on the site; the test
waits for that id. No WebDriver: the page itself says what happened.
"""

import http.server
import json
import os
import queue
import signal
import shutil
import subprocess
import tempfile
import threading

from pylib import paths

FIREFOX_PREFS = """
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("datareporting.healthreport.uploadEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.disabledForTesting", true);
user_pref("extensions.update.enabled", false);
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
"""


def version(browser):
    """The browser's own version line, e.g. "Chromium 156.0...."."""
    program = {"chromium": "chromium", "firefox": "firefox-esr"}[browser]
    out = subprocess.run([program, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True, timeout=60, env=browser_env(None))
    return out.stdout.strip().splitlines()[-1]


def browser_env(home):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env["MOZ_HEADLESS"] = "1"
    if home:
        env["HOME"] = home
    return env


def private_folders(run, name):
    """A fresh profile folder for the run's browser `name`, and the
    environment to start it in: a home in the run folder and a TMPDIR of its
    own. Chromium's singleton socket lives in a folder under TMPDIR that a
    stopped browser leaves behind; this one goes with the run. It is not in
    the run folder, where the socket's path would pass the 108 bytes a Unix
    socket's name may have (Chromium then aborts). Returns (profile, env)."""
    profile = os.path.join(run["dir"], name + "-profile")
    home = os.path.join(run["dir"], name + "-home")
    os.makedirs(profile)
    os.makedirs(home)
    tmp = tempfile.mkdtemp(prefix="pg-browser-")
    # Added before the browser's own stop, so it runs after it.
    run["stops"].append(lambda: shutil.rmtree(tmp, ignore_errors=True))
    env = browser_env(home)
    env["TMPDIR"] = tmp
    return profile, env


def start_browser(run, browser, url, name=None):
    """Starts a headless browser on url with a fresh profile; the run's
    cleanup stops it. Returns the Popen."""
    name = name or browser
    profile, env = private_folders(run, name)
    if browser == "chromium":
        args = ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--no-default-browser-check", "--disable-background-networking", "--disable-sync",
                "--disable-component-update", "--user-data-dir=" + profile, url]
    else:
        with open(os.path.join(profile, "user.js"), "w") as f:
            f.write(FIREFOX_PREFS)
        args = ["firefox-esr", "--headless", "--no-remote", "--profile", profile, url]
    # A session of its own: the browser's helpers join its process group,
    # which is ended through the browser's own PID.
    with open(os.path.join(run["dir"], name + ".log"), "wb") as log:
        proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, start_new_session=True)
    run["stops"].append(lambda: stop_browser(proc))
    return proc


def stop_browser(proc, grace=10):
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            pass
    # Helpers of an ended browser may linger in its group.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    proc.wait(grace)


class Site:
    """Serves the repository on an ephemeral loopback port (another origin
    than printgate's) and collects reports."""

    def __init__(self, run, tls=None):
        reports = {}
        lock = threading.Condition()
        self.reports, self.lock = reports, lock

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, directory=paths.SOURCE_DIR, **kwargs)

            def log_message(self, *args):
                pass

            def do_POST(self):
                path, _, query = self.path.partition("?")
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length)
                if path != "/report":
                    self.send_error(404)
                    return
                with lock:
                    reports[query.partition("id=")[2]] = json.loads(body)
                    lock.notify_all()
                self.send_response(204)
                self.end_headers()

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        if tls:
            # The handshake happens in the request's own thread, so one
            # stalled browser connection holds up no other.
            self.server.socket = tls.wrap_socket(self.server.socket, server_side=True,
                                                 do_handshake_on_connect=False)
        self.port = self.server.server_port
        thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        thread.start()
        run["stops"].append(self.close)

    def close(self):
        self.server.shutdown()
        self.server.server_close()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def wait_report(self, report_id, timeout=120, proc=None):
        with self.lock:
            ok = self.lock.wait_for(lambda: report_id in self.reports or (proc and proc.poll() is not None),
                                    timeout)
            if not ok or report_id not in self.reports:
                raise TimeoutError("no report %r from the page (browser exit %s)" %
                                   (report_id, proc.poll() if proc else None))
            return self.reports[report_id]
