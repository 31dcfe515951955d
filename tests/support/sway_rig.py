"""A private Wayland desktop for the Python tests: sway on its headless back end, run as
an unprivileged user with a runtime directory and a session bus of its own, and swaybar
as the StatusNotifier tray. The test looks at the windows through sway's IPC
(swaymsg -t get_tree), closes them as sway does ([app_id=...] kill), clicks the tray
icon through its StatusNotifierItem (gdbus) and takes screenshots with grim.

The bar starts only when asked (start_tray), so a session can first be a desktop with no
tray at all, as tiling window managers often are, and then one whose tray came late.
"""
import json
import os
import re
import shutil
import subprocess

from panel_rig import Child, wait_for

SWAY = shutil.which("sway") or ""
SWAYMSG = shutil.which("swaymsg") or ""
GRIM = shutil.which("grim") or ""
DBUS_DAEMON = shutil.which("dbus-daemon") or ""
GDBUS = shutil.which("gdbus") or ""
# The user sway runs as: nobody, as a desktop never runs as root.
USER = (65534, 65534)

WATCHER = ("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher")


def missing_tools():
    """The tools the rig needs that are not installed, by name."""
    tools = {"sway": SWAY, "swaymsg": SWAYMSG, "grim": GRIM, "dbus-daemon": DBUS_DAEMON,
             "gdbus": GDBUS, "setpriv": shutil.which("setpriv")}
    return [name for name, path in tools.items() if not path]


def as_user(argv):
    uid, gid = USER
    return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups", *argv]


