#!/usr/bin/env python3
"""The panel's track recordings, opened by the programs people open them with.

Real processes only: ostrel-panel --no-window and kastrel-emulator in a scratch folder.
The GPX files are read back by gpsbabel and checked against the GPX 1.1 structure below
by python3's XML parser; the CSV files by Python's csv module. As root the run moves into
network and mount namespaces of its own: no other panel or emulator is met, and the small
tmpfs of the full-disk case is seen by this run alone. Without the right to mount, the
full-disk case is skipped: record_tests covers a full disk with a file size limit.

ctest runs one case per process:  recordings.py Recordings.test_emulator_walk_...
"""
import csv
import glob
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nmea import valid_sentences  # noqa: E402
from panel_rig import PanelRig, report, wait_for  # noqa: E402

NS = "{http://www.topografix.com/GPX/1/1}"
# wptType's children in the order GPX 1.1 gives them (those the panel writes).
POINT_CHILDREN = ["ele", "time", "fix", "sat", "hdop", "vdop", "pdop"]
FIXES = {"none", "2d", "3d", "dgps", "pps"}
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z$")
CSV_HEADER = ["time", "latitude", "longitude", "altitude", "speed", "course", "fix",
              "satellites", "hdop"]
NO_DESKTOP = {"DISPLAY": None, "WAYLAND_DISPLAY": None, "QT_QPA_PLATFORM": None,
              "DBUS_SESSION_BUS_ADDRESS": None}
GPSBABEL = shutil.which("gpsbabel")


def own_namespaces():
    """As root, re-run inside network and mount namespaces of our own."""
    if os.geteuid() != 0 or os.environ.get("OSTREL_RECORD_NS") or not shutil.which("unshare"):
        return
    if subprocess.run(["unshare", "--net", "--mount", "true"], capture_output=True).returncode:
        return
    os.environ["OSTREL_RECORD_NS"] = "1"
    os.execvp("unshare", ["unshare", "--net", "--mount", "--", "sh", "-c",
                          'ip link set lo up 2>/dev/null; exec "$0" "$@"',
                          sys.executable, *sys.argv])


def gpx_segments(path):
    """The segments of the GPX file, each a list of (lat, lon, time), after checking the
    file against GPX 1.1's structure."""
    root = ET.parse(path).getroot()
    assert root.tag == NS + "gpx", root.tag
    assert root.get("version") == "1.1" and root.get("creator")
    children = [c.tag for c in root]
    assert children[0] == NS + "metadata" and all(t == NS + "trk" for t in children[1:]), children
    segments = []
    for trk in root.iter(NS + "trk"):
        for seg in trk:
            assert seg.tag in (NS + "name", NS + "trkseg"), seg.tag
            if seg.tag != NS + "trkseg":
                continue
            points = []
            for pt in seg:
                assert pt.tag == NS + "trkpt", pt.tag
                lat, lon = float(pt.get("lat")), float(pt.get("lon"))
                assert -90 <= lat <= 90 and -180 <= lon < 180
                tags = [c.tag[len(NS):] for c in pt]
                order = [POINT_CHILDREN.index(t) for t in tags]
                assert order == sorted(order) and len(set(order)) == len(order), tags
                values = {c.tag[len(NS):]: c.text for c in pt}
                assert "fix" not in values or values["fix"] in FIXES, values
                assert "time" not in values or TIME.match(values["time"]), values
                assert "sat" not in values or int(values["sat"]) >= 0
                for dop in ("hdop", "vdop", "pdop", "ele"):
                    if dop in values:
                        float(values[dop])
                points.append((lat, lon, values.get("time")))
            segments.append(points)
    return segments


