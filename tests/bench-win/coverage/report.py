"""Coverage of the Win32 backends (every *_win.cpp of the two programs) under
the Windows bench: runs every bench suite against the gcov-instrumented cross
build, then prints and writes a table per file: functions and lines reached
under Wine, and each unreached function with the reason no case reaches it.

    python3 report.py --build build/win-cov --out bench/win_coverage.md [--no-run]

scripts/win_coverage.sh builds the instrumented programs and calls this.
"""

import argparse
import glob
import json
import os
import signal
import subprocess
import sys
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
BENCH_WIN = os.path.join(SOURCE_DIR, "tests", "bench-win")
GCOV = "x86_64-w64-mingw32-gcov"

# The shipped programs' folders; only their targets are built with counters
# (bench tools that compile a backend of their own are not), so each
# backend has exactly one .gcno.
PROGRAM_FOLDERS = ("base", "common", "api", "server", "intake", "render", "tray", "watch/win", "policies")


def sources():
    """Every shipped *_win.cpp, relative to the source tree."""
    found = []
    for folder in PROGRAM_FOLDERS:
        found += sorted(os.path.relpath(p, SOURCE_DIR) for p in glob.glob(os.path.join(SOURCE_DIR, folder, "*_win.cpp")))
    return found


# Why a function is never reached under the bench: a gap of Wine's (named),
# or a case the bench lacks. Keyed by (file, function as gcov names it).
UNREACHED = {
    ("watch/win/spool_win.cpp", "SpoolSetStatus(void*, unsigned int, unsigned int*)"):
        "Wine gap: a queue's Status is always 0 under Wine (CUPS's state never reaches it), "
        "so the pass never clears one",
    ("render/printing_win.cpp", "StorePrintCopies(void*, short)"):
        "missing case: no bench job asks for more than one copy",
    ("render/printing_win.cpp", "AbortPrintDocument(void*)"):
        "missing case: no bench job fails after its document started",
}


# A suite's bound, as in CTest (900 s) with room for -O0 and the counters'
# dumps; one that outlives it is interrupted, then ended.
SUITE_SECONDS = 1200


def build_files(build, suffix, scratch):
    """Every file of the build ending in suffix, in one walk. Never follows
    links and never enters the suites' scratch folder: a Wine prefix there
    has dosdevices/z: pointing at /, which a recursive glob follows into the
    whole file system, this build included, without end."""
    found = []
    for folder, subfolders, files in os.walk(build):
        subfolders[:] = [d for d in subfolders if os.path.join(folder, d) != scratch]
        found += [os.path.join(folder, f) for f in files if f.endswith(suffix)]
    return found


def suite_scripts():
    found = []
    for folder, _, files in os.walk(BENCH_WIN):
        found += [os.path.join(folder, f) for f in files if f.startswith("test_") and f.endswith(".py")]
    return sorted(found)


def run_suite(script, env):
    """One suite in a process group of its own; returns (verdict, output).
    Past its bound it gets SIGINT (its cleanups stop what it started), then
    its group is ended."""
    module = os.path.splitext(os.path.basename(script))[0]
    proc = subprocess.Popen([sys.executable, "-m", "unittest", module], cwd=os.path.dirname(script), env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, start_new_session=True)
    try:
        output, _ = proc.communicate(timeout=SUITE_SECONDS)
        return ("ok" if proc.returncode == 0 else "FAILED"), output
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGINT)
        try:
            output, _ = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            output, _ = proc.communicate()
        return "TIMED OUT after %d s" % SUITE_SECONDS, output


