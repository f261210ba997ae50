"""printerwatch's whole job under Wine, with printers plugged in: the bench's
virtual USB printer bus in the prefix, the real printerwatch.exe as a service
(each start runs one reconcile pass: Wine never delivers device events to a
service), Wine's spooler over a private CUPS scheduler.

Each sequence has its own driver and base name, so sequences never see each
other's queues; every printer is unplugged when its sequence ends. Where
Wine's spooler makes a pass end differently from Windows, the table holds
what Wine does and says why (tests/bench-win/README.md has the whole story);
the program is never bent around it.
"""

import os
import time
import unittest

from pylib import paths, processes, scheduler, usb, wineprefix, winservice

SERVICE = "VELQ USB Bench"
ON, OFF = "online", "offline"
OFFLINE_BIT = 0x400
QUEUE_PORT = "FILE:"


def printer(first=8, length=63, seed=0, **plug):
    """A printer of the table: its block and how it is plugged."""
    plug.setdefault("block", usb.usb_block(first, length, seed))
    return plug


# Each sequence: its printers, the queues made before the first pass (name,
# Position, state; an installer's queue named by the scheme), and steps of
# plugging and unplugging, each followed by one pass and the managed queues
# (name, Position, state) a program then sees. Position -1: not readable.
SEQUENCES = [
    # From no queue: the first queue is made as "Fresh #0" and renamed
    # "Fresh" by a level-2 SetPrinter, which moves it (the bench's Wine
    # does as Windows), so the next pass reads its Position and adds the
    # second queue after it.
    ("first printer from no queue", "Fresh",
     {"a": printer(seed=1), "b": printer(seed=2)}, [],
     [("plug a", [("Fresh", 1, ON)]),
      ("plug b", [("Fresh", 1, ON), ("Fresh #1", 2, ON)]),
      ("unplug b", [("Fresh", 1, ON)])]),
    # The typical sequence from the installer's queue: no rename is needed,
    # so it runs under Wine as on Windows.
    ("typical sequence", "VELQ",
     {"a": printer(seed=1), "b": printer(seed=2)}, [("VELQ", 1, OFF)],
     [("plug a", [("VELQ", 1, ON)]),
      ("plug b", [("VELQ", 1, ON), ("VELQ #1", 2, ON)]),
      ("unplug b", [("VELQ", 1, ON)]),
      ("unplug a", [("VELQ", 1, OFF)]),
      ("plug a", [("VELQ", 1, ON)])]),
    # Not counted, and its paired queue (device 0 here) keeps its state.
    ("a printer answering 12", "Twelve",
     {"t": printer(first=12, seed=3), "v": printer(seed=4), "u": printer(first=12, seed=5)},
     [("Twelve", 1, OFF)],
     [("plug t, plug v", [("Twelve", 1, OFF)]),
      ("unplug t", [("Twelve", 1, ON)]),
      ("plug u", [("Twelve", 1, ON)])]),
    # Interface 00 of the same device, another product, another vendor:
    # never opened, never counted.
    ("non-matching interfaces", "Match",
     {"i0": printer(interface=0x00), "p": printer(product=0x0027), "v": printer(vendor=0x8889),
      "m": printer(seed=6)},
     [("Match", 1, OFF)],
     [("plug i0, plug p, plug v", [("Match", 1, OFF)]),
      ("plug m", [("Match", 1, ON)])]),
    # Byte 0 neither 8 nor 12: a block, but not a valid printer, so the
    # queue paired with it goes by the count alone.
    ("a printer answering another value", "Other",
     {"o": printer(first=5, seed=8), "m": printer(seed=9)}, [("Other", 1, OFF)],
     [("plug o", [("Other", 1, OFF)]),
      ("plug m", [("Other", 1, ON)])]),
    # A listed printer whose path can't be opened answers nothing.
    ("a printer that can't be opened", "Shut",
     {"f": printer(behaviour="failopen"), "m": printer(seed=7)}, [("Shut", 1, OFF)],
     [("plug f", [("Shut", 1, OFF)]),
      ("plug m", [("Shut", 1, ON)])]),
]


class PrinterWatchUsbTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = run = processes.new_run(cls.addClassCleanup)
        cups = scheduler.start_cups(run, queues=("Label2",), default="Label2")
        cls.env = env = wineprefix.new_prefix(run, cups)
        cls.data_dir = winservice.install_printerwatch(env, SERVICE, "unset", "unset", QUEUE_PORT)
        cls.cups = cups
        cls.bus_seconds = usb.install_usb_bus(run, env)

    def setUp(self):
        self.plugged, self.ids = {}, {}
        self.addCleanup(self.unplug_all)

    def unplug_all(self):
        for name in list(self.plugged):
            usb.unplug_printer(self.env, self.plugged.pop(name))

    def use(self, base, driver):
        key = "HKLM\\SOFTWARE\\" + SERVICE
        for name, value in (("PrinterName", base), ("DriverName", driver)):
            wineprefix.wine(self.env, ["reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f"])

    def make_queue(self, name, driver, position, state):
        wineprefix.wine(self.env, [paths.watch_tool("watch_spool_tool.exe"), "add", name, driver, QUEUE_PORT,
                                str(position)])
        attributes = 0x40 | (OFFLINE_BIT if state == OFF else 0)
        winservice.set_printer_attributes(self.env, name, attributes)

    def managed(self, driver):
        return sorted((q["name"], q["position"], OFF if q["attributes"] & OFFLINE_BIT else ON)
                      for q in winservice.spooler_queues(self.env) if q["driver"] == driver)

    def act(self, words, printers):
        for action in words.split(","):
            verb, name = action.split()
            if verb == "plug":
                self.plugged[name] = usb.plug_printer(self.env, **printers[name])
                self.ids[name] = self.plugged[name]
            else:
                usb.unplug_printer(self.env, self.plugged.pop(name))

    def test_sequences(self):
        for index, (title, base, printers, queues, steps) in enumerate(SEQUENCES):
            driver = "Bench Label %d" % index
            with self.subTest(sequence=title):
                winservice.add_label_driver(self.env, self.cups, driver)
                self.use(base, driver)
                for name, position, state in queues:
                    self.make_queue(name, driver, position, state)
                try:
                    for words, expected in steps:
                        self.act(words, printers)
                        winservice.run_service_pass(self.env, SERVICE)
                        self.assertEqual(self.managed(driver), sorted(expected), "%s: after %s" % (title, words))
                finally:
                    self.unplug_all()
                family = (usb.FAMILY[0], usb.FAMILY[1], usb.FAMILY[2])
                for name, plug in printers.items():
                    ids = (plug.get("vendor", family[0]), plug.get("product", family[1]),
                           plug.get("interface", family[2]))
                    if ids != family:
                        counters = usb.printer_counters(self.env, self.ids[name])
                        self.assertEqual(counters["opens"], 0, "%s: %s was opened" % (title, name))

    def test_first_queue_moves_to_its_name(self):
        """The rename moves the queue: its key and the Position written when
        it was added are under the wanted name, which opens it, while
        "<base> #0" no longer does; the data file is named after it."""
        driver, base = "Bench Label Rename", "Renamed"
        winservice.add_label_driver(self.env, self.cups, driver)
        self.use(base, driver)
        block = usb.usb_block(8, length=100, seed=9)
        self.act("plug a", {"a": {"block": block}})
        winservice.run_service_pass(self.env, SERVICE)
        stored = [q for q in winservice.spooler_registry(self.env) if q["driver"] == driver]
        self.assertEqual([(q["key"], q["name"], q["position"]) for q in stored], [("Renamed", "Renamed", 1)])
        code, text = wineprefix.wine(self.env, [paths.watch_tool("watch_spool_tool.exe"), "delete", base + " #0"],
                                  check=False)
        self.assertIn("error=1801", text)
        with open(os.path.join(self.data_dir, base + ".bin"), "rb") as f:
            self.assertEqual(f.read(), block[:63])
        code, text = wineprefix.wine(self.env, [paths.watch_tool("watch_spool_tool.exe"), "delete", base],
                                  check=False)
        self.assertIn("deleted", text)

    def test_three_printers_at_once_and_their_files(self):
        driver, base = "Bench Label Three", "Three"
        winservice.add_label_driver(self.env, self.cups, driver)
        self.use(base, driver)
        blocks = [usb.usb_block(8, length=100, seed=11), usb.usb_block(8, length=63, seed=12),
                  usb.usb_block(8, length=5, seed=13)]
        self.act("plug x, plug y, plug z", {n: {"block": b} for n, b in zip("xyz", blocks)})
        winservice.run_service_pass(self.env, SERVICE)
        # All three are added in one pass; only the first is renamed.
        self.assertEqual(self.managed(driver), [("Three", 1, ON), ("Three #1", 2, ON), ("Three #2", 3, ON)])
        for name, block in zip(("Three", "Three #1", "Three #2"), blocks):
            with open(os.path.join(self.data_dir, name + ".bin"), "rb") as f:
                self.assertEqual(f.read(), (block + bytes(63))[:63], name)

    def test_silent_printers_cost_one_read_time_out_each(self):
        driver, base = "Bench Label Quiet", "Quiet"
        winservice.add_label_driver(self.env, self.cups, driver)
        self.use(base, driver)
        self.make_queue(base, driver, 1, OFF)
        self.act("plug v", {"v": {"block": usb.usb_block(8)}})
        quick = min(winservice.run_service_pass(self.env, SERVICE) for _ in range(2))
        # Device 1 is read once per pass (counting): only queue 0 pairs with
        # a device in the later steps. Four silent printers hold the pass,
        # and so the service's first status, for over 12 s: stock Wine's
        # StartService gave up after 10 s and killed the service, Windows's
        # does not wait for that status at all.
        silent = ("s1", "s2", "s3", "s4")
        self.act(", ".join("plug " + n for n in silent), {n: {"behaviour": "silent"} for n in silent})
        slow = winservice.run_service_pass(self.env, SERVICE)
        counters = [usb.printer_counters(self.env, self.plugged[n]) for n in silent]
        print("silent printers: their reads waited %s ms until printerwatch cancelled each (time-out 3000 ms); "
              "the pass took %.2f s against %.2f s without them"
              % ("/".join(str(c["pending_ms"]) for c in counters), slow, quick))
        for name, counter in zip(silent, counters):
            self.assertEqual((counter["reads"], counter["cancelled"], counter["closes"]), (1, 1, 1), (name, counter))
        self.assertEqual(self.managed(driver), [("Quiet", 1, ON)])


