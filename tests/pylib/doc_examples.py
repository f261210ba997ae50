"""The examples the documentation shows, read from the Markdown as it is
written: curl commands in code blocks and in tables, the sections they
belong to, the JSON answers those sections document, and the client's
JavaScript examples with the values their comments say they log. Nothing
here keeps a copy of an example: a changed one is run as changed, a new one
from the day it is written."""

import json
import re
import subprocess

API_PATH = re.compile(r"/vqapi/[A-Za-z0-9/]*[A-Za-z0-9]")


class Section:
    def __init__(self, source, heading):
        self.source = source
        self.heading = heading
        self.lines = []

    def path(self):
        """The API path the heading names, or None."""
        found = API_PATH.search(self.heading)
        return found.group(0) if found else None

    def json_blocks(self):
        return [json.loads(text) for lang, text in fenced_blocks(self.lines) if lang == "json"]


def sections(source, text):
    """The file's sections, each the lines under one heading."""
    found = [Section(source, "")]
    fenced = False
    for line in text.splitlines():
        if line.startswith("```"):
            fenced = not fenced
        if not fenced and re.match(r"#{1,6} ", line):
            found.append(Section(source, line.lstrip("#").strip()))
        else:
            found[-1].lines.append(line)
    return found


def fenced_blocks(lines):
    """[(language, text)] of the ``` blocks among lines, at any indent."""
    blocks, lang, body, indent = [], None, [], 0
    for line in lines:
        stripped = line.lstrip()
        if lang is None and stripped.startswith("```"):
            lang, body, indent = stripped[3:].strip(), [], len(line) - len(stripped)
        elif lang is not None and stripped.startswith("```"):
            blocks.append((lang, "\n".join(body) + "\n"))
            lang = None
        elif lang is not None:
            body.append(line[indent:] if line[:indent].strip() == "" else line)
    return blocks


def indented_blocks(lines):
    """The text of each code block indented by four spaces that follows a
    blank line, outside fenced blocks, with its indent taken off."""
    blocks, current, previous_blank, fenced = [], None, True, False
    for line in lines + [""]:
        if line.lstrip().startswith("```"):
            fenced = not fenced
        if not fenced and line.startswith("    ") and (current is not None or previous_blank):
            if current is None:
                current = []
            current.append(line[4:])
        elif current is not None and line.strip() == "":
            blocks.append("\n".join(current) + "\n")
            current = None
        elif current is not None:
            blocks.append("\n".join(current) + "\n")
            current = None
        previous_blank = line.strip() == ""
    return blocks


