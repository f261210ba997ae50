"""The two programs' log files in a Wine prefix, and printerwatch's event
ids as the C++ header numbers them (read from it, not copied)."""

import glob
import os
import re

from pylib import paths

# "2026-12-09 08:30:00.123 [1234] text"
LINE = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \[(\d+)\] (.*)$")


def printgate_log_path(env):
    """Host path of the Wine user's %LOCALAPPDATA%\\VELQ\\printgate\\printgate.log."""
    users = glob.glob(os.path.join(env["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Local"))
    users = [u for u in users if os.path.basename(os.path.dirname(os.path.dirname(u))) != "Public"]
    if len(users) != 1:
        raise RuntimeError("expected one Wine user with AppData\\Local, found %s" % users)
    return os.path.join(users[0], "VELQ", "printgate", "printgate.log")


def printgate_log_win_path(env):
    """The same path as printgate sees it."""
    # .../drive_c/users/<user>/AppData/Local/VELQ/printgate/printgate.log
    user = printgate_log_path(env).split(os.sep)[-6]
    return "C:\\users\\%s\\AppData\\Local\\VELQ\\printgate\\printgate.log" % user


def read_log(path):
    """The file's lines as (stamp, pid, text); raises if a line isn't one
    the writer makes or the file isn't UTF-8."""
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-8")
    if text and not text.endswith("\r\n"):
        raise AssertionError("the log does not end with a line end: %r" % text[-200:])
    lines = []
    for raw in text.split("\r\n")[:-1]:
        match = LINE.match(raw)
        if not match:
            raise AssertionError("not a log line: %r" % raw)
        lines.append((match.group(1), int(match.group(2)), match.group(3)))
    return lines


def texts(path):
    return [text for _, _, text in read_log(path)]


def event_ids():
    """{"Started": 0x40000001, ...} from watch/event_ids.h."""
    with open(os.path.join(paths.SOURCE_DIR, "watch", "event_ids.h")) as f:
        return {name: int(value, 16) for name, value in
                re.findall(r"constexpr uint32_t kEvent(\w+) = (0x[0-9A-Fa-f]+);", f.read())}
