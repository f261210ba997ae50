"""Network namespaces of a test run, joined to the host by a veth pair, and
connections tried from inside one."""

import os
import subprocess


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
