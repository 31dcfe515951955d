#!/usr/bin/env python3
"""The layer check passes on the source tree and catches each way a folder can break it."""
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

SOURCE = pathlib.Path(os.environ.get("OSTREL_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
SCRIPT = SOURCE / "scripts" / "check_layers.py"


def check(root):
    return subprocess.run([sys.executable, str(SCRIPT), str(root)], capture_output=True, text=True)


class CheckLayers(unittest.TestCase):
    def test_the_source_tree_keeps_its_order(self):
        result = check(SOURCE)
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_each_break_of_the_order_is_reported(self):
        cases = {
            "a lower folder includes a higher one": ("link/usb_link.h", '#include "receive/chunk.h"'),
            "a folder includes another on its own layer":
                ("gps/tgps.h", '#include "link/command_queue.h"'),
            "the emulator includes the window": ("tools/emulator/chip.h", '#include "app/main_form.h"'),
            "the engine includes the window": ("engine/panel_engine.h", '#include "app/main_form.h"'),
            "the receive cycle includes the engine":
                ("receive/receive_cycle.h", '#include "engine/panel_view.h"'),
            "spaces after the hash": ("platform/clock.h", '#  include "link/usb_link.h"'),
        }
        for name, (file, line) in cases.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                path = pathlib.Path(tmp, file)
                path.parent.mkdir(parents=True)
                path.write_text(f'#pragma once\n{line}\n')
                result = check(tmp)
                self.assertEqual(result.returncode, 1, name)
                self.assertIn(f"{file}:2:", result.stdout)

    def test_allowed_includes_pass(self):
        with tempfile.TemporaryDirectory() as tmp:
            for file, line in [("app/main_form.h", '#include "receive/receive_cycle.h"'),
                               ("app/main_form.h", '#include "engine/panel_engine.h"'),
                               ("engine/panel_engine.h", '#include "receive/receive_cycle.h"'),
                               ("receiver/antaris.h", '#include "gps/tgps.h"'),
                               ("receiver/maintenance.h", '#include "link/command_queue.h"'),
                               ("dataport/external_commands.h", '#include "link/command_queue.h"'),
                               ("tools/emulator/chip.h", '#include "receiver/ubx.h"'),
                               ("link/usb_link.h", '#include <mutex>')]:
                path = pathlib.Path(tmp, file)
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(f'{line}\n')
            self.assertEqual(check(tmp).returncode, 0)


if __name__ == "__main__":
    unittest.main()
