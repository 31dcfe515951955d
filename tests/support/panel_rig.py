"""The rig of the Python tests that run the shipped programs: child processes, the
emulator's packet log, a client on the GPS Data port, the panel in a scratch directory
with its private Xvfb, and a network namespace of the run's own.

Every wait has a deadline; nothing sleeps a fixed time to let something happen. The
faults, usb and install tests share it. Paths come from the environment: OSTREL_PANEL,
KASTREL_EMULATOR, OSTREL_XVFB, OSTREL_XDOTOOL.
"""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from nmea import valid_sentences


PANEL = os.environ.get("OSTREL_PANEL", "")
EMULATOR = os.environ.get("KASTREL_EMULATOR", "")
XVFB = os.environ.get("OSTREL_XVFB", "")
XDOTOOL = os.environ.get("OSTREL_XDOTOOL", "")
# The emulator's fastest stream: twenty navigation cycles a second, unpaced by a baud rate.
FASTEST_STREAM = ("--period", "50", "--rate", "40000")
# NMEA-over-TCP's usual port, where [Share] TcpPort serves in the tests.
TCP_PORT = 10110
# The tick's own 100 ms wait after a block, a tick or two of phase, and a shared machine.
MAX_STALL = 0.45

# What the panel sends a freshly opened module, as the emulator's log names it.
SETTINGS_SEQUENCE = ["j", "*c", "! CFG-PRT port=1 baud=19200", "*19200", "! CFG-SBAS mode=1", "**"]


def wait_for(done, timeout, step=0.02):
    end = time.monotonic() + timeout
    while not done():
        if time.monotonic() > end:
            return done()
        time.sleep(step)
    return True


