#!/usr/bin/env python3
"""The shipped panel against a module that misbehaves and against bad input.

Real processes only: ostrel-panel and kastrel-emulator in a scratch directory, a client
on the GPS Data port (the pseudo-terminal behind ./COMn), and, where a window must be
seen or driven, a private Xvfb with xdotool. Every wait has a deadline; nothing sleeps
a fixed time to let something happen.

The panel always talks to the abstract socket Ezusb-0 and allows one copy per user.
Both names live in the network namespace, so as root the run moves into a namespace of
its own (unshare --net) and cannot meet another panel or emulator on the machine.

ctest runs one case per process:  panel_faults.py PanelFaults.test_no_ack
The soak is run by hand:  OSTREL_SOAK_MINUTES=30 panel_faults.py PanelFaults.test_soak
Paths come from the environment, as tests/support/panel_rig.py reads them.
"""
import contextlib
import fcntl
import os
import pwd
import re
import select
import signal
import socket
import subprocess
import sys
import termios
import threading
import time
import unittest

# The helpers every Python test shares: NMEA text and the rig of processes.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nmea import nmea, valid_sentences  # noqa: E402
from panel_rig import (FASTEST_STREAM, MAX_STALL, PANEL, SETTINGS_SEQUENCE, TCP_PORT,  # noqa: E402
                       Child, PanelRig, PortClient, as_user, fd_count, loopback_up,
                       own_network_namespace, proc_status, report, wait_for)

# Unplug cycles: each costs the panel's 5 s of silence plus the module's time up.
UNPLUG_CYCLES = int(os.environ.get("OSTREL_FAULTS_UNPLUG_CYCLES", "7"))
# A sanitizer's quarantine grows the resident set on its own: no memory checks there.
SANITIZED = os.environ.get("OSTREL_SANITIZED", "0") == "1"
# Minutes of the soak, a run by hand only (0: the case is skipped).
SOAK_MINUTES = int(os.environ.get("OSTREL_SOAK_MINUTES", "0"))

# The module streams a whole navigation cycle every 100 ms, so every tick has data to
# forward; a longer pause between forwarded chunks means the window's loop stood still.
INI = "ostrel_gps_monitor.ini"
STREAM = ["--period", "100", "--rate", "40000"]
# While a block waits for its reply every tick, the tick takes whatever came in its
# 100 ms wait, cut anywhere, and forwards only whole sentences. A cycle as long as the
# tick would keep the cut in the same place of the burst for seconds; 130 ms moves it on.
STREAM_WHILE_SENDING = ["--period", "130", "--rate", "40000"]

# The second, unprivileged user of the cases that another user's doings must not harm.
OTHER_USER = "ostrel-faults"


def read_trace(path):
    """The emulator's --trace: the chip's stream bytes in order, and the reply packets."""
    stream, replies = bytearray(), []
    with open(path, "rb") as f:
        for line in f.read().split(b"\n"):
            _, _, text = line.partition(b" ")
            if text.startswith(b"$"):
                stream += text + b"\r\n"
            elif text.startswith(b"~"):
                stream += bytes.fromhex(text[1:].decode())
            elif text.startswith(b"@"):
                replies.append(bytes.fromhex(text[1:].decode()))
    return bytes(stream), replies


