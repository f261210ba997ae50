"""The product as an administrator installs it: the MSI under Wine's own
msiexec, one install taken through its life in a fresh prefix (silent
install of an older version with settings, the printgate its Run entry
starts, an upgrade that keeps what the administrator changed, uninstall
while printgate runs), and the MSI's tables read back for what Wine can't
show. Wine's differences from Windows are in tests/bench-win/README.md."""

import os
import re
import subprocess
import tempfile
import unittest

from pylib import applogs, httpapi, installer, paths, processes, scheduler, wineprefix, winservice

OLD_VERSION = "0.9.0"
INSTALL_DIR = "C:\\Program Files\\VELQ printgate"
DEFAULT_DATA_DIR = "C:\\ProgramData\\VELQ\\"
PROGRAMS = ("printgate.exe", "printerwatch.exe")
# A driver no queue uses: the service's first pass must leave the bench's
# spooler alone.
DRIVER = "Bench Label Driver"
ORIGINS_KEY = "HKLM\\Software\\VELQ\\printgate"
EVENT_SOURCE = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + installer.SERVICE
EVENT_KEY = "HKLM\\" + EVENT_SOURCE
# Blanks between entries, as an administrator types them on the command line;
# the last is no origin, and the allowlist leaves it out.
ORIGINS = "http://localhost:8080 https://*.labels.example ftp://files.example"

# The browsers' machine policies: list keys of numbered strings that other
# software shares. Another program's values are there before ours and must
# stay as they are.
POLICIES = "HKLM\\SOFTWARE\\Policies\\"
CHROME_KEY = POLICIES + "Google\\Chrome"
EDGE_KEY = POLICIES + "Microsoft\\Edge"
FIREFOX_LIST = POLICIES + "Mozilla\\Firefox\\LocalNetworkAccess\\SkipDomains"
CHROMIUM_NAMES = ("LoopbackNetworkAllowedForUrls", "LocalNetworkAccessAllowedForUrls")
FOREIGN = {CHROME_KEY: {"HomepageLocation": "https://intranet.example"},
           CHROME_KEY + "\\LoopbackNetworkAllowedForUrls": {"1": "https://intranet.example"},
           FIREFOX_LIST: {"1": "intranet.example"}}
# ORIGINS in each browser's form: Chromium's pattern for the wildcard;
# Firefox's list leaves out "localhost", which it would open to every site.
CHROMIUM_SITES = ["http://localhost:8080", "https://[*.]labels.example"]
FIREFOX_SITES = ["*.labels.example"]


def newer_version():
    major, minor, patch = paths.project_version().split(".")
    return "%s.%s.%d" % (major, minor, int(patch) + 1)


def policy_lists(env):
    """Every list the product may write, as {key: {name: text}}, and the
    other program's plain value; missing keys left out."""
    keys = [browser + "\\" + name for browser in (CHROME_KEY, EDGE_KEY) for name in CHROMIUM_NAMES]
    found = {}
    for key in keys + [FIREFOX_LIST, CHROME_KEY]:
        values = wineprefix.reg_values(env, key)
        if values is not None:
            found[key] = values
    return found


def expected_lists():
    """The lists with the product's values beside the other program's."""
    lists = {key: dict(values) for key, values in FOREIGN.items()}
    for browser in (CHROME_KEY, EDGE_KEY):
        for name in CHROMIUM_NAMES:
            values = lists.setdefault(browser + "\\" + name, {})
            for site in CHROMIUM_SITES:
                values[str(len(values) + 1)] = site
    for site in FIREFOX_SITES:
        lists[FIREFOX_LIST][str(len(lists[FIREFOX_LIST]) + 1)] = site
    return lists


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


def msi_table(msi, table):
    """Rows of one table of an MSI (msiinfo export), each a list of columns.
    msiinfo writes a table's streams (the Binary table's programs) into a
    folder where it runs: it runs in a scratch folder."""
    with tempfile.TemporaryDirectory() as scratch:
        text = subprocess.run(["msiinfo", "export", os.path.abspath(msi), table], check=True,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True, timeout=60,
                              cwd=scratch).stdout
    return [line.split("\t") for line in text.splitlines()[3:]]


