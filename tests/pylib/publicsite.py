"""Pages from a public https site, as the users' pages come: the repository
served over TLS (a throwaway self-signed certificate) on a loopback port,
under names the browsers map to it and are told is a public address, so that
a request to printgate meets the browsers' local-network permission.

The browsers are driven through their own automation channels, which need
nothing beyond Debian's packages: Chromium's DevTools protocol over a pipe
(--remote-debugging-pipe), Firefox's Marionette on a loopback port written to
the profile. Every browser is started here and stopped by its own PID.
"""

import base64
import fcntl
import json
import os
import socket
import ssl
import subprocess
import threading

from pylib import browsers, processes

# The listed company site and a site no administrator listed.
LISTED = "labels.example.com"
UNLISTED = "shop.example.net"
SUBDOMAIN = "a.shop.example.com"
# One site per case of a browser's table, each met unasked.
CASES = ("granted", "denied", "prompt", "refused", "absent", "tabs")
HOSTS = (LISTED, UNLISTED, SUBDOMAIN) + tuple(case + ".example.org" for case in CASES)
PERMISSION = "loopback-network"


def make_certificate(run):
    """A self-signed certificate for HOSTS; returns (cert, key, spki), spki
    being the base64 SHA-256 of its public key as Chromium pins it."""
    cert = os.path.join(run["dir"], "site.crt")
    key = os.path.join(run["dir"], "site.key")
    names = ",".join("DNS:" + host for host in HOSTS)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", "/CN=" + LISTED, "-addext", "subjectAltName=" + names,
                    "-keyout", key, "-out", cert], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    der = subprocess.run("openssl x509 -in '%s' -pubkey -noout | openssl pkey -pubin -outform der" % cert,
                         shell=True, check=True, stdout=subprocess.PIPE, timeout=60).stdout
    digest = subprocess.run(["openssl", "dgst", "-sha256", "-binary"], input=der, check=True,
                            stdout=subprocess.PIPE, timeout=60).stdout
    return cert, key, base64.b64encode(digest).decode()


class PublicSite(browsers.Site):
    """browsers.Site over TLS; pages are addressed by host name."""

    def __init__(self, run):
        self.cert, self.key, self.spki = make_certificate(run)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(self.cert, self.key)
        super().__init__(run, tls=context)

    def origin(self, host, browser):
        # Chromium maps the name's port 443 to the site; Firefox cannot move
        # a port, so its pages keep the site's own.
        return "https://" + host if browser == "chromium" else "https://%s:%d" % (host, self.port)

    def page(self, host, browser, path):
        return self.origin(host, browser) + path


# --- Chromium: DevTools protocol over a pipe ---------------------------------

class Chromium:
    def __init__(self, run, site, name):
        profile, env = browsers.private_folders(run, name)
        rules = ", ".join("MAP %s 127.0.0.1:%d" % (host, site.port) for host in HOSTS)
        args = ["chromium", "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--no-default-browser-check", "--disable-background-networking", "--disable-sync",
                "--disable-component-update", "--user-data-dir=" + profile,
                "--host-resolver-rules=" + rules,
                "--ip-address-space-overrides=127.0.0.1:%d=public" % site.port,
                "--ignore-certificate-errors-spki-list=" + site.spki,
                "--remote-debugging-pipe", "about:blank"]
        # The browser reads commands on descriptor 3 and answers on 4.
        toBrowser, self.commands = os.pipe()
        self.answers, fromBrowser = os.pipe()

        def pipes():
            # Out of the way first: either end may itself sit on 3 or 4.
            high = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (toBrowser, fromBrowser)]
            os.dup2(high[0], 3)
            os.dup2(high[1], 4)

        with open(os.path.join(run["dir"], name + ".log"), "wb") as log:
            self.proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
                                         preexec_fn=pipes, pass_fds=(3, 4))
        os.close(toBrowser)
        os.close(fromBrowser)
        run["stops"].append(self.stop)
        self.next_id, self.pending, self.lock = 0, {}, threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buffer = b""
        while True:
            chunk = os.read(self.answers, 65536)
            if not chunk:
                break
            buffer += chunk
            while b"\0" in buffer:
                message, buffer = buffer.split(b"\0", 1)
                answer = json.loads(message)
                if "id" in answer:
                    with self.lock:
                        self.pending[answer["id"]] = answer
                        self.lock.notify_all()

    def call(self, method, params=None, timeout=60, session=None):
        """A command to the browser, or with session to one page."""
        with self.lock:
            self.next_id += 1
            ident = self.next_id
        message = {"id": ident, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        with self.lock:
            if not self.lock.wait_for(lambda: ident in self.pending, timeout):
                raise TimeoutError("no answer to " + method)
            answer = self.pending.pop(ident)
        if "error" in answer:
            raise RuntimeError("%s: %s" % (method, answer["error"]))
        return answer["result"]

    def set_permission(self, origin, setting):
        self.call("Browser.setPermission", {"permission": {"name": PERMISSION}, "setting": setting,
                                            "origin": origin})

    def open(self, url):
        self.call("Target.createTarget", {"url": url})

    def open_driven(self, url):
        """Loads url in a new page; returns a session on it for evaluate()."""
        target = self.call("Target.createTarget", {"url": url})["targetId"]
        return self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]

    def evaluate(self, session, expression):
        """The value of a script expression in the page, awaited if it is a
        promise, as a person's click or a look at the page would be."""
        answer = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, session=session)
        if "exceptionDetails" in answer:
            raise RuntimeError("the page's script failed: %s" % answer["exceptionDetails"])
        return answer["result"].get("value")

    def open_tab(self, url):
        """Loads url in a tab of its own."""
        self.open(url)

    def stop(self):
        browsers.stop_browser(self.proc)
        for fd in (self.commands, self.answers):
            try:
                os.close(fd)
            except OSError:
                pass


