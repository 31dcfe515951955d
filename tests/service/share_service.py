#!/usr/bin/env python3
"""[Share]: the stream served to extra pseudo-terminals and TCP clients beside the GPS Data
port, commands from them, commands.log, and gpsd on the TCP server.

Real processes only: the panel as a service and kastrel-emulator in a scratch directory,
clients as file descriptors and sockets of this process. As root the run moves into a
network namespace of its own, so port 10110 and the module's socket are ours alone.

ctest runs one case per process:  share_service.py ShareService.test_fan_out
"""
import json
import os
import re
import shutil
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nmea import valid_sentences  # noqa: E402
from panel_rig import (FASTEST_STREAM, TCP_PORT, Child, PanelRig, fd_count,  # noqa: E402
                       loopback_up, own_network_namespace, proc_status, report, wait_for)

NO_DESKTOP = {"DISPLAY": None, "WAYLAND_DISPLAY": None, "QT_QPA_PLATFORM": None,
              "DBUS_SESSION_BUS_ADDRESS": None}
SECONDS = float(os.environ.get("OSTREL_SHARE_SECONDS", "60"))
GPSD = shutil.which("gpsd") or "/usr/sbin/gpsd"
LOG_LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\S+) ([0-9A-F ]+) \| (.*) \| (.*)$")


def ubx(cls, ident, payload):
    body = bytes([cls, ident, len(payload) & 0xFF, len(payload) >> 8]) + bytes(payload)
    a = b = 0
    for x in body:
        a = (a + x) & 0xFF
        b = (b + a) & 0xFF
    return b"\xb5\x62" + body + bytes([a, b])


