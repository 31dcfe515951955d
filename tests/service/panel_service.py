#!/usr/bin/env python3
"""ostrel-panel --no-window, the panel as a service, and the options every user tries.

Real processes only, as in tests/faults: the panel and kastrel-emulator in a scratch
directory, a client on the GPS Data port. The service runs with no display, no Qt platform
and no session bus named in its environment. As root the run moves into a network
namespace of its own, so it cannot meet another panel or emulator on the machine.

ctest runs one case per process:  panel_service.py PanelService.test_service_streams
"""
import os
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nmea import valid_sentences  # noqa: E402
from panel_rig import (PANEL, Child, PanelRig, own_network_namespace, report,  # noqa: E402
                       wait_for)

# Nothing that would reach a display or a session bus.
NO_DESKTOP = {"DISPLAY": None, "WAYLAND_DISPLAY": None, "QT_QPA_PLATFORM": None,
              "DBUS_SESSION_BUS_ADDRESS": None}
SETTINGS = "ostrel_gps_monitor.ini"


class PanelService(PanelRig):
    def start_service(self):
        self.start_panel(args=["--no-window"], env=NO_DESKTOP)

    def lines(self):
        return self.panel.output().splitlines()

    def test_service_streams_reports_and_ends_on_each_signal(self):
        """NMEA on the port, a line per status change, and an orderly end on each signal."""
        self.start_emulator()
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                self.start_service()
                self.assertTrue(wait_for(lambda: "module found" in self.lines(), 10),
                                self.panel.output())
                client = self.attach_client()
                self.assertTrue(wait_for(lambda: len(valid_sentences(client.data())) >= 3, 10))
                self.assertTrue(wait_for(
                    lambda: any(line.startswith("fix gained") for line in self.lines()), 10),
                    self.panel.output())
                client.close()
                self.clients.remove(client)
                self.panel.proc.send_signal(sig)
                code = self.panel.proc.wait(3)
                report("service: %s ends it with %d" % (sig.name, code))
                self.assertEqual(code, 0, self.panel.output())
                self.assertFalse(os.path.lexists(self.link), "GPS Data port link left behind")
                self.assertEqual(self.lines()[0], "GPS Data port COM1 at " + self.link)
                self.assertNotIn("Error", self.panel.output())

    def test_service_tells_the_module_lost(self):
        """The module silent: after 5 s the service says it is lost, and the fix with it."""
        self.start_emulator("--silent-after", "2")
        self.start_service()
        self.assertTrue(wait_for(lambda: "module lost" in self.lines(), 15), self.panel.output())
        lines = self.lines()
        self.assertLess(lines.index("module found"), lines.index("module lost"))
        if any(line.startswith("fix gained") for line in lines):
            self.assertLess(lines.index("fix lost"), lines.index("module lost"))
        self.assertEqual(self.panel.terminate(3), 0)

    def test_one_panel_per_user_between_service_and_window(self):
        """A second panel, service or window, says which one runs and goes."""
        self.start_service()
        window = self.start_second("window", [], {"QT_QPA_PLATFORM": "offscreen"})
        self.assertIn("already running as a service without a window (process %d)"
                      % self.panel.pid, window.output())
        self.assertEqual(self.panel.terminate(3), 0)

        self.start_panel(env={"QT_QPA_PLATFORM": "offscreen"})
        service = self.start_second("service", ["--no-window"], NO_DESKTOP)
        self.assertEqual(service.proc.wait(5), 1)
        self.assertIn("already running with a window (process %d)" % self.panel.pid,
                      service.output())
        self.assertEqual(self.panel.terminate(5), 0)

    def start_second(self, tag, args, env):
        """A second start; its line on stderr comes before any box."""
        second = Child([PANEL, *args], self.dir, self.path(tag + ".err"),
                       env=self.panel_env(env=env))
        self.children.append(second)
        self.assertTrue(wait_for(lambda: "already running" in second.output(), 10),
                        second.output())
        return second

    def test_fatal_start_up_error_ends_the_service_with_a_message(self):
        """A settings file it cannot write: said on stderr, and the exit code is not 0."""
        os.mkdir(self.path(SETTINGS))
        self.start_panel(args=["--no-window"], env=NO_DESKTOP, expect_port=False)
        self.assertTrue(wait_for(lambda: not self.panel.running(), 10))
        self.assertEqual(self.panel.proc.returncode, 1)
        self.assertIn("ostrel-panel: Error: ", self.panel.output())
        self.assertIn(SETTINGS, self.panel.output())

    def test_options_end_before_any_file_is_written(self):
        """--help, --version, a mistyped option and a stale DISPLAY start no panel."""
        cases = [
            ("--help", [], 0, "Usage: ostrel-panel", ""),
            ("--version", [], 0, "ostrel-panel ", ""),
            ("unknown", ["--no-windw"], 2, "", "Try 'ostrel-panel --help'"),
            ("argument", ["COM1"], 2, "", "unexpected argument 'COM1'"),
            ("stale display", [], 1, "", "no X server answers on the display"),
        ]
        for name, args, code, out_has, err_has in cases:
            with self.subTest(name):
                argv = [PANEL, *args] if args or name == "stale display" else [PANEL, name]
                env = {"DISPLAY": ":97", "QT_QPA_PLATFORM": None, "WAYLAND_DISPLAY": None}
                done = subprocess.run(argv, cwd=self.dir, env=self.panel_env(env=env),
                                      capture_output=True, text=True, timeout=10)
                self.assertEqual(done.returncode, code, done.stderr)
                self.assertIn(out_has, done.stdout)
                self.assertIn(err_has, done.stderr)
                self.assertNotIn("Reinstalling", done.stderr)
                self.assertEqual(os.listdir(self.dir), ["run-%d" % os.geteuid()])


if __name__ == "__main__":
    own_network_namespace()
    unittest.main()
