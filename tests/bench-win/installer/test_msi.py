"""The product as an administrator installs it: version resources of both
programs, read back from the cross build."""

import os
import re
import subprocess
import unittest

import harness


def project_version():
    """The version set in the top CMakeLists.txt, the one place it lives."""
    with open(os.path.join(harness.SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(printgate VERSION (\d+\.\d+\.\d+)", f.read()).group(1)


def version_resource(exe):
    """FILEVERSION, PRODUCTVERSION and the string values of an .exe's
    version resource (windres decompiles it)."""
    text = subprocess.run(["x86_64-w64-mingw32-windres", "-i", exe, "-O", "rc"], check=True,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                          errors="replace", timeout=60).stdout
    block = text[text.index("VERSIONINFO"):]
    numbers = dict(re.findall(r"^\s*(FILEVERSION|PRODUCTVERSION) ([\d, ]+)$", block, re.M))
    strings = dict(re.findall(r'VALUE "(\w+)", "([^"]*)"', block))
    return {k: v.replace(" ", "") for k, v in numbers.items()}, strings


class VersionResources(unittest.TestCase):
    def test_both_programs_carry_the_project_version(self):
        version = project_version()
        for exe in ("tray/printgate.exe", "watch/printerwatch.exe"):
            with self.subTest(exe=exe):
                numbers, strings = version_resource(harness.win_exe(exe))
                self.assertEqual(numbers, {"FILEVERSION": version.replace(".", ",") + ",0",
                                           "PRODUCTVERSION": version.replace(".", ",") + ",0"})
                self.assertEqual((strings["FileVersion"], strings["ProductVersion"]), (version, version))
                self.assertEqual(strings["OriginalFilename"], os.path.basename(exe))


if __name__ == "__main__":
    unittest.main()
