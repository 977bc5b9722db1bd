"""Tests of the Python package qs against libQS and qs-sim.

The library keeps one connection per process; every test closes what it
opened, so the tests can run in any order.
"""

import ctypes
import ctypes.util
import math
import os
import subprocess
import sys
import time
import unittest

import qs
from sim_support import Simulator, require_sim

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.normpath(os.path.join(HERE, "..", "..", "python"))


def wait_for_pose(client, subject="Walker", segment="Pelvis", timeout=5.0):
    """Takes frames until the segment has a pose (see wait_for_plate_data
    for why the first frames may have none); returns its translation."""
    deadline = time.monotonic() + timeout
    number = client.wait_for_frame()
    while True:
        pose = client.segment_translation(subject, segment)
        if pose is not None:
            return pose
        if time.monotonic() >= deadline:
            raise AssertionError("no pose of %s/%s within %g s" % (subject, segment, timeout))
        number = client.wait_for_frame(newer_than=number)


def wait_for_plate_data(client, timeout=5.0):
    """Takes frames until every force plate has force data (the data kinds
    enabled after connecting reach the server with a later request, so the
    first frames may lack them); returns the plate ids."""
    deadline = time.monotonic() + timeout
    number = client.wait_for_frame()
    while True:
        plates = client.force_plates()
        try:
            for plate in plates:
                client.force(plate)
            if plates:
                return plates
        except qs.NotFoundError:
            pass
        if time.monotonic() >= deadline:
            raise AssertionError("no force plate data within %g s" % timeout)
        number = client.wait_for_frame(newer_than=number)


