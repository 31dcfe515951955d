#!/usr/bin/env python3
"""What ships beside the programs: the manual pages and the package version.

The pages are rendered by man(1) as lintian and a user do, and compared with what the
programs really take: every option each program's --help lists, every settings key the
panel reads (with its default). The Debian package's version must be the project's.

From the environment:
  OSTREL_MANUALS     the ostrel-panel and kastrel-emulator pages, in that order (source
                     form, or as installed, gzipped)
  OSTREL_PANEL       the panel program
  KASTREL_EMULATOR   the emulator program
  OSTREL_SOURCE_DIR  the source tree (for the settings table and debian/changelog)
  OSTREL_VERSION     the project version (only for the package version check)
"""
import os
import re
import subprocess
import unittest

MANUALS = os.environ.get("OSTREL_MANUALS", "").split()
PANEL = os.environ.get("OSTREL_PANEL", "")
EMULATOR = os.environ.get("KASTREL_EMULATOR", "")
SOURCE = os.environ.get("OSTREL_SOURCE_DIR", "")
VERSION = os.environ.get("OSTREL_VERSION", "")

SETTING_KEY = re.compile(
    r'SettingKey\s+k\w+\{"(\w+)",\s*"(\w+)",\s*SettingType::\w+,\s*"([^"]*)"\}')
OPTION = re.compile(r"(?<![\w-])(--?[a-z][a-z-]*)")


def render(page, width=200):
    """The page as a reader sees it (plain text, one paragraph a line at the default
    width), man's exit code and its warnings."""
    env = dict(os.environ, MANWIDTH=str(width), LC_ALL="C.UTF-8", MANPAGER="cat", PAGER="cat")
    out = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", page], capture_output=True,
                         env=env)
    text = re.sub(r".\x08", "", out.stdout.decode())  # overstrike bold and underline
    return text, out.returncode, out.stderr.decode()


def section(text, title):
    """The body of one top-level section of a rendered page."""
    m = re.search(r"^%s\n(.*?)(?=^\S|\Z)" % re.escape(title), text, re.S | re.M)
    return m.group(1) if m else ""


class ManualPages(unittest.TestCase):
    def test_pages_render_without_warnings(self):
        self.assertEqual(len(MANUALS), 2, MANUALS)
        for page in MANUALS:
            with self.subTest(os.path.basename(page)):
                for width in (80, 200):
                    text, code, warnings = render(page, width)
                    self.assertEqual(code, 0, warnings)
                    self.assertEqual(warnings, "")
                    self.assertIn("NAME", text)

    def test_each_page_describes_every_option_of_its_program_and_no_other(self):
        for program, page in ((PANEL, MANUALS[0]), (EMULATOR, MANUALS[1])):
            with self.subTest(os.path.basename(program)):
                helped = subprocess.run([program, "--help"], capture_output=True, text=True,
                                        timeout=10)
                self.assertEqual(helped.returncode, 0)
                listed = {m for line in helped.stdout.splitlines() if line.startswith("  -")
                          for m in OPTION.findall(line.strip().split("  ")[0])}
                self.assertIn("--version", listed)
                text, _, _ = render(page)
                described = {m for line in section(text, "OPTIONS").splitlines()
                             if re.match(r"^ {7}-", line) for m in OPTION.findall(line)}
                self.assertEqual(described, listed)
                # What the page says the program does with them, the program does.
                for option in ("--version", "--help"):
                    done = subprocess.run([program, option], capture_output=True, timeout=10)
                    self.assertEqual(done.returncode, 0, option)

    def test_panel_page_describes_every_settings_key_with_its_default(self):
        with open(os.path.join(SOURCE, "engine", "settings.h")) as f:
            header = f.read()
        keys = SETTING_KEY.findall(header)
        # The module's USB ids stand apart from the table: never written at first start.
        usb = re.search(r'kUsbSection = "(\w+)";.*?kUsbDeviceKey = "(\w+)";', header, re.S)
        self.assertIsNotNone(usb)
        keys.append((usb.group(1), usb.group(2), ""))
        self.assertGreaterEqual(len(keys), 10)
        text, _, _ = render(MANUALS[0])
        lines = section(text, "SETTINGS").splitlines()
        # Blanks collapsed: man justifies a filled line by widening its spaces.
        tags = {line.strip(): " ".join(lines[i + 1].split()) for i, line in enumerate(lines[:-1])
                if re.match(r"^ {7}\[\w+\] \w+$", line)}
        for sect, key, default in keys:
            with self.subTest("[%s] %s" % (sect, key)):
                tag = "[%s] %s" % (sect, key)
                self.assertIn(tag, tags)
                # A key without a default (empty text) says "(default none)".
                self.assertTrue(tags[tag].startswith("(default %s)" % (default or "none")),
                                tags[tag])
        self.assertEqual(len(tags), len(keys), sorted(tags))


class PackageVersion(unittest.TestCase):
    def test_changelog_version_is_the_project_version(self):
        with open(os.path.join(SOURCE, "debian", "changelog")) as f:
            first = f.readline()
        m = re.match(r"^ostrel-panel \(([^)]+)\) \S+; urgency=\w+$", first)
        self.assertTrue(m, first)
        self.assertEqual(m.group(1), VERSION)

    def test_panel_package_brings_the_wayland_plugin(self):
        """Without Qt's Wayland plug-in the panel falls back to XWayland, where the
        compositor's tray, activation and scaling do not reach it."""
        with open(os.path.join(SOURCE, "debian", "control")) as f:
            stanzas = f.read().split("\n\n")
        panel = next(s for s in stanzas if re.search(r"^Package: ostrel-panel$", s, re.M))
        relations = re.findall(r"^(?:Depends|Recommends):(.*(?:\n .*)*)", panel, re.M)
        names = re.findall(r"[a-z0-9][a-z0-9.+-]+", " ".join(relations))
        self.assertIn("qt6-wayland", names)


if __name__ == "__main__":
    unittest.main(verbosity=2)