class SwayDesktop:
    """sway, its bus and its bar in `root`, a folder the desktop's user owns."""

    def __init__(self, root):
        self.root = root
        self.children = []
        self.run = os.path.join(root, "run")
        os.makedirs(self.run, mode=0o700, exist_ok=True)
        os.chown(root, *USER)
        os.chown(self.run, *USER)
        self.bar_flag = os.path.join(root, "bar-on")
        bar = os.path.join(root, "bar.sh")
        with open(bar, "w") as f:
            # sway starts the bar at its start and at each reload; until the flag is
            # there no bar runs (nothing is left behind when sway ends).
            f.write("#!/bin/sh\n[ -e '%s' ] && exec swaybar \"$@\"\nexit 0\n" % self.bar_flag)
        os.chmod(bar, 0o755)
        self.config = os.path.join(root, "sway.conf")
        with open(self.config, "w") as f:
            f.write("xwayland disable\n"
                    "output HEADLESS-1 resolution 1280x1024\n"
                    "default_border normal\n"
                    "bar {\n  id tray\n  swaybar_command %s\n  tray_output *\n}\n" % bar)
        self.bus = self._start_bus()
        self.env = dict(XDG_RUNTIME_DIR=self.run, DBUS_SESSION_BUS_ADDRESS=self.bus,
                        HOME=root, PATH=os.environ.get("PATH", "/usr/bin:/bin"))
        sway_env = dict(self.env, WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1",
                        WLR_RENDERER="pixman")
        self.sway = self._start([SWAY, "-c", self.config], "sway.log", sway_env)
        sock = []
        if not wait_for(lambda: sock.extend(n for n in os.listdir(self.run)
                                            if n.startswith("sway-ipc.")) or sock, 15, 0.05):
            raise RuntimeError("sway did not come up:\n" + self.sway.output())
        self.env["SWAYSOCK"] = os.path.join(self.run, sock[0])
        socket = [n for n in os.listdir(self.run) if re.fullmatch(r"wayland-\d+", n)]
        self.env["WAYLAND_DISPLAY"] = socket[0]

    def _start(self, argv, log, env):
        child = Child(as_user(argv), self.root, os.path.join(self.root, log), env=env)
        self.children.append(child)
        return child

    def _start_bus(self):
        bus = self._start([DBUS_DAEMON, "--session", "--nofork", "--print-address=1"],
                          "bus.log", {"PATH": os.environ.get("PATH", "")})
        if not wait_for(lambda: bus.output().endswith("\n"), 10):
            raise RuntimeError("no session bus")
        return bus.output().strip()

    def stop(self):
        for child in reversed(self.children):
            child.kill()

    def program_env(self):
        """What a program on this desktop gets: Wayland, the bus, the runtime folder, and
        the sanitizers' options of the run."""
        env = dict(self.env, QT_QPA_PLATFORM="wayland")
        for name in ("ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        return env

    def user_run(self, *argv, timeout=15):
        """A command as the desktop's user on its bus; its standard output."""
        out = subprocess.run(as_user(list(argv)), env=self.env, capture_output=True,
                             timeout=timeout, cwd=self.root)
        return out.stdout.decode("utf-8", "replace")

    # --- windows ------------------------------------------------------------------------

    def windows(self, app_id="ostrel-panel"):
        """The app's windows sway shows now: [(name, node)] of every mapped view."""
        tree = json.loads(self.user_run(SWAYMSG, "-t", "get_tree", "-r") or "{}")
        found = []

        def walk(node):
            if node.get("app_id") == app_id and node.get("visible", True):
                found.append((node.get("name") or "", node))
            for child in node.get("nodes", []) + node.get("floating_nodes", []):
                walk(child)
        walk(tree)
        return found

    def shown(self, name):
        return any(re.search(name, n) for n, _ in self.windows())

    def kill(self, app_id, name):
        """The close of a title bar, Alt+F4 or a task bar (xdg_toplevel.close) on the
        window whose title is exactly `name`."""
        return self.user_run(SWAYMSG, '[app_id="%s" title="^%s$"] kill' % (app_id, re.escape(name)))

    def screenshot(self, png):
        """The whole output, bar included, to `png` (written by the test, not the user)."""
        out = subprocess.run(as_user([GRIM, "-"]), env=self.env, capture_output=True)
        if out.returncode != 0 or not out.stdout:
            return False
        with open(png, "wb") as f:
            f.write(out.stdout)
        return True

    def keys(self, *argv):
        """Typed on the focused window through the virtual keyboard (wtype). The client
        takes a moment to read the keyboard's new keymap, so the keys wait for it."""
        return subprocess.run(as_user(["wtype", "-s", "300", *argv]), env=self.env,
                              capture_output=True).returncode == 0

    # --- the tray -----------------------------------------------------------------------

    def start_tray(self):
        """The bar with its tray, as when a desktop's panel starts after the programs."""
        with open(self.bar_flag, "w"):
            pass
        self.user_run(SWAYMSG, "reload")

    def tray_items(self):
        out = self.user_run(GDBUS, "call", "--session", "-d", WATCHER[0], "-o", WATCHER[1],
                            "-m", "org.freedesktop.DBus.Properties.Get", WATCHER[0],
                            "RegisteredStatusNotifierItems")
        return re.findall(r"'([^']+)'", out)

    def tray_item(self, timeout=10):
        """The first icon the tray shows, waited for: (bus name, object path)."""
        items = []
        wait_for(lambda: items.extend(self.tray_items()) or items, timeout, 0.1)
        if not items:
            return None
        name, _, path = items[0].partition("/")
        return name, "/" + path if path else "/StatusNotifierItem"

    def item_property(self, item, prop):
        return self.user_run(GDBUS, "call", "--session", "-d", item[0], "-o", item[1], "-m",
                             "org.freedesktop.DBus.Properties.Get", "org.kde.StatusNotifierItem",
                             prop)

    def activate(self, item):
        """A left click on the icon."""
        self.user_run(GDBUS, "call", "--session", "-d", item[0], "-o", item[1], "-m",
                      "org.kde.StatusNotifierItem.Activate", "0", "0")


def wait_gone(desktop, name, timeout):
    return wait_for(lambda: not desktop.shown(name), timeout, 0.1)


def wait_shown(desktop, name, timeout):
    return wait_for(lambda: desktop.shown(name), timeout, 0.1)
