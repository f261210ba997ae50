"""The server's sockets seen from outside: the listening backlog, an option
of the server's end of a connection, copied out of the process that holds
it, and whether the server has closed a connection."""

import ctypes
import os
import socket
import subprocess

from pylib.httpapi import API_PORT


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


def peer_closed(sock):
    """Whether the other end has closed a connection with nothing unread on
    it, without waiting."""
    timeout = sock.gettimeout()
    # With a time-out, Python waits for the socket to be readable first.
    sock.settimeout(0)
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except ConnectionError:
        return True
    finally:
        sock.settimeout(timeout)
