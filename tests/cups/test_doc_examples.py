"""Examples that are run: every curl example of README.md and docs/api.md,
read from the Markdown as written (code blocks, and the rows of the print
route's table of failures), runs from the repository's folder against the
native printgate over a private CUPS scheduler, and its answer is held to
the documented one: the status, and the members (names and JSON types) of
the answer the docs show, or the failure's `error`. The JavaScript
client's README examples run under Node the same way, and what they log
is held to the values their comments show."""

import json
import os
import re
import subprocess
import sys
import unittest

from pylib import doc_examples, native, paths, processes, scheduler

DOCS = ("README.md", "docs/api.md")
CLIENT = os.path.join(paths.SOURCE_DIR, "clients", "js")
LABEL = os.path.join(paths.SOURCE_DIR, "examples", "label.png")

# What Node runs before a client example: a page's canvas holding the
# shipped label, a page's way to show a failure (which fails the example)
# and its own drawing, and console.log recorded with the line that called it.
NODE_SETUP = r"""
import { readFileSync, appendFileSync } from 'node:fs';
const label = readFileSync(process.env.PG_LABEL);
globalThis.canvas = { toBlob(done, type) { done(new Blob([label], { type })); } };
globalThis.render = () => {};
globalThis.update = () => {};
globalThis.showToUser = (message) => {
  console.error(`shown to the user: ${message}`);
  process.exitCode = 1;
};
const log = console.log;
console.log = (...values) => {
  const caller = new Error().stack.split('\n')[2] || '';
  const line = Number((caller.match(/example-\d+\.mjs:(\d+):\d+/) || [])[1]);
  appendFileSync(process.env.PG_LOGGED, JSON.stringify({ line, value: values[0] === undefined ? null : values[0] }) + '\n');
  log(...values);
};
"""


def read(relative):
    with open(os.path.join(paths.SOURCE_DIR, relative), encoding="utf-8") as f:
        return f.read()