class PanelFaults(PanelRig):
    def test_unplug_and_return(self):
        """Each return: a new connection, "j" and the settings sequence; no fd or thread leak."""
        # Up 1.2 s: time for the settings sequence (about 0.6 s). Down 5.4 s: longer than
        # the panel's 5 s of silence before it closes, so its next open meets the module's
        # return, and every connection starts right after a plug-in.
        self.start_emulator("--unplug-every", "1.2:5.4")
        self.start_panel()
        samples = []  # (fds, threads, rss kB) at each finished settings sequence
        deadline = time.monotonic() + 8 * (UNPLUG_CYCLES + 1) + 10

        def sample_new():
            conns = self.emulog.connections()
            while len(samples) < len(conns) and len(conns[len(samples)]) >= len(SETTINGS_SEQUENCE):
                samples.append((fd_count(self.panel.pid), proc_status(self.panel.pid, "Threads"),
                                proc_status(self.panel.pid, "VmRSS")))
            return len(samples) > UNPLUG_CYCLES

        self.assertTrue(wait_for(sample_new, deadline - time.monotonic(), 0.05),
                        "only %d connections with the settings sequence" % len(samples))
        conns = self.emulog.connections()
        for i, conn in enumerate(conns[:UNPLUG_CYCLES + 1]):
            self.assertEqual([text for _, text in conn[:len(SETTINGS_SEQUENCE)]],
                             SETTINGS_SEQUENCE, "connection %d" % (i + 1))
        plugs = [t for t, k, text in self.emulog.entries() if k == "--" and text.startswith("connected")]
        report("unplug: %d returns in %.1f s (%.1f s a cycle)" %
               (UNPLUG_CYCLES, plugs[UNPLUG_CYCLES] - plugs[0], (plugs[UNPLUG_CYCLES] - plugs[0]) / UNPLUG_CYCLES))
        report("unplug: fds %s" % [s[0] for s in samples])
        report("unplug: threads %s" % [s[1] for s in samples])
        report("unplug: VmRSS kB %s" % [s[2] for s in samples])
        # Qt's idle worker threads may end (and their descriptors go) during the run;
        # nothing may grow with the cycles.
        fds = [s[0] for s in samples]
        threads = [s[1] for s in samples]
        self.assertLessEqual(max(fds), fds[0], "file descriptors grow with the cycles")
        self.assertLessEqual(max(threads), threads[0], "threads grow with the cycles")
        self.assert_exits_in_order("unplug")

    def test_no_acknowledgement(self):
        """A module that never answers a block: "**" once per tick, the window stays alive."""
        self.start_emulator("--no-ack", *STREAM_WHILE_SENDING)
        self.start_panel()
        client = self.attach_client()
        self.assertTrue(wait_for(lambda: self.emulog.received().count("**") >= 12, 10),
                        self.emulog.received())
        self.assert_forwards(client, 3, "no-ack")
        received = self.emulog.received()
        # The begin block fails; the rest of the sequence goes, and only its end block
        # is sent again on every tick after that.
        self.assertEqual(received[:2], ["j", "*c"])
        self.assertEqual(set(received[2:]), {"**"})
        times = [t for t, text in self.emulog.connections()[0] if text == "**"]
        spacing = [b - a for a, b in zip(times, times[1:])]
        report("no-ack: %d x \"**\", %d to %d ms apart" % (len(times), min(spacing) * 1000, max(spacing) * 1000))
        # One block per tick, each followed by its 100 ms wait.
        self.assertGreaterEqual(min(spacing), 0.09)
        self.assertLess(max(spacing), MAX_STALL)
        self.assert_exits_in_order("no-ack")

    def test_late_acknowledgement(self):
        """Replies 300 ms late: the block fails, the sequence goes, "**" is sent again."""
        self.start_emulator("--late-ack", "300", *STREAM_WHILE_SENDING)
        self.start_panel()
        client = self.attach_client()
        self.assertTrue(wait_for(lambda: self.emulog.received().count("**") >= 2, 10),
                        self.emulog.received())
        self.assert_forwards(client, 3, "late-ack")
        received = self.emulog.received()
        self.assertEqual(received[:3], ["j", "*c", "**"])
        # Abandoned: no block of the receiver settings ever goes out. "**" goes again
        # until one of the late replies happens to come in time for a check.
        self.assertEqual(set(received[2:]), {"**"})
        report("late-ack: %d x \"**\" in the run" % received.count("**"))
        self.assert_exits_in_order("late-ack")

    def test_garbage_in_the_stream(self):
        """Random bytes between messages: valid sentences keep reaching the client."""
        self.start_emulator("--garbage", *STREAM)
        self.start_panel()
        client = self.attach_client()
        self.assertTrue(wait_for(self.settings_sequence_done, 10), self.emulog.received())
        since = time.monotonic()
        self.assert_forwards(client, 5, "garbage")
        data = client.data(since)
        lines = [line for line in data.split(b"\n") if line]
        report("garbage: %d bytes forwarded, %d valid sentences, %d other lines" %
               (len(data), len(valid_sentences(data)), len(lines) - len(valid_sentences(data))))
        self.assertEqual(self.emulog.received(), SETTINGS_SEQUENCE)
        self.assert_exits_in_order("garbage")

    def test_zero_length_packets(self):
        """A zero-length packet after every full one costs no pause: the settings go
        through and the stream keeps its pace."""
        self.start_emulator("--zero-length", *STREAM_WHILE_SENDING)
        self.start_panel()
        client = self.attach_client()
        self.assertTrue(wait_for(self.settings_sequence_done, 10), self.emulog.received())
        self.assert_forwards(client, 5, "zero-length")
        # An unacknowledged block would have been followed by "**" again.
        self.assertEqual(self.emulog.received(), SETTINGS_SEQUENCE)
        self.assert_exits_in_order("zero-length")

    def test_command_too_long(self):
        """65,537 bytes written at once: refused whole, nothing reaches the module."""
        if self.have_x():
            self.start_xvfb()
        self.start_emulator(*STREAM)
        self.start_panel()
        client = self.attach_client()
        self.assertTrue(wait_for(self.settings_sequence_done, 10), self.emulog.received())
        command = (nmea("PUBX,41,1,0007,0003,19200,0") * 2000)[:65537]
        self.assertEqual(len(command), 65537)
        self.assertTrue(client.write_all(command, 10), "the panel stopped taking bytes")
        written = time.monotonic()
        if self.display:
            self.assertIsNotNone(self.find_window("^Error$"), "no \"Error\" box")
        # Long past the 200 ms collection time and a few ticks of sending.
        self.assert_forwards(client, 2, "too-long")
        self.assertGreater(len(valid_sentences(client.data(written + 1))), 0)
        self.assertEqual(self.emulog.received(), SETTINGS_SEQUENCE)
        # The box is still up: the session's end closes it and the panel.
        self.assert_exits_in_order("too-long")

    def exchanges_in_a_stream(self, pass_binary):
        """The settings sequence and commands from an application while the chip streams
        without pause: the client gets what the chip sent, whole, and no firmware reply."""
        case = "exchange-%s" % ("every-byte" if pass_binary else "nmea")
        self.start_emulator("--trace", self.path("trace"), *STREAM)
        self.start_panel("[GPS]\nPassBinaryData=%d\n" % pass_binary)
        client = self.attach_client()
        self.assertTrue(wait_for(self.settings_sequence_done, 10), self.emulog.received())
        commands = 5
        for i in range(commands):
            self.assertTrue(client.write_all(nmea("PUBX,40,GLL,0,%d,0,0,0,0" % i), 5))
            # "*c", one data block, "**": done before the next one comes.
            self.assertTrue(wait_for(lambda: self.emulog.received().count("**") >= i + 2, 10),
                            self.emulog.received())
        since = time.monotonic()
        self.assertTrue(wait_for(lambda: time.monotonic() - since > 0.5, 2))
        self.assert_exits_in_order(case)
        self.assertEqual(self.emulator.terminate(5), 0)
        stream, replies = read_trace(self.path("trace"))
        data = client.data()
        exchanges = len(SETTINGS_SEQUENCE) - 1 + 3 * commands
        self.assertEqual(len(replies), exchanges)
        for reply in set(replies):
            self.assertNotIn(reply, data, "%s: a firmware reply was forwarded" % case)
        if pass_binary:
            # Every byte from the first the client saw, in order, up to the last whole
            # message the panel took before it ended.
            start = stream.find(data[:256])
            self.assertGreaterEqual(start, 0, "%s: the client's bytes are not the chip's" % case)
            self.assertEqual(data, stream[start:start + len(data)], "%s: bytes lost or altered" % case)
        else:
            got = valid_sentences(data)
            self.assertEqual(b"".join(got), data, "%s: more than whole sentences forwarded" % case)
            sent = valid_sentences(stream)
            start = sent.index(got[0])
            # Contiguous with what the chip sent: nothing lost, repeated or changed.
            self.assertEqual(got, sent[start:start + len(got)], "%s: sentences lost or altered" % case)
        report("%s: %d command exchanges, %d bytes to the client as the chip sent them, no reply"
               % (case, exchanges, len(data)))

    def test_exchanges_nmea_only(self):
        self.exchanges_in_a_stream(0)

    def test_exchanges_every_byte(self):
        self.exchanges_in_a_stream(1)

    def test_read_only_directory(self):
        """Settings cannot be written: the error is shown, the panel runs and ends in order
        (offscreen, with nobody to read the box, it ends with 1)."""
        if self.have_x():
            self.start_xvfb()
        as_nobody = os.geteuid() == 0  # root writes through any mode bits
        if as_nobody:
            os.chmod(self.dir, 0o755)
        else:
            os.chmod(self.dir, 0o555)
        try:
            self.start_panel(as_nobody=as_nobody, expect_port=False)
            if not self.display:
                # Nobody to read the box offscreen: said on stderr, and the panel ends.
                self.assertTrue(wait_for(lambda: not self.panel.running(), 10))
                self.assertEqual(self.panel.proc.returncode, 1, self.panel.output())
                self.assertIn("ostrel-panel: Error: ", self.panel.output())
                return
            self.assertIsNotNone(self.find_window("^Error$", 15), self.panel.output())
            begun = time.monotonic()
            self.assertFalse(wait_for(lambda: not self.panel.running(), 2),
                             "the panel ended:\n" + self.panel.output())
            self.assertGreaterEqual(time.monotonic() - begun, 1.9)
            self.assertFalse(os.path.exists(self.path("ostrel_gps_monitor.ini")))
            self.assert_exits_in_order("read-only", link_expected=False)
        finally:
            os.chmod(self.dir, 0o755)

    def test_start_up_errors_with_nobody_to_answer(self):
        """Offscreen nobody can press a box's OK: each start-up error is said on stderr; a
        settings file or port directory the panel cannot use ends it with 1 at once, a
        refused baud rate lets the port stream as OK would."""
        fatal = [("settings file is a folder", lambda: os.mkdir(self.path(INI)),
                  r"Error: Unable to write to \S*ostrel_gps_monitor.ini: Is a directory"),
                 ("settings file links to /dev/zero",
                  lambda: os.symlink("/dev/zero", self.path(INI)),
                  r"Error: Unable to write to \S*ostrel_gps_monitor.ini"),
                 ("port directory /dev/null", lambda: self.write_settings(
                     "[Ports]\nDirectory=/dev/null\n"), r"Error: COM\d+ could not be used"),
                 ("5,000-character port directory", lambda: self.write_settings(
                     "[Ports]\nDirectory=%s\n" % ("d" * 5000)), r"Error: COM\d+ could not be used")]
        for name, make, said in fatal:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                make()
                self.start_panel(expect_port=False)
                self.assertTrue(wait_for(lambda: not self.panel.running(), 10),
                                "%s: held:\n%s" % (name, self.panel.output()))
                self.assertEqual(self.panel.proc.returncode, 1, self.panel.output())
                self.assertRegex(self.panel.output(), "ostrel-panel: " + said)
        with self.subTest("refused baud rate"):
            self.tearDown()
            self.setUp()
            self.start_emulator(*STREAM)
            self.start_panel("[GPS]\nBaud=38400\n")
            client = self.attach_client()
            self.assertIn("ostrel-panel: Error: ", self.panel.output())
            self.assert_forwards(client, 3, "refused baud rate")
            self.assert_exits_in_order("refused baud rate")

    def test_many_starts_at_once_with_nobody_to_answer(self):
        """20 panels at once offscreen: one runs, the others say so and end with 1."""
        panels = [Child([PANEL], self.dir, self.path("panel-%d.err" % i), env=self.panel_env())
                  for i in range(20)]
        self.children.extend(panels)
        self.assertTrue(wait_for(lambda: sum(p.running() for p in panels) <= 1, 20),
                        "still blocked: %d" % sum(p.running() for p in panels))
        running = [p for p in panels if p.running()]
        self.assertEqual(len(running), 1)
        for p in panels:
            if p is not running[0]:
                self.assertEqual(p.proc.returncode, 1, p.output())
                self.assertIn("another GPS Control Panel is already running", p.output())
        self.panel = running[0]
        self.link = self.path("COM1")
        self.assertTrue(wait_for(lambda: os.path.islink(self.link), 15), self.panel.output())
        self.assert_exits_in_order("one of twenty")

    def test_positions_log_bad_records(self):
        """Replay of a log whose last record is bad: what comes before it still plays."""
        good = [nmea("GPGGA,120000.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,"),
                nmea("GPRMC,120000.00,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W"),
                nmea("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1")]
        bad_text = nmea("GPTXT,01,01,02,FROM A BAD RECORD")

        def record(payload, length=None):
            n = len(payload) if length is None else length
            return (n & 0xFFFFFFFF).to_bytes(4, "little") + payload

        head = b"".join(record(g) for g in good)
        cases = [
            ("empty file", b"", False),
            ("length 0", head + record(b"", 0) + record(bad_text), True),
            ("length 5000", head + record(bad_text * 130, 5000)[:4 + 5000] + record(good[0]), True),
            ("length -1", head + record(bad_text, -1), True),
            ("cut record", head + record(bad_text * 4, 400)[:4 + 100], True),
        ]
        for name, content, replays in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                with open(self.path("positions.log"), "wb") as f:
                    f.write(content)
                # No module: the replayed records are the only data there is.
                self.start_panel("[Log]\nStatus=1\n")
                client = self.attach_client()
                began = time.monotonic()
                if replays:
                    # Two passes: the bad record ends a pass, and the next one starts over.
                    self.assertTrue(wait_for(lambda: client.data().count(good[2]) >= 2, 10),
                                    client.data())
                    data = client.data()
                    self.assertEqual(valid_sentences(data)[:6], good + good)
                    # One record a tick, and one empty tick where a pass ends.
                    times = client.times()
                    self.assertLess(client.max_gap(times[0], times[-1]), MAX_STALL)
                else:
                    self.assertFalse(wait_for(lambda: client.data(), 1.5), client.data())
                    data = b""
                self.assertNotIn(b"BAD RECORD", client.data())
                report("positions.log %s: %d bytes replayed in %.1f s, longest pause %d ms" %
                       (name, len(data), time.monotonic() - began,
                        client.max_gap(client.times()[0], client.times()[-1]) * 1000 if data else 0))
                self.assert_exits_in_order("positions.log " + name)

    def test_demonstration_file_without_line_end(self):
        """A 10 MB demonstration file with no LF: at most one chunk a tick, memory flat."""
        if not self.have_x():
            self.skipTest("File > Demonstration needs Xvfb and xdotool")
        self.start_xvfb()
        pattern = b"$GPTXT,01,01,02,NO LINE END 01234"  # 33 bytes: every 99-byte cut alike
        self.assertEqual(len(pattern), 33)
        content = pattern * (10 * 1024 * 1024 // len(pattern))
        with open(self.path("nmea.txt"), "wb") as f:
            f.write(content)
        # Every byte forwarded: without an LF no sentence would be complete.
        self.start_panel("[GPS]\nDemo=1\nPassBinaryData=1\n")
        client = self.attach_client()
        self.assertIsNotNone(self.find_window("^Ostrel GPS Control Panel$"))
        rss_before = proc_status(self.panel.pid, "VmRSS")
        self.start_demonstration()
        self.assertTrue(wait_for(lambda: client.data(), 10), "nothing replayed")
        start = client.times()[0]
        self.assertTrue(wait_for(lambda: time.monotonic() - start > 4, 6))
        end = time.monotonic()
        data = client.data()
        rss_after = proc_status(self.panel.pid, "VmRSS")
        gap = client.max_gap(start, end)
        ticks = (end - start) / 0.1
        report("demo: %d bytes in %.1f s (%.0f a tick), longest pause %d ms, VmRSS %d -> %d kB" %
               (len(data), end - start, len(data) / ticks, gap * 1000, rss_before, rss_after))
        # The file's bytes in order, none lost or repeated.
        self.assertEqual(data, content[:len(data)])
        # At most 2047 bytes a tick (here 20 cuts of 99), two ticks of slack.
        self.assertLessEqual(len(data), (ticks + 2) * 2047)
        self.assertGreater(len(data), ticks / 2 * 1980)
        self.assertLess(gap, MAX_STALL)
        # The file is read a line at a time, never whole.
        if not SANITIZED:
            self.assertLess(rss_after - rss_before, 4 * 1024)
        self.assert_exits_in_order("demo")


    # --- other users, hostile files, misbehaving applications ---------------------------

    def other_user(self):
        """(uid, gid) of a second, unprivileged user, added when missing."""
        if os.geteuid() != 0:
            self.skipTest("needs root to add and become a second, unprivileged user")
        try:
            pw = pwd.getpwnam(OTHER_USER)
        except KeyError:
            subprocess.run(["useradd", "--system", "--no-create-home", "--shell",
                            "/usr/sbin/nologin", OTHER_USER], capture_output=True)
            try:
                pw = pwd.getpwnam(OTHER_USER)  # or another run added it meanwhile
            except KeyError:
                self.skipTest("useradd could not add the user %s" % OTHER_USER)
        return pw.pw_uid, pw.pw_gid

    def run_as(self, user, *argv):
        out = subprocess.run(as_user(user, list(argv)), capture_output=True, timeout=15)
        self.assertEqual(out.returncode, 0, out.stderr.decode())

    def shared_directory(self, name="shared"):
        """A directory everyone may write, with the sticky bit, as /tmp is."""
        d = self.path(name)
        os.mkdir(d)
        os.chmod(d, 0o1777)
        os.chmod(self.dir, 0o755)
        return d

    def start_client(self, user, mode, link=None):
        """An application on the port as `user`; see client_main for what `mode` does."""
        client = Child(as_user(user, [sys.executable, os.path.abspath(__file__), "--client", mode,
                                      link or self.link]),
                       self.dir, self.path("client-%s.out" % mode))
        self.children.append(client)
        return client

    def test_port_outside_dialout(self):
        """A user outside dialout: the port stays 0600 and the cure is told once."""
        if os.geteuid() != 0:
            self.skipTest("needs root to run the panel as a user outside dialout")
        os.chown(self.dir, 65534, 65534)
        try:
            self.start_panel(as_nobody=True)
            self.assertEqual(os.stat(self.link).st_mode & 0o777, 0o600)
            cure = "sudo usermod -aG dialout $USER, then log out and in again"
            self.assertIn(os.readlink(self.link) + " could not be given to the group dialout",
                          self.panel.output())
            with open(self.path("error.log"), encoding="latin-1") as f:
                self.assertEqual(f.read().count(cure), 1)
            self.assertEqual(self.panel.output().count(cure), 1)
            self.assert_exits_in_order("outside dialout")
        finally:
            os.chown(self.dir, os.geteuid(), os.getegid())

    def test_settings_link_of_another_user(self):
        """Another user's link in /tmp to a file of ours: the file stays as it is."""
        other = self.other_user()
        shared = self.shared_directory()
        mine = self.path("mine.txt")
        with open(mine, "w") as f:
            f.write("precious\n")
        before = os.stat(mine)
        self.run_as(other, "ln", "-s", mine, os.path.join(shared, "ostrel_gps_monitor.ini"))
        self.start_panel(cwd=shared, expect_port=False)
        # Offscreen nobody reads the error's box: said on stderr, and the panel ends.
        self.assertTrue(wait_for(lambda: not self.panel.running(), 10), self.panel.output())
        self.assertEqual(self.panel.proc.returncode, 1, self.panel.output())
        self.assertIn("ostrel-panel: Error: ", self.panel.output())
        with open(mine) as f:
            self.assertEqual(f.read(), "precious\n")
        self.assertEqual(os.stat(mine).st_ino, before.st_ino, "the file was replaced")
        self.assertTrue(os.path.islink(os.path.join(shared, "ostrel_gps_monitor.ini")))

    def test_instance_mark_of_another_user(self):
        """What another user can make first (a socket name, a directory) stops no panel."""
        other = self.other_user()
        shared = self.shared_directory("tmp")
        # The name the mark once had, bound by the other user for as long as the case runs.
        squatter = Child(as_user(other, [sys.executable, os.path.abspath(__file__), "--bind",
                                         "Ostrel GPS Control Panel uid %d" % os.geteuid()]),
                         self.dir, self.path("squatter.out"))
        self.children.append(squatter)
        self.assertTrue(wait_for(lambda: "bound" in squatter.output(), 10), squatter.output())
        # The directory a panel without $XDG_RUNTIME_DIR would use.
        self.run_as(other, "mkdir", "-m", "700",
                    os.path.join(shared, "ostrel-panel-%d" % os.geteuid()))
        for name, env in [("own runtime directory", {}),
                          ("no runtime directory", {"XDG_RUNTIME_DIR": None, "TMPDIR": shared})]:
            with self.subTest(name):
                self.start_panel(env=env)
                self.assert_exits_in_order("instance mark, " + name)

    def test_port_directory_entries_not_ours(self):
        """COM1 that is not ours (a leftover lock beside it or not) is never taken or removed."""
        cases = [("link to a device, our leftover lock", "/dev/ttyS0", True),
                 ("link to a file, our leftover lock", "data.txt", True),
                 ("socat pseudo-terminal", "socat", False)]
        for name, target, lock in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                with open(self.path("data.txt"), "w") as f:
                    f.write("a file\n")
                com1, lock_path = self.path("COM1"), self.path(".COM1.lock")
                socat = None
                if target == "socat":
                    socat = Child(["socat", "pty,link=COM1,raw,echo=0", "pty,link=peer,raw,echo=0"],
                                  self.dir, self.path("socat.out"))
                    self.children.append(socat)
                    self.assertTrue(wait_for(lambda: os.path.lexists(com1), 10), socat.output())
                    target = os.readlink(com1)
                else:
                    os.symlink(target, com1)
                if lock:
                    open(lock_path, "w").close()
                self.start_panel()
                self.assertEqual(os.path.basename(self.link), "COM2")
                self.assert_exits_in_order("port directory, " + name)
                self.assertEqual(os.readlink(com1), target)
                self.assertEqual(os.path.exists(lock_path), lock)
                if socat:
                    self.assertTrue(socat.running(), "socat lost its pseudo-terminal")
                    socat.kill()

    def test_special_files(self):
        """FIFOs as the logs and the demonstration file: said once, the window goes on."""
        cases = [("positions.log replay", "positions.log", "[Log]\nStatus=1\n", False),
                 ("positions.log record", "positions.log", "[Log]\nStatus=2\n", True),
                 ("error.log", "error.log", "[Ports]\nDirectory=missing\n", False),
                 ("demonstration file", "nmea.txt", "[GPS]\nDemo=1\n", False)]
        for name, fifo_name, settings, stopped_reader in cases:
            with self.subTest(name):
                if fifo_name == "nmea.txt" and not self.have_x():
                    self.skipTest("File > Demonstration needs Xvfb and xdotool")
                self.tearDown()
                self.setUp()
                fifo = self.path(fifo_name)
                os.mkfifo(fifo)
                held = None
                if stopped_reader:
                    # A reader that stopped reading: the pipe fills and stays full.
                    held = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
                said = re.compile(r"ostrel-panel: \S*%s: not a regular file" % re.escape(fifo_name))
                if fifo_name == "nmea.txt":
                    self.start_xvfb()
                self.start_emulator(*STREAM)
                self.start_panel(settings, expect_port=fifo_name != "error.log")
                try:
                    if fifo_name == "error.log":
                        # No port directory: the listing's failure goes to the log before
                        # any window; then the port cannot be made.
                        self.assertTrue(wait_for(lambda: said.search(self.panel.output()), 10),
                                        self.panel.output())
                        # Without a GPS Data port the panel ends, with 1.
                        self.assertTrue(wait_for(lambda: not self.panel.running(), 10))
                        self.assertEqual(self.panel.proc.returncode, 1, self.panel.output())
                    else:
                        client = self.attach_client()
                        if fifo_name == "nmea.txt":
                            # Nothing to forward; its window must still close at once.
                            self.start_demonstration()
                            wait_for(lambda: not self.panel.running(), 1)
                            self.assert_exits_in_order(name)
                            continue
                        self.assertTrue(wait_for(lambda: said.search(self.panel.output()), 10),
                                        self.panel.output())
                        self.assert_forwards(client, 3, name)
                        self.assert_exits_in_order(name)
                    self.assertEqual(len(said.findall(self.panel.output())), 1, self.panel.output())
                finally:
                    if held is not None:
                        os.close(held)

    def start_demonstration(self):
        """File > Demonstration with the offered file name (nmea.txt)."""
        window = self.find_window("^Ostrel GPS Control Panel$")
        self.assertIsNotNone(window)
        self.xdotool("mousemove", "--window", window, "150", "150")
        self.xdotool("windowfocus", "--sync", window)
        self.xdotool("key", "--delay", "100", "alt+f")
        self.xdotool("key", "--delay", "100", "Return")
        dialog = self.find_window("^Demonstration File$")
        self.assertIsNotNone(dialog, "no input dialog")
        self.xdotool("windowfocus", "--sync", dialog)
        self.xdotool("key", "--delay", "100", "Return")  # the initial text: nmea.txt

    def test_client_settings_left_behind(self):
        """A client's exclusive mode, stopped output or echo harms no other client."""
        user = self.other_user()
        for name, first, second in [("exclusive mode", "exclusive", "read"),
                                    ("output stopped", "stop-output", "write"),
                                    ("echo on", None, "echo")]:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                os.chown(self.dir, *user)
                os.chmod(self.dir, 0o755)
                self.start_emulator(*STREAM)
                self.start_panel(user=user)
                self.assertTrue(wait_for(self.settings_sequence_done, 10), self.emulog.received())
                if first:
                    leaving = self.start_client(user, first)
                    self.assertTrue(wait_for(lambda: not leaving.running(), 10))
                    self.assertEqual(leaving.proc.returncode, 0, leaving.output())
                staying = self.start_client(user, second)
                self.assertTrue(wait_for(lambda: not staying.running(), 15))
                out = staying.output()
                self.assertEqual(staying.proc.returncode, 0, out)
                sentences = int(re.search(r"sentences (\d+)", out).group(1))
                report("%s: the next client read %d valid sentences in 3 s" % (name, sentences))
                self.assertGreater(sentences, 10, out)
                if second == "write":
                    self.assertTrue(wait_for(lambda: any(r.startswith("! $PUBX,41") for r in
                                                         self.emulog.received()), 5),
                                    self.emulog.received())
                else:
                    # Nothing of the panel's own stream came back as commands.
                    self.assertEqual(self.emulog.received(), SETTINGS_SEQUENCE)
                self.assert_exits_in_order(name)

    def test_closed_stderr(self):
        """Output into a pipe nobody reads any more: the panel runs on and ends in order."""
        r, w = os.pipe()
        os.close(r)
        try:
            self.start_panel(expect_port=False, stdout=w)
        finally:
            os.close(w)
        self.link = self.path("COM1")
        self.assertTrue(wait_for(lambda: os.path.islink(self.link), 15), "no port link")
        self.assertFalse(wait_for(lambda: not self.panel.running(), 1), "the panel ended")
        self.assert_exits_in_order("closed stderr")

    def test_leftover_temporary_settings(self):
        """Temporary settings files of killed panels go at start; a running writer's stays."""
        ended = subprocess.Popen(["true"])
        ended.wait()
        dead = self.path(".ostrel_gps_monitor.ini.tmp-%d-0" % ended.pid)
        live = self.path(".ostrel_gps_monitor.ini.tmp-%d-0" % os.getpid())
        for f in (dead, live):
            with open(f, "wb") as out:
                out.write(b"[GPS]\n" + b";" * (4 << 20))
        self.start_panel()
        self.assertFalse(os.path.exists(dead), "a killed writer's file stayed")
        self.assertTrue(os.path.exists(live), "a running writer's file went")
        self.assert_exits_in_order("leftovers")


    def test_soak(self):
        """By hand, not under ctest: OSTREL_SOAK_MINUTES (30) of the emulator's fastest
        stream to every kind of consumer at once.

        The GPS Data port's client, three extra ports and three TCP clients read all of it;
        one more TCP client never reads; another connects and leaves every second, and once
        a minute a client opens a fourth extra port, reads and leaves (the port's last-close
        reset). Each minute: the panel's resident memory, threads and descriptors, and every
        reader's new bytes against the GPS Data port's. Flat, the same bytes, nothing but
        the panel's own settings to the module, and whole sentences for the one that never
        read is the bar.
        """
        if not SOAK_MINUTES:
            self.skipTest("a soak runs by hand: OSTREL_SOAK_MINUTES=30 panel_faults.py "
                          "PanelFaults.test_soak")
        loopback_up()
        self.start_emulator(*FASTEST_STREAM)
        self.start_panel("[Share]\nExtraPorts=4\nTcpPort=%d\n" % TCP_PORT)
        client = self.attach_client()
        # The settings sequence has ended, acknowledged or not.
        self.assertTrue(wait_for(lambda: "**" in self.emulog.received(), 10),
                        self.emulog.received())
        stalled = self.tcp_client(stalled=True)
        readers = [("COM%d" % n, self.extra_client(n)) for n in (2, 3, 4)]
        readers += [("tcp %d" % i, self.tcp_client()) for i in range(3)]
        churn = Churn(TCP_PORT)
        self.addCleanup(churn.finish)
        # The GPS Data port's bytes of the whole run: what every reader is held to.
        reference = bytearray()
        followers = [Follower(name) for name, _ in readers]

        visits = []  # (the reference's length when it began, what the visitor got)
        # (minute, VmRSS kB, threads, fds, sentences to the GPS Data port's client and the
        # fewest to a reader, longest pause there and at any reader in ms, churn connects)
        samples = []
        start = time.monotonic()
        for minute in range(1, SOAK_MINUTES + 1):
            # Not on the GPS Data port, whose client must get every byte: two readers of
            # one pseudo-terminal share what it gets.
            visitor = PortClient(self.path("COM5"))
            self.assertTrue(wait_for(lambda: len(visitor.data()) > 1024, 5), "COM5 gets nothing")
            visitor.close()
            visits.append((len(reference), visitor.data()))
            begun = start + (minute - 1) * 60
            self.assertTrue(wait_for(lambda: time.monotonic() >= start + minute * 60, 65))
            self.assertTrue(self.panel.running(), self.panel.output())
            end = time.monotonic()
            main_pause = client.max_gap(begun, end)
            main = client.take(end)
            reference += main
            for since, got in visits:
                got = got[:got.rfind(b"\n") + 1]
                self.assertGreaterEqual(reference.find(got, max(0, since - 65536)), 0,
                                        "COM5: not the GPS Data port's bytes")
            visits.clear()
            counts, pauses = [], []
            for (name, reader), follower in zip(readers, followers):
                pauses.append(reader.max_gap(begun, end))
                new = reader.take(end)
                counts.append(len(valid_sentences(new)))
                follower.follow(reference, new)
            with churn.paused():
                fds = settled_fd_count(self.panel.pid)
                connects = churn.connects
            sample = (minute, proc_status(self.panel.pid, "VmRSS"),
                      proc_status(self.panel.pid, "Threads"), fds, len(valid_sentences(main)),
                      min(counts), int(main_pause * 1000), int(max(pauses) * 1000),
                      connects)
            samples.append(sample)
            report("soak: minute %d: VmRSS %d kB, %d threads, %d fds, %d sentences "
                   "(readers %d or more), longest pause %d ms (readers %d ms), %d churn "
                   "connects" % sample)
            self.assertEqual(churn.failures, [], "the TCP server refused a connection")
        churn.finish()
        # The readers stop, the stalled client reads at last (its queue, then the live
        # stream), and the GPS Data port's client reads on a little, so that the reference
        # holds all they got.
        for _, reader in readers:
            reader.halt()
        stalled.start()
        self.assertTrue(wait_for(lambda: len(stalled.data()) > 20000, 10))
        stalled.halt()
        mark = len(client.data())
        self.assertTrue(wait_for(lambda: len(client.data()) > mark + 4096, 10))
        reference += client.take(time.monotonic())
        for (name, reader), follower in zip(readers, followers):
            follower.follow(reference, reader.take(time.monotonic()))
            self.assertIsNotNone(follower.start, "%s: no bytes of the GPS Data port's" % name)
            self.assertEqual(follower.pending, b"", "%s: bytes the GPS Data port never got" % name)
            report("soak: %s: %d bytes, the GPS Data port's from its byte %d on, none missing"
                   % (name, follower.place - follower.start, follower.start))
        self.check_stalled(stalled.data(), reference)
        # Nothing of the consumers' reached the module (the settings may have been sent
        # again, when a reply came late).
        received = self.emulog.received()
        report("soak: the module received %s" % received)
        self.assertLessEqual(set(received), set(SETTINGS_SEQUENCE), received)
        settled = samples[1] if len(samples) > 1 else samples[0]
        report("soak: VmRSS %s kB" % [s[1] for s in samples])
        self.assertLessEqual(max(s[2] for s in samples[1:] or samples), settled[2], "threads grow")
        self.assertLessEqual(max(s[3] for s in samples[1:] or samples), settled[3], "fds grow")
        self.assertLess(samples[-1][1] - settled[1], 2048, "resident memory grows")
        # Twenty navigation cycles a second, each of eight sentences.
        self.assertTrue(all(s[4] > 100 * 60 for s in samples), "the stream thinned out")
        self.assertTrue(all(s[5] > 100 * 60 for s in samples), "a reader's stream thinned out")
        self.assertGreater(samples[-1][8], 50 * SOAK_MINUTES, "the churning client stalled")
        self.assert_exits_in_order("soak")

    def check_stalled(self, late, reference):
        """What the client that never read got when it read at last: whole sentences of the
        GPS Data port's, in order, with a gap where its queue was full."""
        late = late[:late.rfind(b"\n") + 1]
        self.assertEqual(b"".join(valid_sentences(late)), late,
                         "the stalled client got a cut sentence")
        position, jumps = 0, 0
        for line in late.splitlines(keepends=True):
            found = reference.find(line, position)
            self.assertGreaterEqual(found, 0, "out of order or not forwarded: %r" % line)
            jumps += position and found != position
            position = found + len(line)
        first = reference.find(late[:late.find(b"\n") + 1])
        lost = len(valid_sentences(reference[first:position])) - len(valid_sentences(late))
        report("soak: the stalled client: %d bytes, %d sentences, %d sentences lost in %d gaps"
               % (len(late), len(valid_sentences(late)), lost, jumps))
        self.assertGreater(jumps, 0, "nothing was lost")


class Follower:
    """A reader held to the reference, the GPS Data port's bytes of the run: from where its
    first bytes are found there, each byte it reads must be the reference's next one."""

    def __init__(self, name):
        self.name = name
        self.start = None  # where its first byte is in the reference
        self.place = None  # where its next byte must be
        self.pending = b""  # read but beyond the reference's end so far

    def follow(self, reference, new):
        pending = self.pending + new
        if self.start is None:
            head = pending[:512]
            found = reference.find(head)
            if len(head) < 512 or found < 0:
                self.pending = pending
                return
            self.start = self.place = found
        n = min(len(pending), len(reference) - self.place)
        expected = reference[self.place:self.place + n]
        if pending[:n] != expected:
            at = next(i for i in range(n) if pending[i] != expected[i])
            raise AssertionError("%s: byte %d differs from the GPS Data port's:\n%r\n%r" % (
                self.name, self.place + at, pending[max(0, at - 100):at + 100],
                bytes(expected[max(0, at - 100):at + 100])))
        self.place += n
        self.pending = pending[n:]


class Churn:
    """A TCP client that connects and leaves once a second on a thread of its own; every
    other time it waits for a byte of the stream first, and leaves the rest unread."""

    def __init__(self, port):
        self.port = port
        self.connects = 0
        self.failures = []
        self.lock = threading.Lock()
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        began, second = time.monotonic(), 0
        while not self.done.wait(max(0.0, began + second - time.monotonic())):
            with self.lock:
                try:
                    with socket.create_connection(("127.0.0.1", self.port), 2) as s:
                        if second % 2:
                            s.settimeout(2)
                            if not s.recv(1):
                                self.failures.append("closed before any data")
                    self.connects += 1
                except OSError as e:
                    self.failures.append(str(e))
            # A second missed while paused is not made up for.
            second = max(second + 1, int(time.monotonic() - began))

    @contextlib.contextmanager
    def paused(self):
        with self.lock:
            yield

    def finish(self):
        self.done.set()
        self.thread.join(5)


def settled_fd_count(pid, timeout=3):
    """The panel's descriptors once a client that just left is closed there as well: the
    same count five times in a row, 50 ms apart."""
    counts = [fd_count(pid)]
    end = time.monotonic() + timeout
    while time.monotonic() < end and (len(counts) < 5 or len(set(counts[-5:])) > 1):
        time.sleep(0.05)
        counts.append(fd_count(pid))
    return counts[-1]


def client_main(mode, link):
    """An application of an ordinary user on the GPS Data port.

    exclusive    opens the port, sets exclusive mode (TIOCEXCL) and exits
    stop-output  opens the port, stops its output (tcflow TCOOFF) and exits
    read         opens the port and reads for 3 s
    write        opens the port, writes a command, and reads for 3 s
    echo         opens the port, turns echo and canonical mode on (as `stty sane`), reads 3 s
    Prints "sentences N": the valid sentences it read. Exits 2 when the port cannot be
    opened, 3 when the command cannot be written.
    """
    try:
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        print("open: %s" % e, flush=True)
        return 2
    if mode == "exclusive":
        fcntl.ioctl(fd, termios.TIOCEXCL)
        return 0
    if mode == "stop-output":
        termios.tcflow(fd, termios.TCOOFF)
        return 0
    if mode == "echo":
        attrs = termios.tcgetattr(fd)
        attrs[3] |= termios.ECHO | termios.ICANON
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
    if mode == "write":
        command = nmea("PUBX,41,1,0007,0003,19200,0")
        end = time.monotonic() + 3
        while command:
            if time.monotonic() > end:
                print("write: output stays stopped", flush=True)
                return 3
            try:
                command = command[os.write(fd, command):]
            except BlockingIOError:
                select.select([], [fd], [], 0.05)
    data = b""
    end = time.monotonic() + 3
    while time.monotonic() < end:
        if select.select([fd], [], [], 0.05)[0]:
            try:
                data += os.read(fd, 65536)
            except OSError:
                pass
    print("sentences %d" % len(valid_sentences(data)), flush=True)
    return 0


def bind_main(name):
    """Binds the abstract socket `name` and keeps it until killed."""
    import socket
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.bind("\0" + name)
    print("bound", flush=True)
    signal.pause()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--client":
        sys.exit(client_main(sys.argv[2], sys.argv[3]))
    if len(sys.argv) == 3 and sys.argv[1] == "--bind":
        bind_main(sys.argv[2])
    own_network_namespace()
    unittest.main(verbosity=2)