def gpsbabel_points(path):
    """The track points gpsbabel reads from the GPX file: [(lat, lon)]."""
    out = subprocess.run([GPSBABEL, "-t", "-i", "gpx", "-f", path, "-o", "unicsv", "-F", "-"],
                         capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    rows = list(csv.DictReader(out.stdout.splitlines()))
    return [(float(r["Latitude"]), float(r["Longitude"])) for r in rows]


def csv_rows(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0] == CSV_HEADER, rows[0]
    return rows[1:]


def gga_fixes(text):
    """(lat, lon) of each GGA with a fix in the NMEA bytes, in order."""
    fixes = []
    for s in valid_sentences(text):
        f = s.decode("latin-1").split("*")[0].split(",")
        if f[0][3:] != "GGA" or not f[6].isdigit() or not 1 <= int(f[6]) <= 5 or not f[2]:
            continue
        lat = int(f[2][:2]) + float(f[2][2:]) / 60
        lon = int(f[4][:3]) + float(f[4][3:]) / 60
        fixes.append((-lat if f[3] == "S" else lat, -lon if f[5] == "W" else lon))
    return fixes


class Recordings(PanelRig):
    def settings(self, formats="gpx,csv,nmea", folder="tracks", extra=""):
        return ("[GPS]\nCOM=0\n[Record]\nTrack=1\nFolder=%s\nFormats=%s\n%s"
                % (folder, formats, extra))

    def start_service(self, settings):
        self.start_panel(settings=settings, args=["--no-window"], env=NO_DESKTOP)

    def files(self, ext, folder="tracks"):
        return sorted(glob.glob(os.path.join(self.path(folder), "*." + ext)))

    def rows_so_far(self):
        return sum(len(csv_rows(f)) for f in self.files("csv"))

    def check_recording(self, client_text):
        """GPX, CSV and NMEA of the stopped panel agree with each other and with what the
        GPS Data port's client was sent; the segments."""
        gpx, = self.files("gpx")
        segments = gpx_segments(gpx)
        points = [p for s in segments for p in s]
        babel = gpsbabel_points(gpx)
        self.assertEqual(len(babel), len(points))
        for (lat, lon), (blat, blon, _) in zip(babel, points):
            # unicsv prints six decimals.
            self.assertAlmostEqual(lat, blat, delta=6e-7)
            self.assertAlmostEqual(lon, blon, delta=6e-7)
        rows = csv_rows(self.files("csv")[0])
        self.assertEqual([(float(r[1]), float(r[2])) for r in rows],
                         [(p[0], p[1]) for p in points])
        self.assertEqual([r[0] for r in rows], [p[2] for p in points])
        # The recording's NMEA file holds exactly the fixes of the GPX, and every fix the
        # GPS Data port's client got (it came later) is among them, in order.
        with open(self.files("nmea")[0], "rb") as f:
            nmea = f.read()
        self.assertEqual(nmea.count(b"\r\n"), len(valid_sentences(nmea)))
        recorded = gga_fixes(nmea)
        # The epoch under way at the end (or at the start) may lack its GGA: its RMC alone
        # gives the point.
        self.assertIn(len(points) - len(recorded), (0, 1))
        skip = 0 if abs(points[0][0] - recorded[0][0]) < 1e-7 else 1
        for (lat, lon), (plat, plon, _) in zip(recorded, points[skip:]):
            self.assertAlmostEqual(lat, plat, places=7)
            self.assertAlmostEqual(lon, plon, places=7)
        sent = gga_fixes(client_text)
        self.assertGreater(len(sent), 3)
        start = recorded.index(sent[0])
        self.assertEqual(recorded[start:start + len(sent)], sent)
        return segments

    def walk(self, emulator_args, settings, points):
        self.start_emulator(*emulator_args)
        self.start_service(settings)
        client = self.attach_client()
        self.assertTrue(wait_for(lambda: self.files("csv") and self.rows_so_far() >= points, 40),
                        self.panel.output())
        self.assertEqual(self.panel.terminate(5), 0, self.panel.output())
        return client.data()

    @unittest.skipUnless(GPSBABEL, "gpsbabel is not installed")
    def test_emulator_walk_opens_in_gpsbabel_xml_and_csv(self):
        """The emulator's fixes: one segment whose points gpsbabel, XML and csv agree on."""
        data = self.walk(["--period", "200"], self.settings(), 12)
        segments = self.check_recording(data)
        self.assertEqual(len(segments), 1)
        report("recordings: emulator walk of %d points" % len(segments[0]))
        self.assertNotIn("Track recording stopped", self.panel.output())

    @unittest.skipUnless(GPSBABEL, "gpsbabel is not installed")
    def test_replayed_capture_gives_its_fixes_and_segments(self):
        """A real receiver's capture replayed by the emulator; a gap splits the track."""
        capture = os.path.join(os.environ["OSTREL_CORPUS_DIR"], "ublox-8.log")
        lines = open(capture, newline="", encoding="latin-1").read().replace("\r\n", "\n").split("\n")
        # Seven seconds cut out of the middle: more than 5 s between two fixes.
        epochs = [i for i, line in enumerate(lines) if line.startswith("$GNRMC")]
        cut = lines[:epochs[12]] + lines[epochs[19]:epochs[30]]
        with open(self.path("gap.log"), "w", newline="", encoding="latin-1") as f:
            f.write("\r\n".join(cut) + "\r\n")
        data = self.walk(["--replay", self.path("gap.log"), "--period", "100"], self.settings(),
                         20)
        segments = self.check_recording(data)
        times = [p[2] for s in segments for p in s]
        self.assertTrue(all(t.startswith("2017-01-10T00:") for t in times), times)
        self.assertGreaterEqual(len(segments), 2, [len(s) for s in segments])
        # Where the track broke, more than 5 s passed.
        for before, after in zip(segments, segments[1:]):
            gap = int(after[0][2][14:16]) * 60 + int(after[0][2][17:19]) - (
                int(before[-1][2][14:16]) * 60 + int(before[-1][2][17:19]))
            self.assertTrue(gap > 5 or gap < 0, (before[-1][2], after[0][2]))

    @unittest.skipUnless(GPSBABEL, "gpsbabel is not installed")
    def test_sigkill_at_random_moments_leaves_files_that_open(self):
        """SIGKILL 20 times: each GPX opens in gpsbabel and lacks at most the last fix."""
        self.start_emulator("--period", "100")
        rng = random.Random(int(os.environ.get("OSTREL_SEED", "24")))
        for run in range(20):
            folder = "kill%02d" % run
            self.start_service(self.settings(folder=folder))
            rows = rng.randint(0, 15)
            self.assertTrue(wait_for(lambda: self.files("csv", folder) and sum(
                len(csv_rows(f)) for f in self.files("csv", folder)) >= rows, 20),
                self.panel.output())
            self.panel.proc.send_signal(signal.SIGKILL)
            self.panel.proc.wait(5)
            self.children.remove(self.panel)
            for gpx in self.files("gpx", folder):
                points = [p for s in gpx_segments(gpx) for p in s]
                self.assertEqual(len(gpsbabel_points(gpx)), len(points), gpx)
                with open(gpx[:-4] + ".nmea", "rb") as f:
                    fixes = gga_fixes(f.read())
                # The epoch under way, and the one whose point was being written.
                self.assertGreaterEqual(len(points), len(fixes) - 2, gpx)
                self.assertEqual(len(csv_rows(gpx[:-4] + ".csv")), len(points))
            if run % 5 == 0:
                report("recordings: killed run %d with %d points" % (run, len(points)))

    def mount_tmpfs(self, folder, options):
        os.makedirs(self.path(folder))
        if os.geteuid() != 0 or not os.environ.get("OSTREL_RECORD_NS"):
            self.skipTest("no mount namespace of our own to mount a tmpfs in")
        out = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", self.path(folder)],
                             capture_output=True, text=True)
        if out.returncode != 0:
            self.skipTest("mount refused: " + out.stderr.strip())

    def assert_stops_once_and_forwards(self, what):
        said = "Track recording stopped"
        self.assertTrue(wait_for(lambda: said in self.panel.output(), 40), self.panel.output())
        client = self.attach_client()
        self.assertTrue(wait_for(lambda: len(valid_sentences(client.data())) >= 5, 10),
                        "the GPS Data port stopped with the recording")
        self.assertEqual(self.panel.output().count(said), 1, self.panel.output())
        self.assertIn(what, self.panel.output())
        with open(self.path("error.log")) as f:
            self.assertEqual(f.read().count(said), 1)
        self.assertEqual(self.panel.terminate(5), 0, self.panel.output())

    @unittest.skipUnless(GPSBABEL, "gpsbabel is not installed")
    def test_full_disk_stops_recording_with_one_message(self):
        """A 20 kB tmpfs fills up: one message, whole files, the port goes on."""
        self.mount_tmpfs("tracks", "size=20k,mode=0755")
        self.start_emulator("--period", "100")
        self.start_service(self.settings())
        self.assert_stops_once_and_forwards("No space left on device")
        for gpx in self.files("gpx"):
            points = [p for s in gpx_segments(gpx) for p in s]
            self.assertEqual(len(gpsbabel_points(gpx)), len(points))
        for name in self.files("csv"):
            with open(name, "rb") as f:
                self.assertTrue(f.read().endswith(b"\r\n"))

    def test_read_only_folder_stops_recording_with_one_message(self):
        """A folder the panel may not write: one message, and the port goes on."""
        if os.geteuid() == 0 and os.environ.get("OSTREL_RECORD_NS"):
            self.mount_tmpfs("tracks", "ro,size=20k")
            what = "Read-only file system"
        elif os.geteuid() == 0:
            self.skipTest("root writes to any folder, and no mount namespace to mount one "
                          "read-only in")
        else:
            os.makedirs(self.path("tracks"), mode=0o555)
            os.chmod(self.path("tracks"), 0o555)
            what = "Permission denied"
        self.start_emulator("--period", "200")
        self.start_service(self.settings())
        self.assert_stops_once_and_forwards(what)
        self.assertEqual(os.listdir(self.path("tracks")), [])


if __name__ == "__main__":
    own_namespaces()
    unittest.main()