class NativeDeclarations(unittest.TestCase):
    """The ctypes layer: the 30 functions with their exact C signatures."""

    def test_thirty_functions_with_exact_types(self):
        lib = qs.load_library()
        self.assertEqual(len(qs.SIGNATURES), 30)
        for name, (result, arguments) in qs.SIGNATURES.items():
            function = getattr(lib, name)
            self.assertIs(function.restype, result, name)
            self.assertEqual(function.argtypes, arguments, name)
        # One-byte booleans, 32-bit integers, doubles, byte strings.
        self.assertIs(lib.Connect.restype, ctypes.c_ubyte)
        self.assertEqual(ctypes.sizeof(lib.Connect.restype), 1)
        self.assertEqual(lib.SetPreFetchMode.argtypes, [ctypes.c_ubyte])
        self.assertEqual(lib.GetAnalogChannelVoltage.argtypes,
                         [ctypes.c_int32, ctypes.c_int32, ctypes.POINTER(ctypes.c_double)])
        self.assertIs(lib.GetMarkerName.restype, ctypes.c_char_p)
        self.assertIsNone(lib.SetZUp.restype)

    def test_unconnected_calls_give_neutral_results(self):
        lib = qs.load_library()
        self.assertEqual(lib.IsConnected(), 0)
        self.assertEqual(lib.Connect(b""), 0)
        self.assertEqual(lib.Connect(None), 0)
        number = ctypes.c_int32(1234)
        self.assertEqual(lib.GetFrameNumber(ctypes.byref(number)), 0)
        self.assertEqual(number.value, 0)
        self.assertEqual(lib.GetSubjectName(1), b"")
        vector = (ctypes.c_double * 3)(1.0, 2.0, 3.0)
        occluded = ctypes.c_int32(7)
        self.assertEqual(lib.GetGlobalSegmentTranslation(b"Walker", b"Pelvis", vector,
                                                         ctypes.byref(occluded)), 0)
        self.assertEqual(tuple(vector), (0.0, 0.0, 0.0))
        self.assertEqual(occluded.value, 0)
        self.assertEqual(lib.Disconnect(), 0)

    def test_library_lookup(self):
        # QS_LIBRARY wins, and a wrong one is reported, not replaced.
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR, QS_LIBRARY="/nonexistent/libQS.so")
        probe = subprocess.run(
            [sys.executable, "-c", "import qs\ntry:\n qs.load_library()\nexcept qs.QSError as e:\n print(e)\n"],
            env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(probe.returncode, 0, probe.stderr)
        self.assertIn("/nonexistent/libQS.so", probe.stdout)
        self.assertIn("QS_LIBRARY", probe.stdout)
        # A file that is not the library is refused.
        env["QS_LIBRARY"] = ctypes.util.find_library("c") or "libc.so.6"
        probe = subprocess.run(
            [sys.executable, "-c", "import qs\ntry:\n qs.load_library()\nexcept qs.QSError as e:\n print(e)\n"],
            env=env, capture_output=True, text=True, timeout=60)
        self.assertIn("does not export Connect", probe.stdout)
        # The environment variable comes first in the candidates.
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR, QS_LIBRARY="/some/where/libQS.so")
        probe = subprocess.run([sys.executable, "-c", "import qs; print(qs.candidate_paths()[0])"],
                               env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(probe.stdout.strip(), "/some/where/libQS.so")


class ConnectionFailures(unittest.TestCase):

    def test_no_server(self):
        client = qs.Client("127.0.0.3")
        with self.assertRaises(qs.ConnectError) as caught:
            client.connect()
        self.assertIn("cannot connect to 127.0.0.3:801", str(caught.exception))
        self.assertFalse(client.is_connected)
        self.assertFalse(client.close())

    def test_empty_host(self):
        with self.assertRaises(qs.ConnectError):
            qs.Client("").connect()

    def test_queries_without_connection(self):
        client = qs.Client("127.0.0.3")
        with self.assertRaises(qs.NotConnectedError):
            client.get_frame()
        with self.assertRaises(qs.NotConnectedError):
            client.subjects()
        with self.assertRaises(qs.NotConnectedError):
            client.force((1))


class WithSimulator(unittest.TestCase):
    """Queries against the demo scene of qs-sim."""

    def setUp(self):
        require_sim(self)

    def test_scene_and_names(self):
        with Simulator("127.0.0.11"), qs.Client("127.0.0.11") as client:
            self.assertTrue(client.is_connected)
            first = client.wait_for_frame()
            second = client.wait_for_frame(newer_than=first)
            self.assertNotEqual(first, second)
            subjects = client.subjects()
            self.assertIn("Walker", subjects)
            segments = client.segments("Walker")
            self.assertIn("Pelvis", segments)
            self.assertEqual(len(segments), len(set(segments)))
            markers = client.markers("Walker")
            self.assertGreater(len(markers), 0)
            # Names the frame does not have.
            with self.assertRaises(qs.NotFoundError):
                client.segments("Nobody")
            with self.assertRaises(qs.NotFoundError):
                client.segment_translation("Walker", "NoSuchSegment")
            with self.assertRaises(qs.NotFoundError):
                client.marker_translation("Walker", "NoSuchMarker")
            # Every listed segment answers with a pose or None.
            for segment in segments:
                pose = client.segment_translation("Walker", segment)
                self.assertTrue(pose is None or len(pose) == 3)
        self.assertFalse(client.is_connected)
        with self.assertRaises(qs.NotConnectedError):
            client.frame_number

    def test_axis_conventions_on_one_frame(self):
        with Simulator("127.0.0.12"), qs.Client("127.0.0.12") as client:
            plate = wait_for_plate_data(client)[0]
            # The same frame read in the four conventions: no get_frame in between.
            readings = {}
            for left in (False, True):
                for y_up in (False, True):
                    client.left_handed = left
                    client.y_up = y_up
                    readings[(left, y_up)] = (
                        client.segment_translation("Walker", "Pelvis"),
                        client.force(plate),
                        client.segment_rotation_quaternion("Walker", "Pelvis"),
                        client.segment_rotation_helical("Walker", "Pelvis"))
            client.left_handed = False
            client.y_up = False
            for index in (0, 1):
                x, y, z = readings[(False, False)][index]
                self.assertEqual(readings[(False, True)][index], (x, z, -y))
                self.assertEqual(readings[(True, False)][index], (-x, y, z))
                self.assertEqual(readings[(True, True)][index], (-x, z, -y))
            # Rotations R become A R A^T: the vector part moves like a
            # translation, and is negated as well where A mirrors.
            for index in (2, 3):
                x, y, z = readings[(False, False)][index][:3]
                rest = readings[(False, False)][index][3:]
                self.assertEqual(readings[(False, True)][index], (x, z, -y) + rest)
                self.assertEqual(readings[(True, False)][index], (x, -y, -z) + rest)
                self.assertEqual(readings[(True, True)][index], (x, -z, y) + rest)
            self.assertNotEqual(readings[(False, False)][0], readings[(True, True)][0])

    def test_settings_given_to_the_constructor(self):
        with Simulator("127.0.0.13"):
            with qs.Client("127.0.0.13") as plain:
                x, y, z = wait_for_pose(plain)
                # Reading the same frame after a switch through the property.
                plain.y_up = True
                self.assertEqual(plain.segment_translation("Walker", "Pelvis"), (x, z, -y))
            with qs.Client("127.0.0.13", left_handed=True, y_up=True) as client:
                wait_for_pose(client)
                self.assertTrue(client.left_handed and client.y_up)
                a = client.segment_translation("Walker", "Pelvis")
                client.left_handed = False
                client.y_up = False
                b = client.segment_translation("Walker", "Pelvis")
                self.assertEqual(a, (-b[0], b[2], -b[1]))

    def test_rotations_agree(self):
        with Simulator("127.0.0.14"), qs.Client("127.0.0.14") as client:
            wait_for_pose(client)
            checked = 0
            for segment in client.segments("Walker"):
                helical = client.segment_rotation_helical("Walker", segment)
                quaternion = client.segment_rotation_quaternion("Walker", segment)
                if helical is None or quaternion is None:
                    continue
                self.assertAlmostEqual(math.sqrt(sum(q * q for q in quaternion)), 1.0, places=6)
                angle = math.sqrt(sum(h * h for h in helical))
                self.assertGreaterEqual(angle, 0.0)
                self.assertLessEqual(angle, 2 * math.pi + 1e-9)
                # The quaternion (x, y, z, w) of the same rotation, up to sign.
                if angle > 1e-9:
                    axis = [h / angle for h in helical]
                    expected = [a * math.sin(angle / 2) for a in axis] + [math.cos(angle / 2)]
                    sign = 1.0 if sum(e * q for e, q in zip(expected, quaternion)) >= 0 else -1.0
                    for e, q in zip(expected, quaternion):
                        self.assertAlmostEqual(sign * e, q, places=6)
                checked += 1
            self.assertGreater(checked, 0)

    def test_force_plates(self):
        with Simulator("127.0.0.15"), qs.Client("127.0.0.15") as client:
            plates = wait_for_plate_data(client)
            self.assertGreaterEqual(len(plates), 1)
            self.assertEqual(len(plates), len(set(plates)))
            for plate in plates:
                for vector in (client.force(plate), client.moment(plate),
                               client.centre_of_pressure(plate)):
                    self.assertEqual(len(vector), 3)
                    self.assertTrue(all(math.isfinite(v) for v in vector))
                channels = client.analog_channel_count(plate)
                voltages = client.voltages(plate)
                self.assertEqual(len(voltages), channels)
                if channels:
                    self.assertEqual(client.voltage(plate, channels), voltages[-1])
                with self.assertRaises(qs.NotFoundError):
                    client.voltage(plate, 0)
                with self.assertRaises(qs.NotFoundError):
                    client.voltage(plate, channels + 1)
            unknown = max(plates) + 1000
            with self.assertRaises(qs.NotFoundError):
                client.force(unknown)

    def test_disabled_kinds_read_as_occluded(self):
        # Only segment poses asked for: markers and plate data never come,
        # so marker positions are None while their names still resolve.
        with Simulator("127.0.0.16"), qs.Client("127.0.0.16", markers=False, forces=False) as client:
            wait_for_pose(client)
            marker = client.markers("Walker")[0]
            self.assertIsNone(client.marker_translation("Walker", marker))
            self.assertIsNotNone(client.segment_translation("Walker", "Pelvis"))
            for plate in client.force_plates():
                with self.assertRaises(qs.NotFoundError):
                    client.force(plate)

    def test_frames_with_prefetch(self):
        with Simulator("127.0.0.17"), qs.Client("127.0.0.17", prefetch=True) as client:
            self.assertTrue(client.prefetch)
            numbers = list(client.frames(count=5))
            self.assertEqual(len(numbers), 5)
            self.assertEqual(numbers, sorted(set(numbers)))
            client.prefetch = False
            more = list(client.frames(count=3))
            self.assertEqual(len(more), 3)
            self.assertGreater(more[0], numbers[-1])
            self.assertEqual(more, sorted(set(more)))

    def test_one_connection_per_process(self):
        with Simulator("127.0.0.18"):
            second = qs.Client("127.0.0.18")
            with qs.Client("127.0.0.18") as first:
                pose = wait_for_pose(first)
                with self.assertRaises(qs.ConnectError) as caught:
                    second.connect()
                self.assertIn("another qs.Client", str(caught.exception))
                # The second Client neither answers from the first one's
                # connection nor changes its settings.
                self.assertFalse(second.is_connected)
                for query in (second.get_frame, second.subjects, lambda: second.force(1)):
                    self.assertRaises(qs.NotConnectedError, query)
                second.y_up = True
                self.assertEqual(first.segment_translation("Walker", "Pelvis"), pose)
                self.assertFalse(second.close())
                self.assertTrue(first.is_connected)
            with second:
                second.wait_for_frame()
                self.assertIn("Walker", second.subjects())

    def test_arguments_beyond_their_c_types_are_refused(self):
        with Simulator("127.0.0.22"):
            with self.assertRaises(ValueError):
                qs.Client("127.0.0.22\0garbage").connect()
            with qs.Client("127.0.0.22") as client:
                plate = wait_for_plate_data(client)[0]
                for device, error in ((plate + 2**32, OverflowError), (-2**31 - 1, OverflowError),
                                      (True, TypeError), (float(plate), TypeError)):
                    self.assertRaises(error, client.force, device)
                self.assertRaises(OverflowError, client.voltage, plate, 2**32 + 1)
                for call in (lambda: client.markers("Walker\0junk"),
                             lambda: client.segment_translation("Walker", "Pelvis\0junk")):
                    self.assertRaises(ValueError, call)

    def test_frame_of_an_earlier_connection_is_not_current(self):
        lib = qs.load_library()
        with Simulator("127.0.0.21"):
            with qs.Client("127.0.0.21") as client:
                old = client.wait_for_frame()
            with qs.Client("127.0.0.21") as client:
                # The library still answers from the old frame...
                number = ctypes.c_int32()
                self.assertEqual(lib.GetFrameNumber(ctypes.byref(number)), 1)
                self.assertEqual(number.value, old)
                # ...which the client does not take for a frame of this connection.
                with self.assertRaises(qs.NoFrameError):
                    client.frame_number
                with self.assertRaises(qs.NoFrameError):
                    client.subjects()
                self.assertNotEqual(client.wait_for_frame(), old)
                self.assertIn("Walker", client.subjects())

    def test_lost_connection(self):
        simulator = Simulator("127.0.0.19", frames=30)
        try:
            client = qs.Client("127.0.0.19").connect()
            client.wait_for_frame()
            with self.assertRaises(qs.NotConnectedError):
                deadline = time.monotonic() + 15
                while time.monotonic() < deadline:
                    client.wait_for_frame(timeout=1.0, newer_than=client.frame_number)
            self.assertFalse(client.is_connected)
            self.assertFalse(client.close())  # lost: nothing was connected
            self.assertEqual(simulator.wait(timeout=10), 0)
        finally:
            simulator.stop()
        # The dead connection is released: a new one can be made.
        with Simulator("127.0.0.19"), qs.Client("127.0.0.19") as client:
            client.wait_for_frame()


class Example(unittest.TestCase):

    def test_example_script(self):
        require_sim(self)
        script = os.path.normpath(os.path.join(HERE, "..", "..", "examples", "python", "stream_poses.py"))
        env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
        with Simulator("127.0.0.20"):
            run = subprocess.run([sys.executable, script, "127.0.0.20", "--frames", "5"],
                                 env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = [line for line in run.stdout.splitlines() if line.startswith("frame ")]
        self.assertEqual(len(lines), 5, run.stdout)
        self.assertIn("Walker", run.stdout)


if __name__ == "__main__":
    unittest.main()