class VersionResources(unittest.TestCase):
    def test_both_programs_carry_the_project_version(self):
        version = paths.project_version()
        for exe in ("tray/printgate.exe", "watch/printerwatch.exe"):
            with self.subTest(exe=exe):
                numbers, strings = version_resource(paths.win_exe(exe))
                self.assertEqual(numbers, {"FILEVERSION": version.replace(".", ",") + ",0",
                                           "PRODUCTVERSION": version.replace(".", ",") + ",0"})
                self.assertEqual((strings["FileVersion"], strings["ProductVersion"]), (version, version))
                self.assertEqual(strings["OriginalFilename"], os.path.basename(exe))


class MsiTables(unittest.TestCase):
    """What Wine doesn't show or does its own way, read from the package."""

    @classmethod
    def setUpClass(cls):
        cls.msi = installer.product_msi()

    def rows(self, table):
        return {row[0]: row[1:] for row in msi_table(self.msi, table)}

    def test_tables(self):
        properties = self.rows("Property")
        self.assertEqual(properties["ProductVersion"], [paths.project_version()])
        self.assertEqual(properties["ALLUSERS"], ["1"])  # per machine
        self.assertLessEqual({"PRINTERNAME", "DRIVERNAME", "PRINTERPORT", "DATADIR", "ALLOWEDORIGINS", "TRACE"},
                             set(properties["SecureCustomProperties"][0].split(";")))
        defaults = {name: properties["DEFAULT_" + name][0]
                    for name in ("PRINTERNAME", "DRIVERNAME", "PRINTERPORT")}
        self.assertEqual(defaults, {"PRINTERNAME": "VELQ", "DRIVERNAME": "VELQ Label Printer",
                                    "PRINTERPORT": "USB001"})
        directories = self.rows("Directory")
        self.assertEqual(directories["DATADIR"], ["CommonAppDataFolder", "VELQ"])
        self.assertEqual(directories["INSTALLDIR"], ["ProgramFiles64Folder", "VELQ printgate"])

        # Every component in the 64-bit registry view and file system.
        for name, row in self.rows("Component").items():
            with self.subTest(component=name):
                self.assertTrue(int(row[2]) & 256, row)

        # Own process, automatic start, vital; started at the end of the
        # install, stopped on install and uninstall, deleted on uninstall,
        # the installer waiting each time.
        service, = self.rows("ServiceInstall").values()
        self.assertEqual(service[:5], [installer.SERVICE, installer.SERVICE, "16", "2", "32769"])
        control, = self.rows("ServiceControl").values()
        self.assertEqual((control[0], int(control[1]), control[3]), (installer.SERVICE, 1 | 2 | 32 | 128, "1"))

        # The event source: its message file (REG_EXPAND_SZ, "#%") is the
        # service's program, and the whole key goes on uninstall ("-").
        registry = {(row[2], row[3]): (row[4] if len(row) > 4 else "", row[-1])
                    for row in msi_table(self.msi, "Registry") if row[2] == EVENT_SOURCE}
        self.assertEqual(registry, {(EVENT_SOURCE, "EventMessageFile"): ("#%[#PrinterwatchExe]", "EventSource"),
                                    (EVENT_SOURCE, "TypesSupported"): ("#7", "EventSource"),
                                    (EVENT_SOURCE, "-"): ("", "EventSource")})
        # Trace is written only when TRACE=1 is given (or was stored).
        self.assertEqual(self.rows("Component")["TraceSetting"][3], "TRACE=1")

        # A plain (not advertised) shortcut to printgate in the all-users
        # Start menu (ALLUSERS=1 makes ProgramMenuFolder the common one on
        # Windows; Wine uses the user's own).
        shortcut, = self.rows("Shortcut").values()
        self.assertEqual(shortcut[0:4], ["ProgramMenuFolder", "VELQ printgate", "Printgate", "[#PrintgateExe]"])
        self.assertEqual(shortcut[10], "INSTALLDIR")

        # Upgrades: every older version is replaced, removed before the new
        # one installs (its settings were read by then); a newer one blocks.
        upgrades = msi_table(self.msi, "Upgrade")
        self.assertIn(["{49DDDC14-2E78-4F5D-8565-CDC9709CE1FF}", "", paths.project_version(), "", "1", "",
                       "WIX_UPGRADE_DETECTED"], upgrades)
        sequence = {row[0]: (row[1], int(row[2])) for row in msi_table(self.msi, "InstallExecuteSequence")}
        self.assertLess(sequence["InstallValidate"][1], sequence["RemoveExistingProducts"][1])
        self.assertLess(sequence["RemoveExistingProducts"][1], sequence["InstallInitialize"][1])
        # Each setting is read back from the registry after the search and
        # before directories are resolved.
        for action in ("PrinterNameFromRegistry", "DriverNameFromRegistry", "PrinterPortFromRegistry",
                       "DataDirFromRegistry", "TraceFromRegistry"):
            with self.subTest(action=action):
                self.assertLess(sequence["AppSearch"][1], sequence[action][1])
                self.assertLess(sequence[action][1], sequence["CostFinalize"][1])
        # The browsers' policies: the package's own program (type 2, from
        # the Binary table) in the script, as the installer; written after
        # the site list, undone on rollback, taken out before the registry
        # values go, an uninstall going on whatever it answers.
        actions = self.rows("CustomAction")
        self.assertIn("BrowserPoliciesExe", self.rows("Binary"))
        self.assertEqual(actions["WriteBrowserPolicies"][:3], ["3074", "BrowserPoliciesExe", ""])
        self.assertEqual(actions["UndoBrowserPolicies"][:3], ["3394", "BrowserPoliciesExe", "--remove"])
        self.assertEqual(actions["RemoveBrowserPolicies"][:3], ["3138", "BrowserPoliciesExe", "--remove"])
        self.assertLess(sequence["WriteRegistryValues"][1], sequence["UndoBrowserPolicies"][1])
        self.assertLess(sequence["UndoBrowserPolicies"][1], sequence["WriteBrowserPolicies"][1])
        self.assertLess(sequence["RemoveBrowserPolicies"][1], sequence["RemoveRegistryValues"][1])
        self.assertEqual([sequence[action][0] for action in ("WriteBrowserPolicies", "UndoBrowserPolicies",
                                                             "RemoveBrowserPolicies")],
                         ['NOT REMOVE="ALL"', 'NOT REMOVE="ALL"', 'REMOVE="ALL"'])
        # printgate once after an interactive first install, never after a
        # silent one, a repair or a removal.
        self.assertEqual(sequence["StartPrintgate"][0], "UILevel > 2 AND NOT Installed AND NOT REMOVE")
        self.assertGreater(sequence["StartPrintgate"][1], sequence["InstallFinalize"][1])