class ShareService(PanelRig):
    @classmethod
    def setUpClass(cls):
        loopback_up()

    def start_shared(self, share, emulator=FASTEST_STREAM):
        self.start_emulator(*emulator)
        self.start_panel("[Share]\n" + share, args=["--no-window"], env=NO_DESKTOP)
        self.assertTrue(wait_for(lambda: "module found" in self.panel.output(), 10),
                        self.panel.output())

    def commands_log(self):
        try:
            with open(self.path("commands.log")) as f:
                return [LOG_LINE.match(line).groups() for line in f.read().splitlines()]
        except FileNotFoundError:
            return []

    def raw_received(self):
        """The emulator's log: the bytes of every block it received, in order."""
        blocks = []
        with open(self.emulog.path, "rb") as f:
            for line in f.read().decode("latin-1").splitlines():
                parts = line.split(" ", 2)
                if len(parts) == 3 and parts[1] == "rx" and " | " in parts[2]:
                    blocks.append(bytes.fromhex(parts[2].rsplit(" | ", 1)[1]))
        return blocks

    def start_up_commands_done(self):
        """The panel's own settings sequence has ended (acknowledged or not)."""
        return any(block[:2] == b"**" for block in self.raw_received())

    def sequences(self):
        """The payload of each begin-data-end sequence the module received."""
        out, current = [], None
        for block in self.raw_received():
            if block[:2] == b"*c":
                current = b""
            elif block[:2] == b"**" and current is not None:
                out.append(current.rstrip(b"_"))
                current = None
            elif block[:1] == b"!" and current is not None:
                current += block[1:]
        return out

    # --- cases ------------------------------------------------------------------------

    def test_fan_out(self):
        """Three extra ports and three TCP clients get the GPS Data port's bytes; a fourth
        TCP client that never reads loses whole sentences and hurts no one."""
        self.start_shared("ExtraPorts=3\nTcpPort=%d\n" % TCP_PORT)
        main = self.attach_client()
        self.assertTrue(wait_for(lambda: len(valid_sentences(main.data())) >= 3, 10))
        extras = [self.extra_client(n) for n in (2, 3, 4)]
        readers = [self.tcp_client() for _ in range(3)]
        stalled = self.tcp_client(stalled=True)
        began = time.monotonic()
        self.assertTrue(wait_for(lambda: time.monotonic() - began >= SECONDS, SECONDS + 5))
        for c in extras:
            c.halt()
        for c in readers:
            c.close()
        # The stalled one reads at last: what the kernel and its queue held, then the live
        # stream behind the sentences it lost. A slow panel (a sanitized build) hands the
        # queue over slowly, so it reads until the live stream shows.
        stalled.start()

        def whole_lines(data):
            return data[:data.rfind(b"\n") + 1]

        def shows_a_gap():
            # Its lines, but the newest few (the GPS Data port's reader may not have them
            # yet), stand somewhere in the port's bytes not one after the other.
            lines = whole_lines(stalled.data()).splitlines(keepends=True)[:-5]
            whole, at = main.data(), None
            for line in lines:
                if at is None and whole.count(line) != 1:
                    continue  # GSA and GSV repeat: the count starts at a dated sentence
                found = whole.find(line, at or 0)
                if found < 0:
                    return False
                if at is not None and found != at:
                    return True
                at = found + len(line)
            return False

        self.assertTrue(wait_for(lambda: len(stalled.data()) > 20000 and shows_a_gap(), 30),
                        "the stalled client lost nothing")
        stalled.close()
        late = whole_lines(stalled.data())
        # The GPS Data port reads on a little, so that it holds all the others got.
        mark = len(main.data())
        self.assertTrue(wait_for(lambda: len(main.data()) > mark + 1000, 10))
        whole = main.data()
        for name, got in [("COM%d" % (i + 2), c.data()) for i, c in enumerate(extras)] + \
                [("tcp %d" % i, c.data()) for i, c in enumerate(readers)]:
            report("share: %s got %d bytes of the GPS Data port's %d" % (name, len(got), len(whole)))
            self.assertGreater(len(got), 1000 * SECONDS, name)
            self.assertIn(got, whole, "%s: not the GPS Data port's bytes" % name)
        # What the stalled one got is whole sentences, in order, with some lost.
        self.assertEqual(b"".join(valid_sentences(late)), late, "a sentence was cut")
        self.assertNotIn(late, whole, "nothing was lost")
        position = 0
        for line in late.splitlines(keepends=True):
            position = whole.find(line, position)
            self.assertGreaterEqual(position, 0, "out of order or not forwarded: %r" % line)
        self.assertEqual(self.panel.terminate(5), 0)

    def test_sentences_filter(self):
        """Sentences=RMC,GGA: those two types, whole, in the GPS Data port's order."""
        self.start_shared("TcpPort=%d\nSentences=RMC,GGA\n" % TCP_PORT)
        main = self.attach_client()
        self.assertTrue(wait_for(lambda: len(valid_sentences(main.data())) >= 3, 10))
        client = self.tcp_client()
        self.assertTrue(wait_for(lambda: len(valid_sentences(client.data())) >= 40, 20))
        client.close()
        mark = len(main.data())
        self.assertTrue(wait_for(lambda: len(main.data()) > mark + 1000, 10))
        got = client.data()
        self.assertEqual(b"".join(valid_sentences(got)), got)
        types = {s[3:6] for s in valid_sentences(got)}
        self.assertEqual(types, {b"RMC", b"GGA"})
        wanted = b"".join(s for s in valid_sentences(main.data()) if s[3:6] in (b"RMC", b"GGA"))
        self.assertIn(got, wanted)

    def write_both(self, tcp, port, tcp_bytes, port_bytes):
        tcp.sock.sendall(tcp_bytes)
        self.assertTrue(port.write_all(port_bytes, 5))

    def test_read_only_drops_and_logs(self):
        """Writable=0: what a TCP client and an extra port write never reaches the module."""
        self.start_shared("ExtraPorts=1\nTcpPort=%d\n" % TCP_PORT, emulator=())
        self.assertTrue(wait_for(self.start_up_commands_done, 10))
        before = len(self.raw_received())
        self.write_both(self.tcp_client(), self.extra_client(2),
                        ubx(0x06, 0x04, [0xFF, 0xFF, 0x01, 0x00]), b"$PUBX,40,GLL,0,0,0,0*5C\r\n")
        self.assertTrue(wait_for(lambda: len(self.commands_log()) == 2, 10), self.commands_log())
        log = sorted(self.commands_log(), key=lambda line: not line[0].startswith("COM"))
        self.assertEqual(log[0][0], "COM2")
        self.assertEqual(log[0][2], "NMEA $PUBX,40,GLL,0,0,0,0*5C")
        self.assertTrue(log[1][0].startswith("127.0.0.1:"))
        self.assertEqual(log[1][2],
                         "CFG-RST navBbrMask=0xFFFF (cold start) resetMode=0x01 (software reset)")
        for line in log:
            self.assertEqual(line[3], "dropped: read-only ([Share] Writable=0)")
        # A second's worth of ticks more: still nothing but polls.
        mark = time.monotonic()
        wait_for(lambda: time.monotonic() - mark > 1, 2)
        self.assertEqual([b[:1] for b in self.raw_received()[before:] if b[:1] != b"^"], [])

    def test_writable_sequences_never_mix(self):
        """Writable=1: two writers at once reach the module as two whole sequences."""
        self.start_shared("ExtraPorts=1\nTcpPort=%d\nWritable=1\n" % TCP_PORT, emulator=())
        self.assertTrue(wait_for(self.start_up_commands_done, 10))
        # Each a few blocks long, and each made of one kind of frame.
        from_tcp = ubx(0x06, 0x01, [0x01, 0x06, 0x01]) * 12
        from_port = ubx(0x06, 0x16, [0x03, 0x07, 0x03, 0x00, 0x51, 0x08, 0x00, 0x00]) * 10
        self.write_both(self.tcp_client(), self.extra_client(2), from_tcp, from_port)
        self.assertTrue(wait_for(lambda: len(self.commands_log()) == 2, 15), self.commands_log())
        self.assertIn(from_tcp, self.sequences())
        self.assertIn(from_port, self.sequences())
        for who, hexed, decoded, outcome in self.commands_log():
            self.assertEqual(outcome, "acknowledged", who)
            self.assertEqual(bytes.fromhex(hexed), from_tcp if who.startswith("127.") else from_port)

    def test_gpsd_reads_the_tcp_server(self):
        """gpsd tcp://127.0.0.1:10110 reports fixes from the panel's stream."""
        if not os.path.exists(GPSD):
            self.skipTest("gpsd is not installed")
        self.start_shared("TcpPort=%d\n" % TCP_PORT, emulator=())
        self.assertTrue(wait_for(self.connects, 10))
        gpsd = Child([GPSD, "-N", "-n", "-b", "-S", "2947", "-F", self.path("gpsd.sock"),
                      "tcp://127.0.0.1:%d" % TCP_PORT], self.dir, self.path("gpsd.err"))
        self.children.append(gpsd)
        self.assertTrue(wait_for(lambda: self.gpsd_fix(), 30), gpsd.output())

    def gpsd_fix(self):
        try:
            with socket.create_connection(("127.0.0.1", 2947), 1) as s:
                s.sendall(b'?WATCH={"enable":true,"json":true}\n')
                s.settimeout(3)
                data = b""
                end = time.monotonic() + 3
                while time.monotonic() < end:
                    chunk = s.recv(65536)
                    if not chunk:
                        break
                    data += chunk
                    for line in data.splitlines():
                        if b'"TPV"' in line and json.loads(line).get("mode", 0) >= 2:
                            report("share: gpsd: " + line.decode()[:120])
                            return True
        except (OSError, ValueError):
            pass
        return False

    def test_bad_input_is_said_once_and_the_port_streams(self):
        """A port in use, too many extra ports, an unknown type: one message, data flows."""
        blocker = socket.socket()
        blocker.bind(("127.0.0.1", TCP_PORT))
        blocker.listen()
        try:
            self.start_shared("ExtraPorts=9\nTcpPort=%d\nSentences=RMC,XYZ\n" % TCP_PORT)
            main = self.attach_client()
            self.assertTrue(wait_for(lambda: len(valid_sentences(main.data())) >= 10, 10))
            out = self.panel.output()
            for said in ("[Share] ExtraPorts=9 is not a number from 0 to 8",
                         "XYZ is no NMEA sentence type",
                         "[Share] TcpPort=%d on 127.0.0.1: the port is in use" % TCP_PORT):
                self.assertEqual(out.count(said), 1, out)
            self.assertTrue(self.panel.running())
        finally:
            blocker.close()

    def usage(self):
        pid = self.panel.pid
        return fd_count(pid), proc_status(pid, "Threads"), proc_status(pid, "VmRSS")

    def test_connects_and_opens_leave_nothing_behind(self):
        """1,000 TCP connects and 1,000 opens of an extra port: descriptors, threads and
        memory flat."""
        self.start_shared("ExtraPorts=1\nTcpPort=%d\n" % TCP_PORT)
        self.assertTrue(wait_for(self.connects, 10))
        path = self.path("COM2")
        for _ in range(50):  # what the first ones allocate for good
            socket.create_connection(("127.0.0.1", TCP_PORT), 2).close()
            os.close(os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        fds, threads, rss = self.usage()
        for i in range(1000):
            with socket.create_connection(("127.0.0.1", TCP_PORT), 2) as s:
                if i % 10 == 0:
                    s.recv(1)  # now and then one that got data
            os.close(os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        self.assertTrue(wait_for(lambda: self.usage()[0] <= fds, 10), self.usage())
        after = self.usage()
        report("share: fds %d -> %d, threads %d -> %d, RSS %d -> %d kB"
               % (fds, after[0], threads, after[1], rss, after[2]))
        # A sanitizer keeps freed memory in quarantine and runs threads of its own: only
        # the descriptors say something there.
        if not any(k in os.environ for k in ("LSAN_OPTIONS", "ASAN_OPTIONS", "TSAN_OPTIONS")):
            self.assertEqual(after[1], threads)
            self.assertLess(after[2], rss + 2048)
        self.assertTrue(self.panel.running())

    def test_binds_only_the_named_address(self):
        """TcpAddress=127.0.0.1: 127.0.0.2, on the same loopback, gets no answer."""
        self.start_shared("TcpPort=%d\nTcpAddress=127.0.0.1\n" % TCP_PORT, emulator=())
        self.assertTrue(wait_for(self.connects, 10))
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.2", TCP_PORT), 2).close()


if __name__ == "__main__":
    own_network_namespace()
    unittest.main()