# --- Firefox: Marionette ---------------------------------------------------------

FIREFOX_PUBLIC_PREFS = """
user_pref("marionette.port", 0);
user_pref("network.dns.localDomains", "%(hosts)s");
user_pref("network.lna.address_space.public.override", "127.0.0.1:%(port)d");
"""


def read_port(path):
    try:
        with open(path) as f:
            return int(f.read().strip() or 0)
    except FileNotFoundError:
        return 0


class Firefox:
    def __init__(self, run, site, name, prompt_timeout_ms=None):
        profile, env = browsers.private_folders(run, name)
        prefs = browsers.FIREFOX_PREFS + FIREFOX_PUBLIC_PREFS % {"hosts": ",".join(HOSTS), "port": site.port}
        if prompt_timeout_ms is not None:
            prefs += 'user_pref("network.lna.prompt.timeout", %d);\n' % prompt_timeout_ms
        with open(os.path.join(profile, "user.js"), "w") as f:
            f.write(prefs)
        args = ["firefox-esr", "--headless", "--no-remote", "--marionette", "-remote-allow-system-access", "--profile", profile, "about:blank"]
        with open(os.path.join(run["dir"], name + ".log"), "wb") as log:
            self.proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                         stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        run["stops"].append(lambda: browsers.stop_browser(self.proc))
        portFile = os.path.join(profile, "MarionetteActivePort")
        port = processes.wait_until(lambda: read_port(portFile), 120, what="Marionette to listen")
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=120)
        run["stops"].append(self.sock.close)
        self.buffer = b""
        self.next_id = 0
        self._receive()  # the server's greeting
        self.call("WebDriver:NewSession", {"acceptInsecureCerts": True})

    def _receive(self):
        while b":" not in self.buffer:
            self.buffer += self.sock.recv(65536)
        length, _, rest = self.buffer.partition(b":")
        while len(rest) < int(length):
            rest += self.sock.recv(65536)
        message, self.buffer = rest[:int(length)], rest[int(length):]
        return json.loads(message)

    def call(self, command, params=None):
        self.next_id += 1
        data = json.dumps([0, self.next_id, command, params or {}]).encode()
        self.sock.sendall(b"%d:%s" % (len(data), data))
        while True:
            _, ident, error, result = self._receive()
            if ident == self.next_id:
                break
        if error:
            raise RuntimeError("%s: %s" % (command, error))
        return result

    def set_permission(self, origin, setting):
        # Marionette sets a permission for the page it is on.
        self.call("WebDriver:Navigate", {"url": origin + "/examples/"})
        self.call("WebDriver:SetPermission", {"descriptor": {"name": PERMISSION}, "state": setting})

    def open(self, url):
        # Navigate would wait for the page's load event, which a page held on
        # the prompt never reaches before the test answers it.
        self.call("WebDriver:ExecuteScript", {"script": "location.href = arguments[0]", "args": [url]})

    def open_tab(self, url):
        """Loads url in a new tab, which stays the current one."""
        handle = self.call("WebDriver:NewWindow", {"type": "tab", "focus": True})["handle"]
        self.call("WebDriver:SwitchToWindow", {"handle": handle, "focus": True})
        self.open(url)

    def answer_prompt(self, allow):
        """Answers the browser's permission box as the person would (Allow
        or Block); returns the permission it asked for."""
        return self.chrome_script("""
            const win = Services.wm.getMostRecentWindow("navigator:browser");
            const box = win.PopupNotifications._currentNotifications[0];
            if (!box) return null;
            const action = arguments[0] ? box.mainAction : box.secondaryActions[0];
            action.callback({});
            win.PopupNotifications.remove(box);
            return box.id;""", [allow])

    def chrome_script(self, script, args=()):
        self.call("Marionette:SetContext", {"value": "chrome"})
        try:
            return self.call("WebDriver:ExecuteScript", {"script": script, "args": list(args)})["value"]
        finally:
            self.call("Marionette:SetContext", {"value": "content"})


def start(run, site, browser, name, **kwargs):
    return (Chromium if browser == "chromium" else Firefox)(run, site, name, **kwargs)


def wait_report(site, browser, report_id, timeout=120):
    return site.wait_report(report_id, timeout=timeout, proc=browser.proc)
