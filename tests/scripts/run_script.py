#!/usr/bin/env python3
"""scripts/run.sh as a user runs it, with the programs of this build (OSTREL_RUN_BUILD).

The emulator's options that only print (--help) or are mistyped start no panel, and
the script ends with the emulator's status; Ctrl-C (SIGINT to the script's process
group, as a terminal sends it) ends the panel and the emulator, and the script with 130.
As root the run moves into a network namespace of its own (the module's socket name).
"""
import os
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from panel_rig import own_network_namespace, wait_for  # noqa: E402

RUN_SH = os.path.join(os.environ["OSTREL_SOURCE_DIR"], "scripts", "run.sh")


class RunScript(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ostrel-run-")
        self.env = dict(os.environ, OSTREL_DEPS_DONE="1", QT_QPA_PLATFORM="offscreen",
                        XDG_RUNTIME_DIR=self.dir)
        self.env.pop("DISPLAY", None)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.proc = None

    def tearDown(self):
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        subprocess.run(["rm", "-rf", self.dir])

    def start(self, *args):
        self.log = os.path.join(self.dir, "run.out")
        with open(self.log, "wb") as out:
            self.proc = subprocess.Popen([RUN_SH, *args], cwd=self.dir, env=self.env, stdout=out,
                                         stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                         start_new_session=True)

    def output(self):
        with open(self.log, "rb") as f:
            return f.read().decode("latin-1")

    def ended_with(self, seconds=30):
        try:
            return self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def group_gone(self):
        try:
            os.killpg(self.proc.pid, 0)
            return False
        except ProcessLookupError:
            return True

    def test_options_that_start_no_panel(self):
        for args, status, said in [(["--help"], 0, "Usage: kastrel-emulator"),
                                   (["--version"], 0, "kastrel-emulator"),
                                   (["--replya", "x.log"], 2, "unknown option '--replya'")]:
            with self.subTest(" ".join(args)):
                self.start(*args)
                self.assertEqual(self.ended_with(), status, self.output())
                self.assertIn(said, self.output())
                self.assertNotIn("GPS Data port", self.output())
                self.assertFalse(os.path.exists(os.path.join(self.dir, "ostrel_gps_monitor.ini")),
                                 "the panel started: " + self.output())
                self.assertTrue(wait_for(self.group_gone, 10), "a program was left running")

    def test_ctrl_c_ends_both_with_130(self):
        self.start()
        self.assertTrue(wait_for(lambda: "GPS Data port" in self.output(), 30), self.output())
        os.killpg(self.proc.pid, signal.SIGINT)
        self.assertEqual(self.ended_with(), 130, self.output())
        self.assertTrue(wait_for(self.group_gone, 10), "a program was left running")
        self.assertFalse(os.path.lexists(os.path.join(self.dir, "COM1")))


if __name__ == "__main__":
    own_network_namespace()
    unittest.main(verbosity=2)
