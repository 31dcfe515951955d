#!/usr/bin/env python3
"""The installed panel as a desktop session starts it, and as a shell starts it.

Real processes only: the installed kastrel-emulator, and the installed panel started
by the Exec line of its installed menu entry (or login entry) in a scratch home folder,
on Qt's offscreen platform; a client reads NMEA from the GPS Data port link. As root the
run moves into a network namespace of its own, so it meets no other panel or emulator.

The installation is read from the environment:
  OSTREL_PREFIX        the prefix the files were built for (/usr, /usr/local)
  OSTREL_INSTALL_ROOT  where that prefix is staged (DESTDIR); empty for the real system
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

# The shared rig: processes, the port client, and their private Xvfb display.
for var, tool in (("OSTREL_XVFB", "Xvfb"), ("OSTREL_XDOTOOL", "xdotool")):
    os.environ.setdefault(var, shutil.which(tool) or "")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import panel_rig  # noqa: E402  (its test case class stays out of this module's namespace)
from nmea import valid_sentences  # noqa: E402
from panel_rig import Child, PortClient, own_network_namespace, wait_for  # noqa: E402

PREFIX = os.environ.get("OSTREL_PREFIX", "/usr")
ROOT = os.environ.get("OSTREL_INSTALL_ROOT", "")

MENU_ENTRY = "share/applications/ostrel-panel.desktop"
LOGIN_ENTRY = "share/ostrel-panel/autostart/ostrel-panel.desktop"
WINDOW_NAME = "^Ostrel GPS Control Panel$"
PORT_LINE = re.compile(r"GPS Data port (COM\d+) at (.+) \((/dev/pts/\d+)\)$", re.M)
# Field codes a launcher replaces with files, URLs, the icon...; the panel takes none.
FIELD_CODE = re.compile(r"^%[fFuUdDnNickvm]$")


def staged(path):
    """An installed absolute path, as it lies on this machine."""
    return ROOT + path


def exec_argv(entry_path):
    """The Exec line of a desktop entry as an argument list, the way a launcher splits it:
    spaces separate arguments, double quotes group them, a backslash escapes the next
    character inside quotes, field codes go."""
    exec_line = None
    with open(staged(entry_path), encoding="utf-8") as f:
        in_entry = False
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("["):
                in_entry = line == "[Desktop Entry]"
            elif in_entry and line.startswith("Exec="):
                exec_line = line[len("Exec="):]
    if exec_line is None:
        raise AssertionError("%s has no Exec line" % entry_path)
    exec_line = exec_line.replace("\\\\", "\\")  # the string escape of the file format
    argv, word, quoted, i, started = [], "", False, 0, False
    while i < len(exec_line):
        c = exec_line[i]
        if quoted and c == "\\" and i + 1 < len(exec_line):
            word += exec_line[i + 1]
            i += 1
        elif c == '"':
            quoted = not quoted
            started = True
        elif c == " " and not quoted:
            if started or word:
                argv.append(word)
            word, started = "", False
        else:
            word += c
        i += 1
    if started or word:
        argv.append(word)
    return [a for a in argv if not FIELD_CODE.match(a)]


class DesktopStart(unittest.TestCase):
    have_x = panel_rig.PanelRig.have_x
    start_xvfb = panel_rig.PanelRig.start_xvfb
    xdotool = panel_rig.PanelRig.xdotool

    def setUp(self):
        self.display = None
        self.panel = None
        self.home = tempfile.mkdtemp(prefix="ostrel-home-")
        self.scratch = tempfile.mkdtemp(prefix="ostrel-install-")
        self.runtime = tempfile.mkdtemp(prefix="ostrel-runtime-")  # private, as a session's
        self.children = []
        self.clients = []

    def start_emulator(self):
        self.emulator = Child([staged(PREFIX + "/bin/kastrel-emulator"),
                               "--eeprom", os.path.join(self.scratch, "eeprom.bin")],
                              self.scratch, os.path.join(self.scratch, "emulator.err"))
        self.children.append(self.emulator)
        self.assertTrue(wait_for(lambda: "listening" in self.emulator.output(), 10),
                        self.emulator.output())

    def tearDown(self):
        for c in self.clients:
            c.close()
        for child in reversed(self.children):
            child.kill()
        shutil.rmtree(self.home, ignore_errors=True)
        shutil.rmtree(self.scratch, ignore_errors=True)
        shutil.rmtree(self.runtime, ignore_errors=True)

    def session_env(self, config_home=None):
        """What a desktop session gives a program it starts: no display here."""
        env = {"HOME": self.home, "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
               "QT_QPA_PLATFORM": "offscreen", "LANG": "C.UTF-8",
               "XDG_RUNTIME_DIR": self.runtime}
        if config_home is not None:
            env["XDG_CONFIG_HOME"] = config_home
        return env

    def start(self, argv, cwd, env):
        """Starts the panel and returns the GPS Data port link it prints."""
        panel = Child(argv, cwd, os.path.join(self.scratch, "panel.err"), env=env)
        self.children.append(panel)
        self.panel = panel
        self.assertTrue(wait_for(lambda: PORT_LINE.search(panel.output()), 15), panel.output())
        port, link, device = PORT_LINE.search(panel.output()).groups()
        self.assertEqual(os.readlink(link), device)  # the device gpsd may be handed
        return port, link

    def assert_serves_nmea(self, link):
        client = PortClient(link)
        self.clients.append(client)
        self.assertTrue(wait_for(lambda: len(valid_sentences(client.data())) >= 3, 10),
                        "no NMEA on %s: %r" % (link, client.data()[:200]))

    def assert_ends_in_order(self, link):
        for c in self.clients:
            c.close()
        self.clients = []
        self.assertEqual(self.panel.terminate(5), 0, self.panel.output())
        self.assertFalse(os.path.lexists(link), "GPS Data port link left behind")

    def end_panel(self):
        for c in self.clients:
            c.close()
        self.clients = []
        if self.panel:
            self.panel.kill()
        self.panel = None

    def test_desktop_entries_start_the_panel_in_its_own_folder(self):
        self.start_emulator()
        # entry, XDG_CONFIG_HOME (relative to home; None: unset), settings already in the
        # folder, the folder expected (relative to home), the port expected
        cases = [
            ("menu, no XDG_CONFIG_HOME", MENU_ENTRY, None, None, ".config/ostrel-panel", "COM1"),
            ("menu, XDG_CONFIG_HOME set", MENU_ENTRY, "/xdg", None, "xdg/ostrel-panel", "COM1"),
            ("menu, XDG_CONFIG_HOME with a space", MENU_ENTRY, "/my config", None,
             "my config/ostrel-panel", "COM1"),
            ("menu, XDG_CONFIG_HOME empty", MENU_ENTRY, "", None, ".config/ostrel-panel", "COM1"),
            ("menu, XDG_CONFIG_HOME relative", MENU_ENTRY, "rel", None, ".config/ostrel-panel",
             "COM1"),
            ("menu, settings of an earlier start", MENU_ENTRY, None, "[GPS]\nCOM=7\n",
             ".config/ostrel-panel", "COM7"),
            ("login entry", LOGIN_ENTRY, None, None, ".config/ostrel-panel", "COM1"),
        ]
        for name, entry, config_home, settings, folder, port in cases:
            with self.subTest(name):
                shutil.rmtree(self.home)
                os.mkdir(self.home)
                folder = os.path.join(self.home, folder)
                if settings is not None:
                    os.makedirs(folder)
                    with open(os.path.join(folder, "ostrel_gps_monitor.ini"), "w") as f:
                        f.write(settings)
                if config_home and config_home.startswith("/"):
                    config_home = self.home + config_home
                argv = exec_argv(PREFIX + "/" + entry)
                self.assertTrue(argv and argv[0].startswith("/"), argv)
                argv[0] = staged(argv[0])
                try:
                    # A session starts menu programs in the home folder.
                    got_port, link = self.start(argv, self.home, self.session_env(config_home))
                    self.assertEqual(got_port, port)
                    self.assertEqual(link, os.path.join(folder, port))
                    self.assertTrue(os.path.islink(link))
                    settings_file = os.path.join(folder, "ostrel_gps_monitor.ini")
                    self.assertTrue(os.path.isfile(settings_file))
                    if settings is not None:
                        with open(settings_file) as f:
                            self.assertIn("COM=7", f.read())
                    self.assert_serves_nmea(link)
                    # Nothing of the panel's lies loose in the home folder.
                    top = folder[len(self.home) + 1:].split("/")[0]
                    self.assertEqual(sorted(os.listdir(self.home)), [top])
                    self.assert_ends_in_order(link)
                finally:  # a failed case must not leave its panel to the next
                    self.end_panel()

    @unittest.skipUnless(shutil.which("trayer"), "trayer missing")
    def test_menu_start_shows_in_the_tray(self):
        """On an X display with a system tray: the window shows, hides in the tray a second
        later, and a double-click on the tray icon brings it back."""
        if not self.have_x():
            self.skipTest("Xvfb or xdotool missing")
        self.start_xvfb()
        env = dict(self.session_env(), DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        trayer = Child(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                        "--height", "32", "--SetDockType", "true"], self.scratch,
                       os.path.join(self.scratch, "trayer.log"), env=env)
        self.children.append(trayer)
        self.assertTrue(wait_for(lambda: self.xdotool("search", "--class", "trayer"), 10, 0.1))
        self.start_emulator()
        argv = exec_argv(PREFIX + "/" + MENU_ENTRY)
        argv[0] = staged(argv[0])
        _, link = self.start(argv, self.home, env)

        def visible():
            return self.xdotool("search", "--onlyvisible", "--name", WINDOW_NAME)

        self.assertTrue(wait_for(visible, 10, 0.1), "the window never showed")
        self.assertTrue(wait_for(lambda: not visible(), 10, 0.1), "the window stayed out")
        tray = self.xdotool("search", "--onlyvisible", "--class", "trayer")[0]
        geometry = dict(line.split("=") for line in
                        self.xdotool("getwindowgeometry", "--shell", tray))
        x = int(geometry["X"]) + int(geometry["WIDTH"]) // 2
        y = int(geometry["Y"]) + int(geometry["HEIGHT"]) // 2
        self.xdotool("mousemove", str(x), str(y), "click", "--repeat", "2", "--delay", "80", "1")
        self.assertTrue(wait_for(visible, 10, 0.1), "the tray icon did not bring the window back")
        self.assert_serves_nmea(link)
        self.assert_ends_in_order(link)

    def test_shell_start_keeps_the_current_directory(self):
        self.start_emulator()
        work = os.path.join(self.home, "work")
        os.mkdir(work)
        port, link = self.start([staged(PREFIX + "/bin/ostrel-panel")], work, self.session_env())
        self.assertEqual(link, os.path.join(work, port))
        self.assertTrue(os.path.isfile(os.path.join(work, "ostrel_gps_monitor.ini")))
        self.assertFalse(os.path.exists(os.path.join(self.home, ".config")))
        self.assert_serves_nmea(link)
        self.assert_ends_in_order(link)

    @unittest.skipUnless(shutil.which("desktop-file-validate"), "desktop-file-utils missing")
    def test_desktop_entries_are_valid(self):
        for entry in (MENU_ENTRY, LOGIN_ENTRY):
            with self.subTest(entry):
                out = subprocess.run(["desktop-file-validate", staged(PREFIX + "/" + entry)],
                                     capture_output=True, text=True)
                self.assertEqual(out.returncode, 0, out.stdout + out.stderr)
                self.assertEqual(out.stdout + out.stderr, "")
                argv = exec_argv(PREFIX + "/" + entry)
                self.assertTrue(os.access(staged(argv[0]), os.X_OK), argv)


if __name__ == "__main__":
    own_network_namespace()
    unittest.main(verbosity=2)