class MsiUnderWine(unittest.TestCase):
    """One install, numbered steps in order."""

    @classmethod
    def setUpClass(cls):
        cls.run_ = run = processes.new_run(cls.addClassCleanup)
        cls.cups = scheduler.start_cups(run, queues=("Label2",), default="Label2")
        cls.env = env = wineprefix.new_prefix(run, cls.cups)
        cls.old_msi = installer.build_msi(run, OLD_VERSION)
        cls.newer_msi = installer.build_msi(run, newer_version())
        for key, values in FOREIGN.items():
            for name, text in values.items():
                wineprefix.wine(env, ["reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", text, "/f"])

        # First an install that fails late: services.exe, given 1 ms for a
        # service's dispatcher to connect (ServicesPipeTimeout, as on
        # Windows), fails StartServices, the last step that changes the
        # machine.
        control = "HKLM\\System\\CurrentControlSet\\Control"
        wineprefix.wine(env, ["reg", "add", control, "/v", "ServicesPipeTimeout", "/t", "REG_SZ", "/d", "1", "/f"])
        wineprefix.keep_wine_up(run, env)
        cls.failed = installer.msiexec(run, env, ["/i", cls.old_msi, "PRINTERNAME=Desk Labels"], name="failed")
        cls.after_failure = cls.leftovers(env)
        wineprefix.wine(env, ["reg", "delete", control, "/v", "ServicesPipeTimeout", "/f"])
        wineprefix.restart_wine(run, env)
        # Settings on the command line, the port and the data directory left
        # to their defaults.
        cls.install = installer.msiexec(run, env, ["/i", cls.old_msi, "PRINTERNAME=Desk Labels",
                                                 "DRIVERNAME=" + DRIVER, "TRACE=1"], name="install")

    @staticmethod
    def leftovers(env):
        """What of the product is on the machine."""
        found = {}
        for name in PROGRAMS:
            if os.path.exists(wineprefix.win_path(env, INSTALL_DIR + "\\" + name)):
                found[name] = True
        for key in (installer.SETTINGS_KEY, installer.DATA_KEY, ORIGINS_KEY, EVENT_KEY):
            if wineprefix.reg_values(env, key):
                found[key] = wineprefix.reg_values(env, key)
        if installer.PRODUCT in (wineprefix.reg_values(env, installer.RUN_KEY) or {}):
            found["Run"] = True
        if winservice.service_state(env, installer.SERVICE) is not None:
            found["service"] = winservice.service_state(env, installer.SERVICE)
        if policy_lists(env) != FOREIGN:
            found["browser policies"] = policy_lists(env)
        if os.path.exists(wineprefix.win_path(env, DEFAULT_DATA_DIR)):
            found["data directory"] = True
        if installer.installed_products(env):
            found["installed programs"] = installer.installed_products(env)
        return found

    def test_0_an_install_that_fails_rolls_back_leaving_nothing(self):
        code, log = self.failed
        # Wine's msiexec exits with ERROR_FUNCTION_FAILED (1627, 91 as a
        # Unix exit status); Windows' with ERROR_INSTALL_FAILURE (1603).
        self.assertNotEqual(code, 0, log[-3000:])
        self.assertEqual(self.after_failure, {})

    def program_path(self, name):
        return wineprefix.win_path(self.env, INSTALL_DIR + "\\" + name)

    def wait_for_service(self, state):
        processes.wait_until(lambda: winservice.service_state(self.env, installer.SERVICE) == state, 60, interval=0.5,
                           what="the service in state %d" % state)

    def start_from_run_entry(self, name):
        program = installer.run_entry_program(self.env)
        self.assertEqual(program, INSTALL_DIR + "\\printgate.exe")
        processes.wait_until(lambda: not httpapi.api_answering(), 600, interval=1,
                           what="port %d to be free" % httpapi.API_PORT)
        gate = wineprefix.start_printgate(self.run_, self.env, exe=program, name=name)
        status, _, body = httpapi.http("POST", "/vqapi/GetPrinters")
        self.assertEqual(status, 200)
        self.assertIn(b'"Label2"', body)
        return gate

    def test_1_silent_install_with_settings(self):
        code, log = self.install
        self.assertEqual(code, 0, log[-3000:])
        for name in PROGRAMS:
            with open(self.program_path(name), "rb") as installed, \
                 open(paths.win_exe(("tray/" if name == "printgate.exe" else "watch/") + name), "rb") as built:
                self.assertEqual(installed.read(), built.read(), name)
        self.assertEqual(wineprefix.reg_values(self.env, installer.SETTINGS_KEY),
                         {"PrinterName": "Desk Labels", "DriverName": DRIVER, "PrinterPort": "USB001",
                          "Trace": "0x1"})
        self.assertEqual(wineprefix.reg_values(self.env, EVENT_KEY),
                         {"EventMessageFile": INSTALL_DIR + "\\printerwatch.exe", "TypesSupported": "0x7"})
        self.assertEqual(wineprefix.reg_values(self.env, installer.DATA_KEY), {"Data Directory": DEFAULT_DATA_DIR})
        # No allowlist given: none written, for an empty one would refuse every page.
        self.assertFalse(wineprefix.reg_values(self.env, ORIGINS_KEY))
        # ... and no site reaches a browser's policy.
        self.assertEqual(policy_lists(self.env), FOREIGN)
        self.assertTrue(os.path.isdir(wineprefix.win_path(self.env, DEFAULT_DATA_DIR)))
        self.assertEqual(wineprefix.reg_values(self.env, installer.RUN_KEY).get(installer.PRODUCT),
                         '"%s\\printgate.exe"' % INSTALL_DIR)
        self.assertEqual(list(installer.installed_products(self.env).values()), [OLD_VERSION])
        # The service: created as asked and started by the install itself.
        service = wineprefix.reg_values(self.env, "HKLM\\System\\CurrentControlSet\\Services\\" + installer.SERVICE)
        self.assertEqual((service["Type"], service["Start"]), ("0x10", "0x2"))
        self.assertIn(INSTALL_DIR + "\\printerwatch.exe", service["ImagePath"])
        self.wait_for_service(4)
        # Wine puts a per-machine shortcut in the user's own Start menu.
        menu = re.search(r"ProgramMenuFolder = (.*)", log).group(1).strip()
        self.assertTrue(os.path.exists(wineprefix.win_path(self.env, menu + "VELQ printgate.lnk")), menu)

    def test_1b_the_service_logs_and_traces_as_the_install_asked(self):
        # TRACE=1: the service's first pass wrote its traces to its log.
        log = wineprefix.win_path(self.env, DEFAULT_DATA_DIR + "printerwatch.log")
        processes.wait_until(lambda: any(t.startswith("pass: ") for t in applogs.texts(log)), 60,
                           what="the first pass in the log")
        texts = applogs.texts(log)
        self.assertEqual(texts[0], "service %s started" % installer.SERVICE)
        self.assertIn("*** PrinterName=Desk Labels, DriverName=%s, PrinterPort=USB001" % DRIVER, texts)

    def test_1c_event_viewer_finds_each_message_in_the_program(self):
        # What Event Viewer does with an event of the source: the message
        # file from the registry, the message by id, the strings filled in.
        strings = [installer.SERVICE, "two", "three", "four"]
        texts = {}
        for name, event_id in applogs.event_ids().items():
            code, out = wineprefix.wine(self.env, [paths.watch_tool("event_probe.exe"), installer.SERVICE,
                                                "%08x" % event_id] + strings, check=False)
            self.assertEqual(code, 0, out)
            self.assertIn("file %s\\printerwatch.exe (REG_EXPAND_SZ)" % INSTALL_DIR, out)
            texts[name] = out[out.index("text ") + 5:].strip()
        self.assertEqual(texts["Started"], "The service %s started. It writes what it changes in the printer "
                         "queues, and every failure, to two." % installer.SERVICE)
        self.assertEqual(texts["Stopped"], "The service %s stopped." % installer.SERVICE)
        self.assertTrue(texts["PassFailed"].startswith("The service %s could not bring the printer queues in "
                                                       "step with the attached label printers: two failure(s) "
                                                       "in one pass. The first: three" % installer.SERVICE),
                        texts["PassFailed"])
        self.assertIn("The log file four lists every one.", texts["PassFailed"])
        self.assertTrue(texts["LogUnwritable"].startswith("The service %s cannot write its log file: two"
                                                          % installer.SERVICE))
        self.assertIn("(error two)", texts["HandlerFailed"])

    def test_2_the_run_entry_starts_a_printgate_that_answers(self):
        gate = self.start_from_run_entry("printgate-run")
        processes.stop_process(gate["proc"])
        processes.wait_until(lambda: not httpapi.api_answering(), 30, what="port %d closed" % httpapi.API_PORT)

    def test_3_upgrade_keeps_what_the_administrator_changed(self):
        # Changed by hand since the install; a value given on the upgrade's
        # command line still wins over the stored one.
        wineprefix.wine(self.env, ["reg", "add", installer.SETTINGS_KEY, "/v", "PrinterName", "/t", "REG_SZ",
                                "/d", "Front Desk", "/f"])
        wineprefix.wine(self.env, ["reg", "add", installer.SETTINGS_KEY, "/v", "PrinterPort", "/t", "REG_SZ",
                                "/d", "LPT1:", "/f"])
        code, log = installer.msiexec(self.run_, self.env, ["/i", installer.product_msi(),
                                                          "DRIVERNAME=" + DRIVER + " 2",
                                                          "ALLOWEDORIGINS=" + ORIGINS], name="upgrade")
        self.assertEqual(code, 0, log[-3000:])
        # TRACE, not given again, stays as stored.
        self.assertEqual(wineprefix.reg_values(self.env, installer.SETTINGS_KEY),
                         {"PrinterName": "Front Desk", "DriverName": DRIVER + " 2", "PrinterPort": "LPT1:",
                          "Trace": "0x1"})
        self.assertEqual(wineprefix.reg_values(self.env, installer.DATA_KEY), {"Data Directory": DEFAULT_DATA_DIR})
        origins = wineprefix.reg_values(self.env, ORIGINS_KEY)
        self.assertEqual(origins.pop("AllowedOrigins"), ORIGINS)
        self.check_browser_policies(origins)
        products = installer.installed_products(self.env)
        self.assertEqual(list(products.values()), [paths.project_version()], products)
        numbers, _ = version_resource(self.program_path("printerwatch.exe"))
        self.assertEqual(numbers["FILEVERSION"], paths.project_version().replace(".", ",") + ",0")
        self.wait_for_service(4)

    def check_browser_policies(self, record):
        """The sites in each browser's list after the other program's
        values, and the record of ours under printgate's key."""
        self.assertEqual(policy_lists(self.env), expected_lists())
        ours = set()
        for key, values in expected_lists().items():
            ours |= {"%s\\%s=%s" % (key[len("HKLM\\"):], name, text)
                     for name, text in values.items() if text not in FOREIGN.get(key, {}).values()}
        self.assertEqual(set(record.pop("BrowserPolicyValues").split("\\0")), ours)
        # The keys the product made, so that they go with it.
        created = set(record.pop("BrowserPolicyKeys").split("\\0"))
        made = {EDGE_KEY, CHROME_KEY + "\\LocalNetworkAccessAllowedForUrls"} | \
            {EDGE_KEY + "\\" + name for name in CHROMIUM_NAMES}
        self.assertLessEqual({key[len("HKLM\\"):] for key in made}, created)
        self.assertLessEqual(created - {key[len("HKLM\\"):] for key in made}, {"SOFTWARE\\Policies\\Microsoft"})
        self.assertEqual(record, {})

    def test_3b_a_newer_version_keeps_the_browser_policies(self):
        # The upgrade removes the older product, ours with it, and writes
        # them again from the list it kept.
        code, log = installer.msiexec(self.run_, self.env, ["/i", self.newer_msi], name="upgrade-newer")
        self.assertEqual(code, 0, log[-3000:])
        self.assertEqual(list(installer.installed_products(self.env).values()), [newer_version()])
        origins = wineprefix.reg_values(self.env, ORIGINS_KEY)
        self.assertEqual(origins.pop("AllowedOrigins"), ORIGINS)
        self.check_browser_policies(origins)
        self.wait_for_service(4)

    def test_4_uninstall_while_printgate_runs_leaves_nothing(self):
        gate = self.start_from_run_entry("printgate-before-removal")
        code, log = installer.msiexec(self.run_, self.env, ["/x", self.newer_msi], name="uninstall")
        self.assertEqual(code, 0, log[-3000:])
        # The service was stopped before its program went: no half-removed
        # service.
        self.assertIsNone(winservice.service_state(self.env, installer.SERVICE))
        self.assertFalse(os.path.exists(self.program_path("printerwatch.exe")))
        # Wine can't delete a running program's file and goes on without
        # scheduling it for later or saying so (Windows deletes it at the
        # next restart and reports that one is needed).
        self.assertTrue(os.path.exists(self.program_path("printgate.exe")))
        self.assertFalse(wineprefix.reg_values(self.env, installer.SETTINGS_KEY))
        self.assertFalse(wineprefix.reg_values(self.env, installer.DATA_KEY))
        self.assertFalse(wineprefix.reg_values(self.env, ORIGINS_KEY))
        # Exactly ours out of the browsers' policies, the keys we made with
        # them; the other program's values as they were.
        self.assertEqual(policy_lists(self.env), FOREIGN)
        self.assertIsNone(wineprefix.reg_values(self.env, EDGE_KEY))
        # The event source is gone with its key.
        self.assertIsNone(wineprefix.reg_values(self.env, EVENT_KEY))
        self.assertNotIn(installer.PRODUCT, wineprefix.reg_values(self.env, installer.RUN_KEY) or {})
        self.assertEqual(installer.installed_products(self.env), {})
        menu = re.search(r"ProgramMenuFolder = (.*)", self.install[1]).group(1).strip()
        self.assertFalse(os.path.exists(wineprefix.win_path(self.env, menu + "VELQ printgate.lnk")))
        # The spooler's queues are the user's: untouched.
        self.assertIn("Label2", scheduler.cups_command(self.cups, ["lpstat", "-p"]))
        self.assertIsNone(gate["proc"].poll())
        processes.stop_process(gate["proc"])
        # The service's log stays for the support desk, as configuration
        # files do, and so its folder stays; nothing else of the product.
        self.assertEqual(set(self.leftovers(self.env)), {"printgate.exe", "data directory"})
        self.assertEqual(os.listdir(wineprefix.win_path(self.env, DEFAULT_DATA_DIR)), ["printerwatch.log"])
        # Traced, "Service stopped" follows the report of STOPPED.
        self.assertIn("service %s stopped" % installer.SERVICE,
                      applogs.texts(wineprefix.win_path(self.env, DEFAULT_DATA_DIR + "printerwatch.log"))[-2:])
        processes.wait_until(lambda: not httpapi.api_answering(), 30, what="port %d closed" % httpapi.API_PORT)


if __name__ == "__main__":
    unittest.main()