def run_suites(build, scratch):
    """Every bench suite once against the instrumented build; returns the
    suites that failed (the report is made all the same)."""
    env = dict(os.environ)
    env.update({"PYTHONPATH": os.path.join(SOURCE_DIR, "tests"), "PG_SOURCE_DIR": SOURCE_DIR, "PG_WIN_BUILD": build,
                "PG_BENCH_DIR": scratch,
                # The .gcda paths are the build's Linux paths; Z: is / in a prefix.
                "GCOV_PREFIX": "Z:"})
    os.makedirs(scratch, exist_ok=True)
    failed = []
    for script in suite_scripts():
        started = time.monotonic()
        verdict, output = run_suite(script, env)
        print("%-40s %s (%.0f s)" % (os.path.relpath(script, BENCH_WIN), verdict, time.monotonic() - started),
              flush=True)
        if verdict != "ok":
            failed.append(os.path.splitext(os.path.basename(script))[0])
            print(output[-3000:], flush=True)
    return failed


def note_source(build, note):
    """The source, relative to the source tree, that a .gcno of the build was
    compiled from: CMake keeps an object at the source's path relative to its
    target's folder, under CMakeFiles/TARGET.dir, with ".." spelt "__"."""
    parts = os.path.relpath(note[:-len(".gcno")], build).split(os.sep)
    if "CMakeFiles" in parts:
        at = parts.index("CMakeFiles")
        parts = parts[:at] + [".." if p == "__" else p for p in parts[at + 2:]]
    return os.path.normpath(os.path.join(*parts))


def gcov_file(build, notes, source):
    """gcov's JSON record of one source: its functions and lines. A .gcno left
    by a source that has since moved or gone is not this source's."""
    notes = [n for n in notes if note_source(build, n) == source]
    if len(notes) != 1:
        raise FileNotFoundError("%d .gcno files for %s: build with -DPG_COVERAGE=ON first" % (len(notes), source))
    folder = os.path.dirname(notes[0])
    stem = notes[0][:-len(".gcno")]
    result = subprocess.run([GCOV, "--json-format", "--stdout", "--demangled-names", stem + ".gcda"],
                            cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, timeout=120, check=True)
    for line in result.stdout.splitlines():
        record = json.loads(line)
        for entry in record["files"]:
            if entry["file"].endswith(source):
                return entry
    raise RuntimeError("gcov has no record of " + source)


def table(build):
    rows, unreached = [], []
    notes = build_files(build, ".gcno", os.path.join(build, "bench"))
    for source in sources():
        entry = gcov_file(build, notes, source)
        functions = entry["functions"]
        lines = entry["lines"]
        reached = [f for f in functions if f["execution_count"] > 0]
        rows.append((source, len(reached), len(functions), sum(1 for l in lines if l["count"] > 0), len(lines)))
        for function in functions:
            if function["execution_count"] == 0:
                name = function.get("demangled_name", function["name"])
                reason = UNREACHED.get((source, name), "no bench case reaches it")
                unreached.append((source, name, reason))
    return rows, unreached


def render(rows, unreached, failed):
    out = ["# Coverage of the Win32 backends under the Windows bench", "",
           "Written by `bash scripts/win_coverage.sh` (every bench suite against the gcov build "
           "of the two programs). Functions and lines of each `*_win.cpp` reached under Wine.", "",
           "| file | functions | lines |", "|---|---|---|"]
    total = [0, 0, 0, 0]
    for source, freached, ftotal, lreached, ltotal in rows:
        out.append("| `%s` | %d / %d | %d / %d (%.0f%%) |" % (source, freached, ftotal, lreached, ltotal,
                                                              100.0 * lreached / max(ltotal, 1)))
        for i, value in enumerate((freached, ftotal, lreached, ltotal)):
            total[i] += value
    out.append("| all | %d / %d | %d / %d (%.0f%%) |" % (total[0], total[1], total[2], total[3],
                                                         100.0 * total[2] / max(total[3], 1)))
    out += ["", "Functions no case reaches, and why:", ""]
    out += ["- `%s` `%s`: %s" % item for item in unreached] or ["- none"]
    if failed:
        out += ["", "Suites that failed in this run: " + ", ".join(failed)]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--out")
    parser.add_argument("--no-run", action="store_true", help="report the counters already written")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    failed = []
    scratch = os.path.join(build, "bench")
    if not args.no_run:
        for data in build_files(build, ".gcda", scratch):
            os.remove(data)
        failed = run_suites(build, scratch)
    text = render(*table(build), failed)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
