"""The JavaScript client (clients/js) under Node's test runner against the
real native printgate over a private CUPS scheduler, and its npm package:
`npm pack` gives a tarball whose entry point and types resolve."""

import json
import os
import shutil
import subprocess
import tarfile
import unittest

from pylib import httpapi, native, paths, processes, scheduler

CLIENT = os.path.join(paths.SOURCE_DIR, "clients", "js")


class ClientUnderNode(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.cups = native.start_label_cups(cls.run_, queues=("VELQ", "Office"))
        scheduler.cups_command(cls.cups, ["cupsdisable", "Office"])
        cls.env = native.native_env(cls.run_, cls.cups)
        cls.gate = native.start_native(cls.run_, cls.env)

    def test_the_client_against_a_real_printgate(self):
        env = dict(os.environ, PRINTGATE_URL="http://127.0.0.1:%d" % httpapi.API_PORT,
                   CAPTURE_DIR=self.cups["capture"])
        result = subprocess.run(["node", "--test", "test/"], cwd=CLIENT, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
        print(result.stdout[-3000:])
        self.assertEqual(result.returncode, 0, result.stdout)
        # Every case ran against the real printgate; none was skipped.
        self.assertIn("# skipped 0", result.stdout)
        self.assertIn("# fail 0", result.stdout)

    def test_npm_pack_gives_a_package_that_resolves(self):
        home = os.path.join(self.run_["dir"], "npm-home")
        os.makedirs(home)
        env = dict(os.environ, HOME=home, npm_config_cache=os.path.join(home, "cache"),
                   npm_config_update_notifier="false")
        out = os.path.join(self.run_["dir"], "pack")
        os.makedirs(out)
        packed = subprocess.run(["npm", "pack", "--json", "--pack-destination", out], cwd=CLIENT, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, timeout=300)
        self.assertEqual(packed.returncode, 0, packed.stderr)
        info, = json.loads(packed.stdout)
        self.assertEqual(sorted(f["path"] for f in info["files"]),
                         ["README.md", "index.d.ts", "index.js", "package.json"])

        # Installed as a page's build would install it: by name, from the tarball.
        modules = os.path.join(self.run_["dir"], "app", "node_modules", "printgate-client")
        os.makedirs(modules)
        with tarfile.open(os.path.join(out, info["filename"])) as tar:
            for member in tar.getmembers():
                member.name = member.name.split("/", 1)[1]
                tar.extract(member, modules)
        probe = ("import * as client from 'printgate-client';"
                 "import { createRequire } from 'node:module';"
                 "const pkg = createRequire(import.meta.url)('printgate-client/package.json');"
                 "console.log(JSON.stringify({exports: Object.keys(client).sort(), types: pkg.types}));")
        ran = subprocess.run(["node", "--input-type=module", "-e", probe], cwd=os.path.dirname(os.path.dirname(modules)),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             timeout=60)
        self.assertEqual(ran.returncode, 0, ran.stderr)
        found = json.loads(ran.stdout)
        self.assertEqual(found["exports"], ["DEFAULT_BASE_URL", "MAX_IMAGE_BYTES", "PROMPT_MESSAGE",
                                            "PrintgateError", "cancelJob", "getJob", "listPrinters", "permission",
                                            "printLabel", "reasonMessage", "watchJobs", "watchPrinters"])
        self.assertTrue(os.path.exists(os.path.join(modules, found["types"])))
        shutil.rmtree(os.path.dirname(os.path.dirname(modules)))


if __name__ == "__main__":
    unittest.main()