class VirtualUsbBusTest(unittest.TestCase):
    """The bus itself, seen through printerwatch's own USB backend."""

    @classmethod
    def setUpClass(cls):
        cls.run_ = run = processes.new_run(cls.addClassCleanup)
        cls.env = wineprefix.new_prefix(run, None)
        seconds = usb.install_usb_bus(run, cls.env)
        print("bus installed in %.1f s" % seconds)

    def test_plugged_printers_are_listed_and_answer(self):
        events = usb.start_device_events(self.run_, self.env)
        cases = [
            # behaviour, block, read result, bytes
            ("answer", usb.usb_block(8, length=5), 0, usb.usb_block(8, length=5)),
            ("answer", usb.usb_block(8, length=255), 0, usb.usb_block(8, length=255)),
            ("silent", b"", 2, b""),
            ("failopen", b"", None, b""),
        ]
        for behaviour, block, result, data in cases:
            with self.subTest(behaviour=behaviour, length=len(block)):
                printer = usb.plug_printer(self.env, behaviour=behaviour, block=block)
                path = usb.usb_printer_path(printer)
                self.assertIn(path, usb.usb_printer_paths(self.env))
                answer = usb.read_usb_printer(self.env, path, timeout_ms=500)
                self.assertEqual((answer["result"], answer["data"]), (result, data), answer)
                usb.unplug_printer(self.env, printer)
                self.assertNotIn(path, usb.usb_printer_paths(self.env))
                counters = usb.printer_counters(self.env, printer)
                self.assertEqual(counters["removed"], 1, counters)
                if behaviour == "silent":
                    self.assertEqual(counters["cancelled"], 1, counters)
        time.sleep(0.5)
        kinds = [(e["kind"], e["class"]) for e in usb.device_events(events)]
        # One arrival and one removal per printer, for the printer class, in
        # a window registered with RegisterDeviceNotification.
        self.assertEqual(kinds, [("arrival", "usbprint"), ("removal", "usbprint")] * len(cases))
        self.assertEqual({e["encoding"] for e in usb.device_events(events)}, {"utf16"})

    def test_printer_vanishing_during_a_read(self):
        printer = usb.plug_printer(self.env, behaviour="silent")
        path = usb.usb_printer_path(printer)
        reader = wineprefix.start_program(self.run_, self.env, usb.usbbus_tool(), ["read", path, "20000"],
                                       name="vanishing-read")
        processes.wait_until(lambda: usb.printer_counters(self.env, printer)["reads"] == 1, 30,
                           what="the read to reach the printer")
        usb.unplug_printer(self.env, printer)
        processes.wait_until(lambda: reader["proc"].poll() is not None, 30, what="the read to end")
        answer = processes.output(reader).decode()
        counters = usb.printer_counters(self.env, printer)
        print("vanished during a read: %s" % answer.strip())
        # Wine removes the device while the reader still holds it open
        # (Windows would wait for the handle): the pending read ends as a
        # failed read, "device not connected", long before its time-out.
        self.assertIn("result=1 count=0 error=1167", answer)
        self.assertEqual((counters["abandoned"], counters["removed"], counters["closes"]), (1, 1, 1), counters)

    def test_bench_faults_fail_in_one_line(self):
        bare_run = processes.new_run(self.addCleanup)
        bare = wineprefix.new_prefix(bare_run, None)  # never given the bus
        cases = [
            # what, how, the line's telling words
            ("an unknown printer", lambda: usb.unplug_printer(self.env, 999), "unplug failed: id=999"),
            ("a prefix without the bus", lambda: usb.plug_printer(bare),
             "is the bus installed in this prefix?"),
            ("a driver that can't be installed", lambda: usb.install_usb_bus(bare_run, bare, "C:\\none.inf"),
             "install failed: no such INF"),
        ]
        for what, command, words in cases:
            with self.subTest(what):
                with self.assertRaises(RuntimeError) as caught:
                    command()
                line = str(caught.exception)
                self.assertEqual(len(line.splitlines()), 1, line)
                self.assertIn(words, line)


if __name__ == "__main__":
    unittest.main()