def tables(lines):
    """Each table among lines as its rows of cells (the header first), a
    `\\|` inside a cell kept as `|`; separator rows left out."""
    found, rows = [], None
    for line in lines + [""]:
        if not line.startswith("|"):
            if rows:
                found.append(rows)
            rows = None
            continue
        cells = [c.strip().replace("\\|", "|") for c in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
        if not all(re.fullmatch(r":?-+:?", c) for c in cells):
            rows = (rows or []) + [cells]
    return found


def unquote(cell):
    """A cell's text without the backticks around it."""
    return cell[1:-1] if len(cell) >= 2 and cell[0] == cell[-1] == "`" else cell


class Example:
    """One curl example: the command as written, where it is written and
    what the docs say it answers (status; error code for failures)."""

    def __init__(self, command, where, status=200, error=None):
        self.command, self.where, self.status, self.error = command, where, status, error

    def is_stream(self):
        """curl -N: an event stream, which never ends by itself."""
        return re.match(r"curl\s+(-\S+\s+)*-N\b", self.command) is not None

    def url_path(self):
        found = re.search(r"'http://127\.0\.0\.1:6780(/[^'?]*)", self.command)
        return found.group(1) if found else None


def curl_examples(files):
    """{file: [Example]} from every code block that runs curl, and every
    table row whose last cell is a curl command under a status column."""
    found = {}
    for name, text in files.items():
        examples = []
        for section in sections(name, text):
            where = "%s, %s" % (name, section.heading or "top")
            for block in indented_blocks(section.lines):
                if re.match(r"curl\b", block) or "| curl " in block:
                    # A failure the docs show is a last comment: `# 404 job-not-found ...`.
                    said = re.search(r"#\s*(\d{3})\s+`?([a-z-]+)`?[^\n]*\n?$", block)
                    examples.append(Example(block, where, int(said.group(1)), said.group(2)) if said
                                    else Example(block, where))
            for rows in tables(section.lines):
                if rows[0][:2] != ["status", "`error`"]:
                    continue
                for cells in rows[1:]:
                    # The command is the cell's first code span; words after it
                    # are the reader's.
                    command = re.match(r"`([^`]*)`", cells[-1])
                    if command and "curl " in command.group(1):
                        examples.append(Example(command.group(1), where, int(cells[0]), unquote(cells[1])))
        found[name] = examples
    return found


def error_table(text):
    """[(status, error)] of the print route's table of failures (the one
    whose third column is "when")."""
    for section in sections("docs/api.md", text):
        for rows in tables(section.lines):
            if rows[0] == ["status", "`error`", "when"]:
                return [(int(cells[0]), unquote(cells[1])) for cells in rows[1:]], rows
    return [], []


# How long a stream is read: its first events come at once.
STREAM_SECONDS = 3
CURL_TIMED_OUT = 28


def run_curl(command, cwd, env, scratch, timeout=300, stream=False):
    """Runs a command as written, with curl's answer kept: (exit code,
    status, body, stderr). Only where curl writes goes elsewhere, and a
    stream is cut after STREAM_SECONDS (exit 0 then); every word of the
    command is the documentation's."""
    body_path = scratch + "/answer.body"
    status_path = scratch + "/answer.status"
    limit = "--max-time %d " % STREAM_SECONDS if stream else ""
    prelude = ('curl() { command curl %s-sS -o %s -w "%%{http_code}" "$@" > %s; }\n'
               % (limit, body_path, status_path))
    for path in (body_path, status_path):
        open(path, "wb").close()
    done = subprocess.run(["bash", "-c", prelude + command], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)
    code = 0 if stream and done.returncode == CURL_TIMED_OUT else done.returncode
    with open(status_path) as f:
        status = f.read().strip()
    with open(body_path, "rb") as f:
        body = f.read()
    return code, int(status) if status.isdigit() else None, body, done.stderr.decode(errors="replace")


def stream_events(body):
    """[(field: value dict)] of an event stream's events, comments left out."""
    events = []
    for block in body.decode("utf-8").split("\n\n"):
        fields = {}
        for line in block.splitlines():
            if line and not line.startswith(":"):
                name, _, value = line.partition(":")
                fields[name] = value[1:] if value.startswith(" ") else value
        if fields:
            events.append(fields)
    return events


def shape_faults(documented, got, where="answer"):
    """What differs between a documented JSON value and an answer in their
    members and types (the documented values are examples: a job number, a
    name). Lists: each item against the documented first item."""
    faults = []
    kinds = {bool: "boolean", int: "number", float: "number", str: "string", list: "array",
             dict: "object", type(None): "null"}
    if kinds[type(documented)] != kinds[type(got)]:
        return ["%s: %s documented, %s answered (%r)" % (where, kinds[type(documented)], kinds[type(got)], got)]
    if isinstance(documented, dict):
        if sorted(documented) != sorted(got):
            faults.append("%s: members %s documented, %s answered" % (where, sorted(documented), sorted(got)))
        for key in documented:
            if key in got:
                faults += shape_faults(documented[key], got[key], where + "." + key)
    elif isinstance(documented, list) and documented:
        for i, item in enumerate(got):
            faults += shape_faults(documented[0], item, "%s[%d]" % (where, i))
    return faults


def js_examples(text):
    """The client README's ```js blocks that import the client: the ones a
    program runs."""
    return [body for lang, body in fenced_blocks(text.splitlines())
            if lang == "js" and "from 'printgate-client'" in body]


def logged_comments(block):
    """[(expression, documented value as JavaScript text)] of each
    `console.log(x);` in the block whose value a comment shows, on the same
    line or alone on the next line."""
    lines = block.splitlines()
    found = []
    for i, line in enumerate(lines):
        call = re.match(r"\s*console\.log\((.*)\);\s*(?://\s*(.*))?$", line)
        if not call:
            continue
        comment = call.group(2)
        if comment is None and i + 1 < len(lines) and lines[i + 1].strip().startswith("//"):
            comment = lines[i + 1].strip()[2:].strip()
        if comment:
            found.append((call.group(1), comment))
    return found
