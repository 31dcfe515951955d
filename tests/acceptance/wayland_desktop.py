"""The panel on native Wayland, as a new user meets it on sway: the window's close, a
tray that starts after the panel, no tray at all, a second copy, File > Exit. One sway
session serves every case; each case starts its own panel against one emulator.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from panel_rig import EMULATOR, PANEL, Child, own_network_namespace, wait_for  # noqa: E402
from sway_rig import SwayDesktop, as_user, missing_tools, wait_gone, wait_shown  # noqa: E402

MAIN = r"^Ostrel GPS Control Panel$"
# The accessibility bindings belong to the system's Python, whichever runs the tests.
SYSTEM_PYTHON = "/usr/bin/python3"
ATSPI_DUMP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                          "atspi_dump.py")
SETTINGS = "[GPS]\nProcessGPS=1\n[Debug]\nPanel=2\n"
# Satellites in the emulator's fix, so the screen reader's table has a known size.
SATELLITES = 6


class WaylandDesktop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = missing_tools() + [n for n, p in (("panel", PANEL), ("emulator", EMULATOR))
                                     if not p]
        if missing:
            raise unittest.SkipTest("not installed: " + ", ".join(missing))
        cls.root = tempfile.mkdtemp(prefix="ostrel-wayland-")
        cls.emulator = Child([EMULATOR, "--eeprom", os.path.join(cls.root, "eeprom.bin"),
                              "--satellites", str(SATELLITES)],
                             cls.root, os.path.join(cls.root, "emulator.err"))
        try:
            cls.desktop = SwayDesktop(cls.root)
        except RuntimeError as e:
            cls.emulator.kill()
            raise unittest.SkipTest(str(e))

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()
        cls.emulator.kill()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        self.panels = []

    def tearDown(self):
        for panel in self.panels:
            panel.kill()

    def start_panel(self, name, env=None, log="panel.err"):
        """A panel in a folder of its own, started as the desktop's user."""
        folder = os.path.join(self.root, name)
        os.makedirs(folder, exist_ok=True)
        os.chown(folder, *self.uid())
        settings = os.path.join(folder, "ostrel_gps_monitor.ini")
        with open(settings, "w") as f:
            f.write(SETTINGS)
        os.chown(settings, *self.uid())
        full_env = dict(self.desktop.program_env(), **(env or {}))
        if os.environ.get("OSTREL_SANITIZED") == "1":
            # libwayland-client and Qt's Wayland and D-Bus plug-ins keep memory to the
            # end; the panel's own leaks are checked on X11 and offscreen.
            full_env["ASAN_OPTIONS"] = ":".join(
                filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
        panel = Child(as_user([PANEL]), folder, os.path.join(folder, log), env=full_env)
        self.panels.append(panel)
        return panel, folder

    def uid(self):
        return (65534, 65534)

    def wait_port(self, panel):
        self.assertTrue(wait_for(lambda: "GPS Data port" in panel.output(), 15), panel.output())

    def keep(self, name):
        shots = os.environ.get("OSTREL_SCREENSHOTS")
        if shots:
            self.assertTrue(self.desktop.screenshot(os.path.join(shots, name)))

    def test_a_no_tray_then_a_late_tray_then_close_hides(self):
        desktop = self.desktop
        self.assertEqual(desktop.tray_items(), [], "a tray before its time")
        panel, folder = self.start_panel("late")
        self.wait_port(panel)
        # No tray and no minimise: the window stays where the user can reach it.
        self.assertTrue(wait_shown(desktop, MAIN, 10))
        self.assertFalse(wait_gone(desktop, MAIN, 2.5), "the window went where nobody finds it")
        self.keep("wayland-no-tray.png")

        # The tray comes up after the panel, as at login: the icon appears in it, and the
        # window that could not hide goes there as it would have at start.
        desktop.start_tray()
        item = desktop.tray_item(15)
        self.assertIsNotNone(item, "the late tray got no icon")
        # Named as the window is, the state and status in its tooltip.
        self.assertIn("'Ostrel GPS Control Panel'", desktop.item_property(item, "Title"))
        self.assertRegex(desktop.item_property(item, "ToolTip"),
                         r"'Ostrel GPS Control Panel', '[^']*fix[^']*\\nStatus: ")
        self.assertTrue(wait_gone(desktop, MAIN, 10))

        # The tray's click restores; the window's close (xdg_toplevel.close) hides again,
        # and the panel and its GPS Data port stay.
        desktop.activate(item)
        self.assertTrue(wait_shown(desktop, MAIN, 10), "the tray's click did not restore")
        self.keep("wayland-restored-from-tray.png")
        desktop.kill("ostrel-panel", "Ostrel GPS Control Panel")
        self.assertTrue(wait_gone(desktop, MAIN, 10))
        self.assertFalse(wait_for(lambda: not panel.running(), 2.5), "the close ended the panel")
        self.assertTrue(os.path.islink(os.path.join(folder, "COM1")))
        desktop.activate(item)
        self.assertTrue(wait_shown(desktop, MAIN, 10))

    def test_b_second_copy_shows_the_window_and_file_exit_ends(self):
        desktop = self.desktop
        if not os.path.exists(desktop.bar_flag):
            desktop.start_tray()
        panel, folder = self.start_panel("exit")
        self.wait_port(panel)
        item = desktop.tray_item(15)
        self.assertIsNotNone(item)
        self.assertEqual(len(desktop.tray_items()), 1)
        # A tray there at start names the icon as the window too, not after the program.
        self.assertIn("'Ostrel GPS Control Panel'", desktop.item_property(item, "Title"))
        # Shown, and into the tray a second later.
        self.assertTrue(wait_shown(desktop, MAIN, 10))
        self.assertTrue(wait_gone(desktop, MAIN, 10))

        # A second copy: its box says how to reach the running one, which shows itself.
        second, _ = self.start_panel("exit", log="second.err")
        self.assertTrue(wait_shown(desktop, r"^GPS Control Panel$", 15), second.output())
        self.assertTrue(wait_shown(desktop, MAIN, 10), "the running panel stayed hidden")
        self.keep("wayland-second-copy.png")
        desktop.kill("ostrel-panel", "GPS Control Panel")
        self.assertTrue(wait_for(lambda: not second.running(), 10))
        self.assertTrue(panel.running())

        # File > Exit by its shortcut, on the window that has the keyboard.
        self.assertTrue(desktop.keys("-M", "ctrl", "-s", "300", "q", "-m", "ctrl"))
        self.assertTrue(wait_for(lambda: not panel.running(), 10),
                        "Ctrl+Q did not end it: %s" % [(n, w.get("focused")) for n, w in desktop.windows()])
        self.assertEqual(panel.proc.returncode, 0, panel.output())
        self.assertFalse(os.path.lexists(os.path.join(folder, "COM1")))

    def accessible_tree(self):
        """What a screen reader sees of the panel, or None while it is not there."""
        out = subprocess.run(as_user([SYSTEM_PYTHON, ATSPI_DUMP, "ostrel-panel"]),
                             env=self.desktop.env, capture_output=True, timeout=60)
        return json.loads(out.stdout) if out.returncode == 0 and out.stdout else None

    def test_c_screen_reader_hears_names_headers_and_units(self):
        if subprocess.run([SYSTEM_PYTHON, "-c", "import pyatspi"],
                          capture_output=True).returncode != 0:
            self.skipTest("no python3-pyatspi")
        desktop = self.desktop
        if not os.path.exists(desktop.bar_flag):
            desktop.start_tray()
        panel, _ = self.start_panel("access", {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"})
        self.wait_port(panel)
        item = desktop.tray_item(15)
        self.assertTrue(wait_gone(desktop, MAIN, 10))
        desktop.activate(item)
        self.assertTrue(wait_shown(desktop, MAIN, 10))

        found = {}

        def read():
            tree = self.accessible_tree()
            found.clear()
            if tree:
                collect(tree, found)
            said = [found.get(key, {}).get("description", "") for key in
                    (("label", "Speed"), ("filler", "Sky plot"))]
            return said[0].endswith("kilometres per hour") and said[1].startswith(
                "%d satellites drawn" % SATELLITES)
        self.assertTrue(wait_for(read, 30, 0.5), sorted(found))

        # The title row as the columns' headers, and a row for each satellite listed.
        table = found[("table", "Active satellites")]
        self.assertEqual(table["headers"], ["ID", "Elevation", "Azimuth", "SNR"])
        self.assertEqual(table["rows"], SATELLITES)
        self.assertIn(("spin button", "Mask Angle"), found)
        self.assertRegex(found[("filler", "Sky plot")]["description"],
                         r"^\d+ satellites drawn: satellite \d+ at elevation \d+ degrees, "
                         r"azimuth \d+ degrees")
        self.assertRegex(found[("label", "Elevation")]["description"], r"^-?[\d.]+ metres$")
        self.assertIn(("dialog", "GPS Control Panel Help"), found)
        self.assertTrue(any(n["focused"] for n in found.values()), "no focus after the restore")


def collect(node, found):
    """Every named object by (role, name); the first of each wins."""
    found.setdefault((node["role"], node["name"]), node)
    for child in node["children"]:
        collect(child, found)


if __name__ == "__main__":
    own_network_namespace()
    unittest.main(verbosity=2)
