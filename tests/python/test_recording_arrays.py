"""qs.Recording.load(): a recording of qs-sim as numpy arrays, cell for
cell the values of qs-export's two tables for the same file, in both axis
conventions; a recording of segments alone; damaged files."""

import csv
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import numpy as np

import qs
import qs._arrays
from sim_support import EXPORT, RECORD, SIM, Simulator

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "recordings"))
import damaged_recordings  # noqa: E402

FRAMES = 30


def run(*command):
    return subprocess.run(list(command), capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)


def table(path):
    with open(path, newline="") as stream:
        meta, header, *rows = list(csv.reader(stream))
    return header, rows


def cells(rows, first, count, dtype=np.float64):
    """Columns first .. first+count-1 of the rows, empty cells NaN."""
    return np.array([[float(cell) if cell else np.nan for cell in row[first:first + count]] for row in rows],
                    dtype=dtype)


def same(test, got, want, what):
    test.assertEqual(got.shape, want.shape, what)
    test.assertTrue(np.array_equal(got, want, equal_nan=True), "%s: %s vs %s" % (what, got, want))


class RecordingArrays(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for program in (SIM, RECORD, EXPORT):
            if not program or not os.access(program, os.X_OK):
                raise unittest.SkipTest("QS_SIM, QS_RECORD and QS_EXPORT must name the programs")
        cls.folder = tempfile.mkdtemp(prefix="qs-arrays-")
        cls.path = os.path.join(cls.folder, "walk.qsrec")
        cls.segments_only = os.path.join(cls.folder, "segments.qsrec")
        with Simulator("127.0.0.51"):
            cls.recorded = [run(RECORD, "127.0.0.51", "--frames", str(FRAMES), "--quiet", "-o", cls.path),
                            run(RECORD, "127.0.0.51", "--segments", "--frames", "5", "--quiet", "-o",
                                cls.segments_only)]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_arrays_equal_the_exported_tables(self):
        for recorded in self.recorded:
            self.assertEqual(recorded.returncode, 0, recorded.stderr)
        recording = qs.Recording(self.path)
        for options in ((), ("--y-up", "--left-handed")):
            base = os.path.join(self.folder, "table%d" % len(options))
            exported = run(EXPORT, self.path, "-o", base + ".csv", *options)
            self.assertEqual(exported.returncode, 0, exported.stderr)
            # The second pass gathers every value by index, the first copies
            # runs of evenly spaced frames.
            with mock.patch.object(qs._arrays, "_MOST_RUNS", 0 if options else 10 ** 9):
                data = recording.load(left_handed=bool(options), y_up=bool(options))
            self.assertIn(data.rate_report.split(" (")[0], exported.stderr)
            header, rows = table(base + ".csv")
            segments, markers = len(data.segment_labels), len(data.marker_labels)
            self.assertGreater(segments * markers * len(data.channel_labels), 0)
            self.assertEqual(header[3], "Walker/%s/tx [mm]" % data.segment_names[0][1])
            same(self, data.frame_numbers, cells(rows, 0, 1, np.int32)[:, 0], "frames")
            same(self, data.receive_times, cells(rows, 1, 1)[:, 0], "receive times")
            same(self, data.capture_times, cells(rows, 2, 1)[:, 0], "capture times")
            poses = cells(rows, 3, 7 * segments).reshape(len(rows), segments, 7)
            same(self, data.translations, poses[..., :3], "translations")
            same(self, data.quaternions, poses[..., 3:], "quaternions")
            same(self, cells(rows, 3 + 7 * segments, 3 * markers).reshape(len(rows), markers, 3), data.markers,
                 "markers")
            self.assertTrue(np.isnan(data.markers).any() or not options, "some marker occluded")
            # A rotation matrix and its quaternion turn a vector alike.
            x, y, z, w = np.moveaxis(data.quaternions[0, 0], -1, 0)
            turned = data.matrices()[0, 0] @ np.array([1.0, 0.0, 0.0])
            self.assertTrue(np.allclose(turned, [1 - 2 * (y * y + z * z), 2 * (x * y + w * z), 2 * (x * z - w * y)]))

            header, rows = table(base + ".analog.csv")
            self.assertEqual([h.split(" [")[0] for h in header[3:]], data.channel_labels)
            self.assertEqual(len(rows), len(data.frame_numbers) * data.samples_per_frame)
            same(self, data.sample_frames, cells(rows, 0, 1, np.int32)[:, 0], "sample frames")
            same(self, data.sample_times, cells(rows, 2, 1)[:, 0], "sample times")
            same(self, data.samples, cells(rows, 3, len(data.channel_labels), np.float32), "samples")
            fz = data.channel("Plate1/Fz")
            self.assertEqual(fz.shape, (len(rows),))

        only = qs.Recording(self.segments_only).load(rate=100)
        self.assertEqual((only.rate, only.rate_estimated), (100, False))
        # The scene names markers and plates, the frames carry none.
        self.assertEqual(only.markers.shape, (len(only.frame_numbers), len(only.marker_labels), 3))
        self.assertTrue(np.isnan(only.markers).all())
        self.assertEqual(only.samples.shape, (0, len(only.channel_labels)))
        self.assertEqual(only.translations.shape[1:], (len(only.segment_labels), 3))

    def test_carried_objects_equal_the_exported_tables(self):
        # Every other frame leaves its markers out and carries the previous
        # packet's over with a packet summary (type 100004).
        recording = qs.Recording(self.path)
        carried = os.path.join(self.folder, "carried.qsrec")
        with open(self.path, "rb") as source, open(carried, "wb") as out:
            out.write(source.read(recording._offsets[0]))
            for index, (receive, packet) in enumerate(recording.packets()):
                if index > 1 and index % 2:
                    objects, at = [], 8
                    while at < len(packet):
                        kind, length = struct.unpack_from("<ii", packet, at)
                        if kind != 6:
                            objects.append(packet[at:at + 8 + length])
                        at += 8 + length
                    objects.append(damaged_recordings.obj(100004, struct.pack("<iii", 0, 1, 6)))
                    packet = damaged_recordings.packet(*objects)
                out.write(damaged_recordings.record(round(receive * 1e9), packet))
        exported = run(EXPORT, carried, "-o", os.path.join(self.folder, "carried.csv"))
        self.assertEqual(exported.returncode, 0, exported.stderr)
        data = qs.Recording(carried).load()
        header, rows = table(os.path.join(self.folder, "carried.csv"))
        first = header.index("%s/%s/x [mm]" % data.marker_names[0])
        markers = cells(rows, first, 3 * len(data.marker_labels)).reshape(len(rows), -1, 3)
        same(self, data.markers, markers, "carried markers")
        same(self, data.markers[2], data.markers[1], "a carried frame's markers")

    def test_damaged_files_raise_at_open_or_load(self):
        folder = tempfile.mkdtemp(prefix="qs-arrays-damaged-")
        self.addCleanup(shutil.rmtree, folder)
        for case in damaged_recordings.write_all(folder):
            path = os.path.join(folder, case["name"] + ".qsrec")
            if case["outcome"] == "refused":
                self.assertRaises(qs.RecordingError, qs.Recording, path)
                continue
            data = qs.Recording(path).load(rate=100)
            self.assertEqual(data.frame_numbers.tolist(), case["frames"], case["name"])
            self.assertEqual((data.markers.shape, data.samples.shape), ((len(case["frames"]), 0, 3), (0, 0)))
        # Markers declared that the packet does not hold: the library's
        # reader refuses the packet, and so do the arrays.
        path = os.path.join(folder, "markers-past-packet.qsrec")
        with open(path, "wb") as out:
            out.write(damaged_recordings.frames(damaged_recordings.packet(
                damaged_recordings.frame(1), damaged_recordings.obj(6, b"\x05\x00\x00\x00"))))
        with self.assertRaisesRegex(qs.RecordingError, "type 6 that cannot be decoded"):
            qs.Recording(path).load(rate=100)
        self.assertEqual(run(EXPORT, path, "--rate", "100").returncode, 1)

if __name__ == "__main__":
    unittest.main()
