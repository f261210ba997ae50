"""Where things are: the source tree, the two builds and the bench's scratch
space, from the environment CTest sets (PG_SOURCE_DIR, PG_WIN_BUILD,
PG_NATIVE_BUILD, PG_BENCH_DIR) or the usual places below the source tree.
A benchmark may point WIN_BUILD or BENCH_DIR elsewhere before it starts
anything: they are read when used."""

import os
import re


SOURCE_DIR = os.environ.get(
    "PG_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
WIN_BUILD = os.environ.get("PG_WIN_BUILD", os.path.join(SOURCE_DIR, "build", "win"))
NATIVE_BUILD = os.environ.get("PG_NATIVE_BUILD", os.path.join(SOURCE_DIR, "build", "native"))
BENCH_DIR = os.environ.get("PG_BENCH_DIR", os.path.join(SOURCE_DIR, "build", "bench"))
# The bench's patched Wine and its conformance tests (scripts/setup.sh builds it).
WINE_DIR = os.environ.get("PG_WINE_DIR", os.path.join(SOURCE_DIR, "build", "wine"))


def win_exe(relative):
    """Path of a program of the cross build, e.g. win_exe("tray/printgate.exe")."""
    path = os.path.join(WIN_BUILD, relative)
    if not os.path.exists(path):
        raise FileNotFoundError(path + " is missing: build the Windows target first")
    return path


def watch_tool(name):
    """A bench tool of the watch folder, e.g. watch_tool("svcctl_helper.exe")."""
    return win_exe("watch/" + name)


def project_version():
    """The product version, from the top CMakeLists.txt (the one place it is set)."""
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(printgate VERSION (\d+\.\d+\.\d+)", f.read()).group(1)
