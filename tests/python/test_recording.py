"""qs-record, qs-sim --replay, qs-export and qs.Recording together: a
recording of qs-sim replayed to hosts of the library, and damaged
recordings thrown at every reader."""

import csv
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import qs
from sim_support import EXPORT, RECORD, SIM, STREAM, Simulator

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "recordings"))
import damaged_recordings  # noqa: E402

FRAMES = 40


def run(*command, timeout=60):
    return subprocess.run(list(command), capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def as_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


class RecordingTools(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for program in (SIM, RECORD, EXPORT):
            if not program or not os.access(program, os.X_OK):
                raise unittest.SkipTest("QS_SIM, QS_RECORD and QS_EXPORT must name the programs")
        cls.folder = tempfile.mkdtemp(prefix="qs-recording-")
        cls.path = os.path.join(cls.folder, "walk.qsrec")
        with Simulator("127.0.0.41"):
            cls.recorded = run(RECORD, "127.0.0.41", "--frames", str(FRAMES), "--quiet", "-o", cls.path)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_a_replay_gives_hosts_what_the_recording_holds(self):
        self.assertEqual(self.recorded.returncode, 0, self.recorded.stderr)
        self.assertIn("qs-record: %d frames" % FRAMES, self.recorded.stdout)
        recording = qs.Recording(self.path)
        self.assertEqual((recording.host, recording.port, recording.kinds),
                         ("127.0.0.41", 801, ("segments", "markers", "forces")))
        self.assertEqual(recording.frame_count, FRAMES)
        numbers = recording.frame_numbers
        self.assertEqual(recording.missing_frames, numbers[-1] - numbers[0] + 1 - FRAMES)

        exported = run(EXPORT, self.path)
        self.assertEqual(exported.returncode, 0, exported.stderr)
        meta, header, *rows = list(csv.reader(exported.stdout.splitlines()))
        self.assertTrue(meta[0].startswith("# qs-export; rate "), meta)
        rate = float(meta[0].split()[3])
        self.assertEqual(header[:3], ["frame", "time [s]", "capture_time [s]"])
        self.assertEqual([int(row[0]) for row in rows], numbers)
        self.assertEqual([float(row[1]) for row in rows], recording.receive_times)
        self.assertEqual([float(row[2]) for row in rows], [(n - numbers[0]) / rate for n in numbers])
        by_frame = {int(row[0]): row for row in rows}
        pelvis, force = header.index("Walker/Pelvis/tx [mm]"), header.index("Plate1/Fx [N]")

        # Looped at four times the pace: frame numbers keep rising through
        # the second pass, and every frame holds the pose and force of the
        # recorded frame it replays.
        first, span = numbers[0], numbers[-1] - numbers[0] + 1
        seen = []
        with Simulator("127.0.0.42", replay=self.path, extra=["--loop", "--speed", "4"]):
            with qs.Client("127.0.0.42") as client:
                number = client.wait_for_frame(timeout=5)
                while number < first + span + FRAMES // 2:
                    pose = client.segment_translation("Walker", "Pelvis")
                    try:
                        plate = client.force(client.force_plates()[0])
                    except (qs.NotFoundError, IndexError):
                        plate = None  # the first frames, before the forces were asked for
                    seen.append((number, pose, plate))
                    number = client.wait_for_frame(newer_than=number, timeout=5)
        self.assertEqual([s[0] for s in seen], sorted(set(s[0] for s in seen)))
        compared = 0
        for number, pose, plate in seen:
            row = by_frame[first + (number - first) % span]
            if pose is not None:
                self.assertEqual(pose, tuple(float(cell) for cell in row[pelvis:pelvis + 3]), number)
            if plate is not None:
                self.assertEqual(tuple(map(as_float32, plate)),
                                 tuple(as_float32(float(cell)) for cell in row[force:force + 3]), number)
                compared += 1
        self.assertGreater(compared, len(seen) // 2)

        # qs-stream works against the replay unchanged.
        if STREAM:
            with Simulator("127.0.0.43", replay=self.path):
                viewed = run(STREAM, "127.0.0.43", "--frames", "10")
            self.assertEqual(viewed.returncode, 0, viewed.stderr)
            self.assertIn("10 frames received", viewed.stdout)

    def test_damaged_recordings_are_refused_by_every_reader(self):
        with open(self.path, "rb") as stream:
            good = stream.read()
        records = 16 + struct.unpack_from("<I", good, 12)[0]

        def patched(offset, data):
            return good[:offset] + data + good[offset + len(data):]

        damaged = {
            "wrong magic": (patched(0, b"QSRAW"), "not a QS recording"),
            "unknown version": (patched(8, struct.pack("<I", 9)), "version 9 is not supported"),
            "huge record length": (patched(records + 8, struct.pack("<I", 0x7FFFFFF0)), "outside the bounds"),
            "cut header": (good[:records - 3], "the file ends inside its header"),
        }
        for name, (data, message) in damaged.items():
            with self.subTest(name):
                path = os.path.join(self.folder, name.replace(" ", "_") + ".qsrec")
                with open(path, "wb") as stream:
                    stream.write(data)
                with self.assertRaisesRegex(qs.RecordingError, message):
                    qs.Recording(path)
                exported = run(EXPORT, path, "-o", path + ".csv")
                self.assertEqual(exported.returncode, 1)
                self.assertIn(message, exported.stderr)
                self.assertFalse(os.path.exists(path + ".csv"))
                replayed = run(SIM, "--replay", path, "--address", "127.0.0.44", "--port", "0")
                self.assertEqual(replayed.returncode, 1)
                self.assertIn(message, replayed.stderr)

        # Cut inside the last record: every whole record before it is read.
        path = os.path.join(self.folder, "cut.qsrec")
        with open(path, "wb") as stream:
            stream.write(good[:-100])
        recording = qs.Recording(path)
        self.assertTrue(recording.truncated)
        self.assertIn("cut short inside record %d" % FRAMES, recording.warning)
        self.assertEqual(recording.frame_count, FRAMES - 1)
        exported = run(EXPORT, path)
        self.assertEqual(exported.returncode, 0, exported.stderr)
        self.assertIn("cut short", exported.stderr)
        # The metadata line, the column names, the frames before the cut.
        self.assertEqual(len(exported.stdout.splitlines()), FRAMES + 1)

    def test_inputs_that_cannot_be_read_again_end_with_a_reason(self):
        # A pipe is refused before anything is written, never waited on.
        fifo = os.path.join(self.folder, "walk.fifo")
        os.mkfifo(fifo)
        exported = run(EXPORT, fifo, "-o", fifo + ".csv", timeout=20)
        self.assertEqual((exported.returncode, os.path.exists(fifo + ".csv")), (1, False))
        self.assertIn("not a regular file (a pipe)", exported.stderr)
        with open(self.path, "rb") as stream:
            piped = subprocess.run([EXPORT, "/dev/stdin"], input=stream.read(), capture_output=True, timeout=20)
        self.assertEqual((piped.returncode, piped.stdout), (1, b""))
        self.assertIn(b"not a regular file", piped.stderr)
        # A speed whose pace cannot be kept is refused.
        self.assertEqual(run(SIM, "--replay", self.path, "--speed", "1e-300", "--port", "0", timeout=20).returncode, 2)

        # A recording cut after the replay started ends the replay with the
        # reason, having sent nothing it could not read.
        copy = os.path.join(self.folder, "replayed.qsrec")
        shutil.copy(self.path, copy)
        simulator = Simulator("127.0.0.45", replay=copy)
        try:
            with open(copy, "rb") as stream:
                os.truncate(copy, 16 + struct.unpack_from("<I", stream.read(16), 12)[0] + 200)
            run(RECORD, "127.0.0.45", "--quiet", "-o", copy + ".again")
            self.assertEqual(simulator.wait(timeout=20), 1)
            self.assertIn("can no longer be read as it was checked", simulator.output())
            self.assertIn("stopped after 0 frames", simulator.output())
        finally:
            simulator.stop()
        # A recording replaced after it was read: its packets are not made up.
        recording = qs.Recording(copy)
        shutil.copy(self.path, copy + ".new")
        os.replace(copy + ".new", copy)
        with self.assertRaisesRegex(qs.RecordingError, "replaced"):
            list(recording.packets())


class DamagedRecordings(unittest.TestCase):
    """The shared set of tests/recordings: qs.Recording, and qs-export
    (where it is built), read every file as the table says."""

    def test_every_reader_reads_every_case_as_the_table_says(self):
        folder = tempfile.mkdtemp(prefix="qs-damaged-")
        self.addCleanup(shutil.rmtree, folder)
        for case in damaged_recordings.write_all(folder):
            with self.subTest(case["name"]):
                path = os.path.join(folder, case["name"] + ".qsrec")
                try:
                    recording = qs.Recording(path)
                    outcome = "cut" if recording.truncated else "read"
                    seen = (recording.packet_count, recording.frame_numbers, recording.warning)
                except qs.RecordingError as error:
                    outcome, seen = "refused", (None, None, str(error))
                self.assertEqual(outcome, case["outcome"])
                self.assertIn(case["message"], seen[2])
                if outcome != "refused":
                    self.assertEqual(seen[:2], (case["records"], case["frames"]))
                if not EXPORT:
                    continue
                exported = run(EXPORT, path)
                self.assertEqual(exported.returncode, 1 if outcome == "refused" else 0, exported.stderr)
                self.assertIn(case["message"], exported.stderr)
                if outcome != "refused":
                    self.assertEqual([int(row.split(",")[0]) for row in exported.stdout.splitlines()[2:]],
                                     case["frames"])


if __name__ == "__main__":
    unittest.main()