class DocumentedExamples(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.dir = cls.run_["dir"]
        cls.cups = native.start_label_cups(cls.run_, queues=("VELQ",))
        cls.env = native.native_env(cls.run_, cls.cups)
        cls.gate = native.start_native(cls.run_, cls.env)
        cls.files = {name: read(name) for name in DOCS}

    def documented_answer(self, path):
        """The first JSON answer of the docs/api.md section that names path."""
        for section in doc_examples.sections("docs/api.md", self.files["docs/api.md"]):
            if section.path() == path:
                blocks = section.json_blocks()
                return blocks[0] if blocks else None
        return None

    def test_every_curl_example_answers_as_documented(self):
        examples = doc_examples.curl_examples(self.files)
        for name in DOCS:
            self.assertTrue(examples[name], name + " shows no curl example")
        faults = []
        ran = []
        for example in examples["README.md"] + examples["docs/api.md"]:
            code, status, body, stderr = doc_examples.run_curl(example.command, paths.SOURCE_DIR, self.env,
                                                               self.dir, stream=example.is_stream())
            label = "%s: %s" % (example.where, example.command.strip().splitlines()[0])
            ran.append("%-44s %s %s -> %s" % (example.where[:44], example.status, example.error or "", status))
            if code != 0 or status != example.status:
                faults.append("%s: exit %s, status %s, wanted %s (%s %r)" % (
                    label, code, status, example.status, stderr.strip()[-300:], body[:200]))
                continue
            if example.is_stream():
                faults += ["%s: %s" % (label, f) for f in self.stream_faults(body)]
                continue
            try:
                answer = json.loads(body.decode("utf-8"))  # strict: JSON text is UTF-8
            except ValueError as error:
                faults.append("%s: the answer is no JSON text (%s): %r" % (label, error, body[:200]))
                continue
            if example.error is None:
                documented = self.documented_answer(example.url_path())
                if documented is None:
                    faults.append("%s: no section of docs/api.md documents %s" % (label, example.url_path()))
                    continue
                faults += ["%s: %s" % (label, f) for f in doc_examples.shape_faults(documented, answer)]
            else:
                # Only print answers say "printed".
                got = (answer.get("printed", False), answer.get("error"), type(answer.get("message")))
                if got != (False, example.error, str):
                    faults.append("%s: answered %r" % (label, answer))
                elif example.status == 422:
                    faults += self.size_limit_faults(label, answer["message"])
        print("\n" + "\n".join(ran), file=sys.stderr)
        self.assertEqual(faults, [])
        # Every status of the table of failures is one an example posts.
        table, _ = doc_examples.error_table(self.files["docs/api.md"])
        self.assertTrue(table)
        posted = {(e.status, e.error) for e in examples["docs/api.md"] if e.error}
        self.assertEqual(sorted(set(table) - posted), [], "statuses no example posts")
        # The failure examples leave the queue as they found it.
        self.assertIn("accepting", scheduler.cups_command(self.cups, ["lpstat", "-a", "VELQ"]))

    def stream_faults(self, body):
        """The event stream starts as documented: the retry, then the
        printers event holding the v2 listing, with an id."""
        events = doc_examples.stream_events(body)
        if len(events) < 2 or events[0] != {"retry": "2000"}:
            return ["the stream starts %r" % body[:200]]
        first = events[1]
        if first.get("event") != "printers" or not first.get("id"):
            return ["its first event is %r" % first]
        return doc_examples.shape_faults(self.documented_answer("/vqapi/v2/printers"),
                                         json.loads(first["data"]), "printers event")

    def size_limit_faults(self, label, message):
        """The paper's edge a 422 names is the one the docs give."""
        _, rows = doc_examples.error_table(self.files["docs/api.md"])
        when = [cells[2] for cells in rows if cells[0] == "422"][0].replace(",", "")
        edge = re.search(r"(\d+\.\d) mm.*wider than (\d+) or taller than (\d+) pixels", when)
        said = re.search(r"\((\d+\.\d) mm: at most (\d+) x (\d+) pixels\)", message)
        if said is None:
            return [] if "larger than printgate decodes" in message else ["%s: %r" % (label, message)]
        if edge is None or edge.groups() != said.groups():
            return ["%s: the docs' edge %s, the answer's %s" % (label, edge and edge.groups(), said.groups())]
        return []

    def test_the_clients_readme_examples_run_under_node(self):
        blocks = doc_examples.js_examples(read("clients/js/README.md"))
        self.assertTrue(blocks, "the client's README shows no example")
        app = os.path.join(self.dir, "app")
        # As `npm install ./clients/js` leaves it: the package by name.
        os.makedirs(os.path.join(app, "node_modules"))
        os.symlink(CLIENT, os.path.join(app, "node_modules", "printgate-client"))
        with open(os.path.join(app, "setup.mjs"), "w") as f:
            f.write(NODE_SETUP)
        # Jobs of earlier examples are done before this one's are counted.
        processes.wait_until(lambda: not scheduler.cups_command(self.cups, ["lpstat", "-o"]).strip(), 120,
                             what="an idle scheduler")
        before = len(scheduler.captured_jobs(self.cups))
        faults = []
        for index, block in enumerate(blocks):
            script = os.path.join(app, "example-%d.mjs" % index)
            logged = os.path.join(app, "logged-%d.jsonl" % index)
            with open(script, "w") as f:
                f.write(block)
            open(logged, "w").close()
            env = dict(self.env, PG_LABEL=LABEL, PG_LOGGED=logged)
            done = subprocess.run(["node", "--import", "./setup.mjs", script], cwd=app, env=env,
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
            if done.returncode != 0:
                faults.append("example %d: exit %d: %s" % (index, done.returncode, done.stderr[-1500:]))
                continue
            with open(logged) as f:
                values = {}
                for line in f:
                    entry = json.loads(line)
                    values.setdefault(entry["line"], entry["value"])
            lines = block.splitlines()
            for expression, comment in doc_examples.logged_comments(block):
                at = next(i + 1 for i, text in enumerate(lines) if "console.log(%s)" % expression in text)
                documented = self.javascript_value(comment)
                got = values.get(at)
                if isinstance(documented, (dict, list)):
                    faults += ["example %d, %s: %s" % (index, expression, f)
                               for f in doc_examples.shape_faults(documented, got)]
                elif got != documented:
                    faults.append("example %d, %s: logged %r, documented %r" % (index, expression, got, documented))
        self.assertEqual(faults, [])
        # Each print of the examples is one job, whatever its copies.
        prints = sum(block.count("await printLabel(") for block in blocks)
        self.assertEqual(len(scheduler.wait_for_jobs(self.cups, before + prints)) - before, prints)

    def javascript_value(self, text):
        """A value written as JavaScript in a comment, as JSON would read it."""
        done = subprocess.run(["node", "-e", "console.log(JSON.stringify(eval('(' + process.argv[1] + ')')))", text],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, "%r: %s" % (text, done.stderr))
        return json.loads(done.stdout)


if __name__ == "__main__":
    unittest.main()
