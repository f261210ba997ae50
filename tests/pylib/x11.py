"""A private X display (Xvfb, stopped by PID), its screenshots and pixels,
and pointer and keyboard input on it."""

import os
import subprocess

from pylib import processes


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
            processes.wait_until(lambda: proc.poll() is not None or os.path.exists("/tmp/.X11-unix/X%d" % number),
                       10, what="Xvfb")
        except TimeoutError:
            processes.stop_process(proc)
            continue
        if proc.poll() is None:
            run["stops"].append(lambda: processes.stop_process(proc))
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