def proc_status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def fd_count(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


class Child:
    """A process in `cwd` with stdout and stderr in `log`; killed if still running."""

    def __init__(self, argv, cwd, log, env=None, preexec=None, stdout=None):
        """`stdout`: a descriptor for both output streams instead of `log`."""
        self.log = log
        with open(log, "wb") as out:
            target = out if stdout is None else stdout
            self.proc = subprocess.Popen(argv, cwd=cwd, stdout=target, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, env=env, preexec_fn=preexec)

    @property
    def pid(self):
        return self.proc.pid

    def output(self):
        with open(self.log, "rb") as f:
            return f.read().decode("latin-1")

    def running(self):
        return self.proc.poll() is None

    def terminate(self, timeout):
        """SIGTERM, then the exit code, or None if it did not end within `timeout`."""
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.running():
            self.proc.kill()
        self.proc.wait()


class EmulatorLog:
    """The emulator's --log: `<s> rx|tx <len> <summary> | <hex>` and `<s> -- <event>`."""

    def __init__(self, path):
        self.path = path

    def entries(self):
        try:
            with open(self.path, "rb") as f:
                text = f.read().decode("latin-1")
        except FileNotFoundError:
            return []
        out = []
        for line in text.splitlines():
            parts = line.split(" ", 2)
            if len(parts) < 3:
                continue
            t, kind, rest = float(parts[0]), parts[1], parts[2]
            if kind == "--":
                out.append((t, "--", rest))
            elif kind in ("rx", "tx"):
                rest = rest.rsplit(" | ", 1)[0]
                out.append((t, kind, rest.split(" ", 1)[1] if " " in rest else ""))
        return out

    def connections(self):
        """Per connection, the (time, summary) of each packet received, polls left out."""
        conns = []
        for t, kind, text in self.entries():
            if kind == "--" and text.startswith("connected"):
                conns.append([])
            elif kind == "rx" and conns and text != "^":
                conns[-1].append((t, text))
        return conns

    def received(self):
        return [text for conn in self.connections() for _, text in conn]


class Reader:
    """What an application read, with the time of each read; its thread calls _got()."""

    def __init__(self):
        self.reads = []  # (monotonic time, bytes)
        self.lock = threading.Lock()
        self.stop = False
        self.thread = None

    def start(self):
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _got(self, data):
        with self.lock:
            self.reads.append((time.monotonic(), data))

    def data(self, since=0.0):
        with self.lock:
            return b"".join(d for t, d in self.reads if t >= since)

    def times(self, since=0.0):
        with self.lock:
            return [t for t, _ in self.reads if t >= since]

    def max_gap(self, start, end):
        """The longest stretch in [start, end] without a read."""
        marks = [start] + [t for t in self.times(start) if t <= end] + [end]
        return max(b - a for a, b in zip(marks, marks[1:]))

    def take(self, until):
        """The bytes read before `until`, forgotten here: a long run keeps nothing."""
        with self.lock:
            taken = b"".join(d for t, d in self.reads if t < until)
            self.reads = [(t, d) for t, d in self.reads if t >= until]
        return taken

    def halt(self):
        self.stop = True
        if self.thread:
            self.thread.join(2)


class PortClient(Reader):
    """An application on the GPS Data port (or an extra port): reads everything."""

    def __init__(self, path):
        super().__init__()
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.start()

    def _run(self):
        while not self.stop:
            r, _, _ = select.select([self.fd], [], [], 0.05)
            if not r:
                continue
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                continue
            except OSError:
                return
            if data:
                self._got(data)

    def write_all(self, data, timeout):
        end = time.monotonic() + timeout
        view = memoryview(data)
        while view:
            if time.monotonic() > end:
                return False
            _, w, _ = select.select([], [self.fd], [], 0.05)
            if w:
                try:
                    view = view[os.write(self.fd, view):]
                except BlockingIOError:
                    pass
        return True

    def close(self):
        self.halt()
        os.close(self.fd)


class TcpClient(Reader):
    """An NMEA-over-TCP application: reads everything, or nothing until start() (`stalled`)."""

    def __init__(self, port, stalled=False):
        super().__init__()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if stalled:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.connect(("127.0.0.1", port))
        if not stalled:
            self.start()

    def _run(self):
        self.sock.settimeout(0.05)
        while not self.stop:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            self._got(data)

    def close(self):
        self.halt()
        self.sock.close()


class PanelRig(unittest.TestCase):
    """Scratch directory, emulator, panel, clients and Xvfb of one case; all ended after it."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ostrel-faults-")
        self.children = []
        self.clients = []
        self.tcp = []
        self.display = None
        self.emulator = None
        self.panel = None
        self.link = None

    def tearDown(self):
        for c in self.tcp + self.clients:
            c.close()
        for child in reversed(self.children):
            child.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    # --- the rig -------------------------------------------------------------------------

    def path(self, name):
        return os.path.join(self.dir, name)

    def have_x(self):
        return bool(XVFB and XDOTOOL and os.path.exists(XVFB) and os.path.exists(XDOTOOL))

    def start_xvfb(self):
        r, w = os.pipe()
        xvfb = subprocess.Popen([XVFB, "-displayfd", str(w), "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], pass_fds=(w,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        os.close(w)
        self.children.append(_Popened(xvfb))
        number = b""
        end = time.monotonic() + 10
        while not number.endswith(b"\n") and time.monotonic() < end:
            if select.select([r], [], [], 0.1)[0]:
                chunk = os.read(r, 16)
                if not chunk:
                    break
                number += chunk
        os.close(r)
        self.assertTrue(number.endswith(b"\n"), "Xvfb gave no display number")
        self.display = ":" + number.decode().strip()

    def xdotool(self, *args):
        env = dict(os.environ, DISPLAY=self.display)
        out = subprocess.run([XDOTOOL, *args], env=env, capture_output=True, timeout=15)
        return out.stdout.decode().split()

    def find_window(self, name, timeout=10):
        found = []
        wait_for(lambda: found.extend(self.xdotool("search", "--name", name)) or found, timeout, 0.1)
        return found[0] if found else None

    def start_emulator(self, *options, tag="emulator"):
        """An emulator with its log in `tag`.log; the first one is self.emulator."""
        log = EmulatorLog(self.path(tag + ".log"))
        emulator = Child([EMULATOR, "--log", log.path, "--eeprom", self.path(tag + "-eeprom.bin"),
                          *options], self.dir, self.path(tag + ".err"))
        self.children.append(emulator)
        self.assertTrue(wait_for(lambda: "listening" in emulator.output(), 10), emulator.output())
        if self.emulator is None:
            self.emulator, self.emulog = emulator, log
        return emulator, log

    def start_panel(self, settings=None, cwd=None, as_nobody=False, expect_port=True, user=None,
                    env=None, stdout=None, args=()):
        """The panel in `cwd` (the scratch directory), as root or as `user` (uid, gid), with
        the options `args`.

        Its one-per-user mark goes to a runtime directory of this case's own, so that
        panels of other runs on the machine never meet it; `env` adds or (None) removes
        variables after that.
        """
        if settings is not None:
            self.write_settings(settings)
        if as_nobody:
            user = (65534, 65534)
        argv = [PANEL, *args] if user is None else as_user(user, [PANEL, *args])
        self.panel = Child(argv, cwd or self.dir, self.path("panel.err"),
                           env=self.panel_env(user, env), stdout=stdout)
        self.children.append(self.panel)
        if expect_port:
            self.wait_port()

    def panel_env(self, user=None, env=None):
        uid, gid = user or (os.geteuid(), os.getegid())
        run = self.path("run-%d" % uid)
        os.makedirs(run, mode=0o700, exist_ok=True)
        os.chown(run, uid, gid)
        full_env = dict(os.environ, XDG_RUNTIME_DIR=run)
        full_env.pop("DISPLAY", None)
        if self.display:
            full_env.update(DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        else:
            full_env["QT_QPA_PLATFORM"] = "offscreen"
        for k, v in (env or {}).items():
            if v is None:
                full_env.pop(k, None)
            else:
                full_env[k] = v
        return full_env

    def write_settings(self, settings):
        with open(self.path("ostrel_gps_monitor.ini"), "w") as f:
            f.write(settings)

    def wait_port(self):
        """The panel's line naming its GPS Data port; self.link is the path."""
        pattern = re.compile(r"GPS Data port (COM\d+) at (\S+)")
        self.assertTrue(wait_for(lambda: pattern.search(self.panel.output()), 15),
                        self.panel.output())
        self.link = pattern.search(self.panel.output()).group(2)

    def attach_client(self):
        client = PortClient(self.link)
        self.clients.append(client)
        return client

    def extra_client(self, number):
        """A client on [Share]'s extra port COM<number> in the scratch directory."""
        path = self.path("COM%d" % number)
        self.assertTrue(wait_for(lambda: os.path.lexists(path), 10), "no " + path)
        client = PortClient(path)
        self.clients.append(client)
        return client

    def connects(self, port=TCP_PORT):
        """[Share]'s TCP server takes a connection."""
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return True
        except OSError:
            return False

    def tcp_client(self, stalled=False, port=TCP_PORT):
        self.assertTrue(wait_for(lambda: self.connects(port), 10), "no TCP server")
        client = TcpClient(port, stalled)
        self.tcp.append(client)
        return client

    def settings_sequence_done(self, conn=0):
        conns = self.emulog.connections()
        return len(conns) > conn and len(conns[conn]) >= len(SETTINGS_SEQUENCE)

    def assert_forwards(self, client, seconds, case):
        """Valid NMEA keeps reaching `client` for `seconds`; returns the longest pause."""
        start = time.monotonic()
        self.assertTrue(wait_for(lambda: time.monotonic() - start >= seconds, seconds + 5))
        end = time.monotonic()
        got = valid_sentences(client.data(start))
        # Ten navigation cycles a second, each of eight sentences.
        self.assertGreater(len(got), 4 * seconds, "%s: too few sentences forwarded" % case)
        gap = client.max_gap(start, end)
        report("%s: %d valid sentences in %.1f s, longest pause between forwarded chunks %d ms"
               % (case, len(got), end - start, gap * 1000))
        self.assertLess(gap, MAX_STALL, "%s: the window's event loop stood still" % case)
        return gap

    def assert_exits_in_order(self, case, link_expected=True):
        """SIGTERM (a session's end) ends the panel at once, with 0, and its link goes."""
        self.assertTrue(self.panel.running(), "%s: the panel ended on its own:\n%s"
                        % (case, self.panel.output()))
        for c in self.clients:
            c.close()
        self.clients = []
        began = time.monotonic()
        code = self.panel.terminate(5)
        report("%s: SIGTERM to end %d ms" % (case, (time.monotonic() - began) * 1000))
        self.assertEqual(code, 0, "%s: no orderly end:\n%s" % (case, self.panel.output()))
        if link_expected:
            self.assertFalse(os.path.lexists(self.link), "%s: GPS Data port link left behind" % case)
        if self.emulator:
            self.assertTrue(wait_for(lambda: any(
                k == "--" and t.startswith("disconnected") for _, k, t in self.emulog.entries()), 5))


class _Popened(Child):
    def __init__(self, proc):
        self.proc = proc
        self.log = os.devnull


def as_user(user, argv):
    uid, gid = user
    return ["setpriv", "--reuid=%d" % uid, "--regid=%d" % gid, "--clear-groups", *argv]


def report(line):
    print("faults: " + line, flush=True)


def loopback_up():
    """A network namespace of our own starts with its loopback down."""
    subprocess.run(["ip", "link", "set", "lo", "up"], capture_output=True)


def own_network_namespace():
    """As root, re-run inside a network namespace of our own (see the module's notes)."""
    if os.geteuid() != 0 or os.environ.get("OSTREL_FAULTS_NETNS") or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode != 0:
        return
    os.environ["OSTREL_FAULTS_NETNS"] = "1"
    os.execvp("unshare", ["unshare", "--net", "--", sys.executable, *sys.argv])
