"""Web pages for the browser suites: a folder served on a loopback port of its
own, and the DOM headless Chromium makes of a page."""

import functools
import http.server as httpserver
import os
import signal
import subprocess
import threading


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
