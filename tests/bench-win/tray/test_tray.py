"""printgate.exe as the desktop sees it, under Wine on a private X display:
no visible window, the notification-area icon and its menu, quitting with
exit code 0 (also with a request in the middle of being served), running on
without its port, a second copy with its own icon, the icon coming back
after a shell restart, and the resources compiled into the .exe."""

import os
import socket
import threading
import time
import unittest

from pylib import httpapi, paths, processes, scheduler, wineprefix, x11

WM_NULL, WM_CLOSE, WM_COMMAND, WM_USER = 0x0000, 0x0010, 0x0111, 0x0400
WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONDBLCLK = 0x0200, 0x0201, 0x0203
WM_RBUTTONDOWN, WM_RBUTTONUP = 0x0204, 0x0205
WS_OVERLAPPEDWINDOW, WS_VISIBLE = 0x00CF0000, 0x10000000
ICON_ID, QUIT_COMMAND = 1000, 105
CJK_FONT = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
ARTIFACTS = os.path.join(paths.BENCH_DIR, "artifacts")


def utf16_units(text):
    return " ".join("%04x" % ord(c) for c in text)


def parse_lines(text, first_key):
    """key=value lines, grouped into one dict per line starting with first_key."""
    records = []
    for line in text.splitlines():
        fields = dict(part.split("=", 1) for part in line.split(" ") if "=" in part)
        if not fields:
            continue
        if first_key in fields or not records:
            records.append(fields)
        else:
            records[-1].update(fields)
    return records


class TrayUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.run_ = processes.new_run(cls.addClassCleanup)
        cls.display = x11.start_xvfb(cls.run_)
        cls.cups = scheduler.start_cups(cls.run_)
        cls.env = wineprefix.new_prefix(cls.run_, cls.cups, display=cls.display)
        cls.probe_exe = paths.win_exe("tray/tray_probe.exe")
        if os.path.exists(CJK_FONT):
            # Only for a legible screenshot: Wine's UI fonts lack Chinese
            # glyphs, so the menu text would show as boxes.
            for face in ("Tahoma", "MS Shell Dlg", "Microsoft Sans Serif"):
                wineprefix.wine(cls.env, ["reg", "add",
                                       "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink",
                                       "/v", face, "/t", "REG_MULTI_SZ",
                                       "/d", "wqy-microhei.ttc,WenQuanYi Micro Hei", "/f"])
        cls.serial = 0

    # --- helpers ---------------------------------------------------------

    def probe(self, *args):
        code, text = wineprefix.wine(self.env, [self.probe_exe] + [str(a) for a in args])
        return text

    def tray_windows(self):
        return parse_lines(self.probe("list"), "window")

    def visible_windows(self):
        return parse_lines(self.probe("visible"), "visible")

    def icon_known(self, window):
        return parse_lines(self.probe("icon", window), "icon")[0]["icon"] == "1"

    def post(self, window, message, wparam, lparam):
        return parse_lines(self.probe("post", window, hex(message), wparam, lparam), "posted")[0]

    def start(self, wait_for_api=True):
        """Starts a copy and returns (program, its tray window record)."""
        known = {w["window"] for w in self.tray_windows()}
        type(self).serial += 1
        gate = wineprefix.start_printgate(self.run_, self.env, wait=wait_for_api,
                                       name="printgate-%d" % self.serial)
        self.addCleanup(processes.stop_process, gate["proc"])

        def new_window():
            if gate["proc"].poll() is not None:
                raise RuntimeError("printgate exited with %s" % gate["proc"].returncode)
            fresh = [w for w in self.tray_windows() if w["window"] not in known]
            return fresh[0] if len(fresh) == 1 else None
        return gate, processes.wait_until(new_window, 90, interval=0.3, what="a new TrayWndClass window")

    def menus_of(self, pid):
        return [w for w in self.visible_windows() if w.get("class") == "#32768" and w["pid"] == pid]

    def open_menu(self, window, x=200, y=150):
        """Puts the pointer at (x, y) and sends what a left press on the icon
        sends; returns the popup menu window record."""
        x11.x_input(self.display, ["mousemove", str(x), str(y)])
        self.assertEqual(self.post(window["window"], WM_USER, ICON_ID, WM_LBUTTONDOWN)["synced"], "1")
        menus = processes.wait_until(lambda: self.menus_of(window["pid"]), 20, interval=0.2, what="the tray menu")
        self.assertEqual(len(menus), 1)
        return menus[0]

    def choose_quit(self, menu):
        """Clicks the menu's one item, as the user would."""
        x = int(menu["x"]) + int(menu["width"]) // 2
        y = int(menu["y"]) + int(menu["height"]) // 2
        x11.x_input(self.display, ["mousemove", str(x), str(y), "click", "1"])

    def wait_exit(self, gate, timeout=30):
        try:
            return gate["proc"].wait(timeout)
        except Exception:
            self.fail("printgate did not end within %ss" % timeout)

    def request_in_flight(self):
        """A keep-alive connection whose first request was answered (so a
        server worker owns it) and whose second request is half sent: the
        library is then in the middle of reading that request's body."""
        connection = socket.create_connection(("127.0.0.1", httpapi.API_PORT), timeout=30)
        self.addCleanup(connection.close)
        connection.sendall(b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
        answer = b""
        while not answer.rstrip().endswith(b"}"):
            chunk = connection.recv(65536)
            self.assertTrue(chunk, "the first request was not answered")
            answer += chunk
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 "), answer[:200])
        connection.sendall(b"POST /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\n"
                           b"Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 100000\r\n\r\n"
                           b"onlyOnline=1&")
        # The body keeps coming, a byte every half second, until the program
        # has ended: a body that stalls for the server's read timeout (5 s,
        # which starting the probes under Wine on a loaded machine can take)
        # is answered 400 by the server, as it should be, and is no longer
        # in flight.
        done = threading.Event()

        def trickle():
            while not done.wait(0.5):
                try:
                    connection.sendall(b"x")
                except OSError:
                    return
        trickler = threading.Thread(target=trickle)
        trickler.start()
        self.addCleanup(trickler.join)
        self.addCleanup(done.set)
        connection.settimeout(1)
        with self.assertRaises(socket.timeout, msg="the half-sent request was answered"):
            connection.recv(65536)
        return connection

    def assert_cut_off(self, connection):
        """The half-sent request never got an answer: the connection ended."""
        connection.settimeout(10)
        try:
            rest = connection.recv(65536)
        except (ConnectionResetError, socket.timeout) as error:
            self.assertIsInstance(error, ConnectionResetError)
            return
        self.assertEqual(rest, b"")

    # --- cases -----------------------------------------------------------

    def test_starts_hidden_with_its_icon_and_the_api_answering(self):
        gate, window = self.start()
        self.assertEqual(window["visible"], "0")
        style = int(window["style"], 16)
        self.assertEqual(style & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW)
        self.assertEqual(style & WS_VISIBLE, 0)
        self.assertEqual(window["title_length"], "0")
        self.assertEqual([w for w in self.visible_windows() if w["pid"] == window["pid"]], [])
        self.assertTrue(self.icon_known(window["window"]))
        self.assertEqual(self.icons_in_tray("tray-one-icon.png"), 1)
        status, _, body = httpapi.http("POST", "/vqapi/GetPrinters", body=b"")
        self.assertEqual(status, 200)
        self.assertIn(b'"VELQ"', body)
        self.assertEqual(gate["proc"].poll(), None)

    def test_left_press_opens_the_menu_other_events_and_outside_clicks_do_nothing(self):
        gate, window = self.start()
        for mouse in (WM_RBUTTONDOWN, WM_RBUTTONUP, WM_LBUTTONDBLCLK, WM_MOUSEMOVE):
            self.assertEqual(self.post(window["window"], WM_USER, ICON_ID, mouse)["synced"], "1")
            self.assertEqual(self.menus_of(window["pid"]), [], hex(mouse))
        # A left press sent as a plain mouse message is no icon event either.
        self.assertEqual(self.post(window["window"], WM_LBUTTONDOWN, 0, 0)["synced"], "1")
        self.assertEqual(self.menus_of(window["pid"]), [])

        before = x11.screenshot(self.display, os.path.join(ARTIFACTS, "tray-before-menu.png"))
        menu = self.open_menu(window, 200, 150)
        # The menu's top-left corner sits at the pointer.
        self.assertEqual((int(menu["x"]), int(menu["y"])), (200, 150))
        shot = x11.screenshot(self.display, os.path.join(ARTIFACTS, "tray-menu.png"))
        self.assert_shows_menu(before, shot, menu)

        # A click elsewhere closes the menu without a command.
        x11.x_input(self.display, ["mousemove", "700", "600", "click", "1"])
        processes.wait_until(lambda: not self.menus_of(window["pid"]), 20, interval=0.2, what="the menu to close")
        self.assertEqual(self.post(window["window"], WM_NULL, 0, 0)["synced"], "1")
        self.assertIsNone(gate["proc"].poll())
        self.assertEqual(httpapi.http("POST", "/vqapi/GetPrinters", body=b"")[0], 200)
        # And it opens again at the new pointer position.
        menu = self.open_menu(window, 320, 240)
        self.assertEqual((int(menu["x"]), int(menu["y"])), (320, 240))
        self.choose_quit(menu)
        self.assertEqual(self.wait_exit(gate), 0)

    def assert_shows_menu(self, before, shot, menu):
        x, y, width, height = (int(menu[k]) for k in ("x", "y", "width", "height"))
        area = x11.pixels(shot, x, y, width, height)
        empty = x11.pixels(before, x, y, width, height)
        self.assertNotEqual(area, empty, "the screenshot shows nothing new where the menu is")
        rgb = [area[i:i + 3] for i in range(0, len(area), 3)]
        light = sum(1 for p in rgb if min(p) >= 200)
        ink = sum(1 for p in rgb if max(p) <= 160)
        # A light menu face with the item's text on it.
        self.assertGreater(light, len(rgb) // 2)
        self.assertGreater(ink, 10)
        self.assertLess(ink, len(rgb) // 4)

    def icons_in_tray(self, name):
        """How many copies of the icon Wine's stand-alone tray window shows
        (the icon's blue body, counted as runs of columns), with the
        screenshot kept as an artifact."""
        trays = [w for w in self.visible_windows() if w.get("class") == "__winex11_standalone_tray"]
        self.assertEqual(len(trays), 1, "Wine shows no stand-alone tray window")
        x, y, width, height = (int(trays[0][k]) for k in ("x", "y", "width", "height"))
        shot = x11.screenshot(self.display, os.path.join(ARTIFACTS, name))
        area = x11.pixels(shot, x, y, width, height)
        columns = [any(area[(row * width + column) * 3 + 2] >= area[(row * width + column) * 3] + 60
                       for row in range(height)) for column in range(width)]
        return sum(1 for i, blue in enumerate(columns) if blue and (i == 0 or not columns[i - 1]))

    def test_menu_quit_ends_with_exit_code_0_while_a_request_is_in_flight(self):
        gate, window = self.start()
        connection = self.request_in_flight()
        menu = self.open_menu(window)
        self.choose_quit(menu)
        self.assertEqual(self.wait_exit(gate), 0)
        self.assert_cut_off(connection)
        self.assertFalse(httpapi.api_answering())

    def test_close_request_ends_with_exit_code_0_while_a_request_is_in_flight(self):
        gate, window = self.start()
        connection = self.request_in_flight()
        self.post(window["window"], WM_CLOSE, 0, 0)
        self.assertEqual(self.wait_exit(gate), 0)
        self.assert_cut_off(connection)

    def test_quit_command_posted_directly_ends_the_program(self):
        gate, window = self.start()
        # Other command identifiers are ignored.
        self.assertEqual(self.post(window["window"], WM_COMMAND, QUIT_COMMAND + 1, 0)["synced"], "1")
        self.assertIsNone(gate["proc"].poll())
        self.post(window["window"], WM_COMMAND, QUIT_COMMAND, 0)
        self.assertEqual(self.wait_exit(gate), 0)

    def test_with_the_port_taken_it_runs_on_and_quits_through_its_menu(self):
        holder = socket.socket()
        self.addCleanup(holder.close)
        # Earlier cases leave connections in TIME_WAIT on the port.
        holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        holder.bind(("127.0.0.1", httpapi.API_PORT))
        holder.listen(1)
        gate, window = self.start(wait_for_api=False)
        self.assertTrue(self.icon_known(window["window"]))
        self.assertEqual(self.post(window["window"], WM_NULL, 0, 0)["synced"], "1")
        self.assertIsNone(gate["proc"].poll())
        menu = self.open_menu(window)
        self.choose_quit(menu)
        self.assertEqual(self.wait_exit(gate), 0)
        # Nothing is reported when the port cannot be bound.
        self.assertEqual(processes.output(gate), b"")

    def test_a_second_copy_shows_its_own_icon(self):
        first, firstWindow = self.start()
        second, secondWindow = self.start(wait_for_api=False)
        self.assertNotEqual(firstWindow["pid"], secondWindow["pid"])
        self.assertTrue(self.icon_known(firstWindow["window"]))
        self.assertTrue(self.icon_known(secondWindow["window"]))
        self.assertEqual(self.icons_in_tray("tray-two-copies.png"), 2)

        # The second copy (its port taken by the first) quits on its own.
        self.choose_quit(self.open_menu(secondWindow))
        self.assertEqual(self.wait_exit(second), 0)
        self.assertFalse(self.icon_known(secondWindow["window"]))
        self.assertTrue(self.icon_known(firstWindow["window"]))
        self.assertEqual(self.icons_in_tray("tray-one-copy-left.png"), 1)
        self.assertEqual(httpapi.http("POST", "/vqapi/GetPrinters", body=b"")[0], 200)
        self.post(firstWindow["window"], WM_CLOSE, 0, 0)
        self.assertEqual(self.wait_exit(first), 0)

    def test_the_icon_comes_back_when_the_shell_restarts(self):
        gate, window = self.start()
        # The shell losing its icons, as when it restarts ...
        self.assertEqual(parse_lines(self.probe("removeicon", window["window"]), "removed")[0]["removed"], "1")
        self.assertFalse(self.icon_known(window["window"]))
        # ... and announcing itself again.
        announced = parse_lines(self.probe("taskbarcreated", window["window"]), "message")[0]
        self.assertEqual((announced["sent"], announced["synced"]), ("1", "1"))
        self.assertTrue(self.icon_known(window["window"]))
        self.choose_quit(self.open_menu(window))
        self.assertEqual(self.wait_exit(gate), 0)


class CompiledResources(unittest.TestCase):
    """The texts and pictures as windres compiled them, read back through
    the Win32 resource functions (no display needed)."""

    def test_menu_109_and_icon_107(self):
        run = processes.new_run(self.addCleanup)
        env = wineprefix.new_prefix(run, None)
        exe = paths.win_exe("tray/printgate.exe")
        _, text = wineprefix.wine(env, [paths.win_exe("tray/tray_probe.exe"), "resources", exe])
        lines = text.splitlines()
        self.assertIn("menu_loaded=1", lines)
        self.assertIn("top_items=1", lines)
        self.assertIn("popup=0 text=%s items=1" % utf16_units("文件(&F)"), lines)
        self.assertIn("item=105 text=%s state=0" % utf16_units("退出(&X)"), lines)
        icons = sorted((l for l in lines if l.startswith("icon ")), reverse=True)
        self.assertEqual(icons, ["icon width=%d height=%d bits=32 image_bits=32 loads=1" % (s, s)
                                 for s in (48, 32, 16)], text)
        # The tooltip is no resource: look for its UTF-16 text in the image.
        with open(exe, "rb") as f:
            self.assertIn("VELQ打印服务\0".encode("utf-16-le"), f.read())


if __name__ == "__main__":
    unittest.main()
