"""Tests of the qs-stream viewer as a program: command line, exit status,
messages, CSV output, reconnection, against qs-sim."""

import csv
import os
import re
import subprocess
import tempfile
import time
import unittest

from sim_support import STREAM, Program, Simulator, require_sim, wait_until


def drop_packets_to(test_case, address):
    """Drops every packet sent to ``address`` until the test ends; skips the
    test where no packet filter can be used in a private network namespace."""
    namespace = os.readlink("/proc/self/ns/net")
    try:
        if namespace == os.readlink("/proc/1/ns/net"):
            raise unittest.SkipTest("not inside a private network namespace")
    except PermissionError:
        pass  # another user's namespace: this one is private
    table = "inet qs_stream_test"
    script = ("add table %s\nadd chain %s out { type filter hook output priority 0; }\n"
              "add rule %s out ip daddr %s drop\n" % (table, table, table, address))
    try:
        made = subprocess.run(["nft", "-f", "-"], input=script, capture_output=True, text=True)
    except FileNotFoundError:
        raise unittest.SkipTest("no packet filter here (nftables is not installed)")
    if made.returncode != 0:
        raise unittest.SkipTest("no packet filter here: " + made.stderr.strip())
    test_case.addCleanup(subprocess.run, ["nft", "delete", "table"] + table.split(), capture_output=True)


def run_stream(*args, timeout=60):
    return subprocess.run([STREAM] + list(args), capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


class QsStream(unittest.TestCase):

    def setUp(self):
        if not STREAM or not os.access(STREAM, os.X_OK):
            raise unittest.SkipTest("QS_STREAM does not name the qs-stream program")

    def test_command_line(self):
        run = run_stream("--help")
        self.assertEqual(run.returncode, 0)
        self.assertIn("Usage: qs-stream", run.stdout)
        for bad in (["--frames"], ["--frames", "x"], ["--duration", "-1"], ["--nonsense"],
                    ["host1", "host2"], ["--csv"]):
            run = run_stream(*bad)
            self.assertEqual(run.returncode, 2, bad)
            self.assertIn("qs-stream:", run.stderr)

    def test_cannot_connect(self):
        run = run_stream("127.0.0.3", "--frames", "1")
        self.assertEqual(run.returncode, 1)
        self.assertIn("cannot connect to 127.0.0.3:801", run.stderr)
        # With --reconnect it keeps trying until the duration ends, then says so.
        start = time.monotonic()
        run = run_stream("--host", "127.0.0.3", "--reconnect", "--duration", "1.2")
        self.assertEqual(run.returncode, 1)
        self.assertGreaterEqual(time.monotonic() - start, 1.0)
        self.assertIn("cannot connect to 127.0.0.3:801", run.stderr)

    def test_black_holed_server(self):
        # Every packet to 127.0.0.36 dropped, as for a machine switched off:
        # each attempt gives up within the library's connect bound, so the
        # viewer goes on showing its attempts and ends on time.
        drop_packets_to(self, "127.0.0.36")
        start = time.monotonic()
        run = run_stream("127.0.0.36", "--reconnect", "--duration", "6", "--every", "0.5")
        took = time.monotonic() - start
        self.assertEqual(run.returncode, 1)
        self.assertLess(took, 6 + 5 + 3)
        self.assertIn("cannot connect to 127.0.0.36:801", run.stderr)
        self.assertIn("waiting for 127.0.0.36:801: 2 attempts failed in", run.stdout)

    def test_frames_and_csv(self):
        require_sim(self)
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "frames.csv")
            with Simulator("127.0.0.31"):
                run = run_stream("127.0.0.31", "--frames", "40", "--csv", path, "--every", "0.1",
                                 "--subject", "Walker", "--segment", "Pelvis")
            self.assertEqual(run.returncode, 0, run.stderr)
            self.assertIn("connected to 127.0.0.31:801", run.stdout)
            self.assertIn("40 frames received", run.stdout)
            # Not a terminal: plain lines, no cursor movement.
            self.assertNotIn("\033[", run.stdout)
            self.assertIn("subjects 2: Walker", run.stdout)
            with open(path, newline="") as table:
                rows = list(csv.reader(table))
        header, rows = rows[0], rows[1:]
        self.assertEqual(header[:5], ["frame", "time", "Walker/Pelvis x", "Walker/Pelvis y",
                                      "Walker/Pelvis z"])
        self.assertEqual((len(header) - 5) % 3, 0)
        self.assertGreaterEqual(len(header), 8)
        self.assertEqual(len(rows), 40)
        frames = [int(row[0]) for row in rows]
        self.assertEqual(frames, sorted(set(frames)))
        times = [float(row[1]) for row in rows]
        self.assertEqual(times, sorted(times))
        for row in rows:
            self.assertEqual(len(row), len(header))
        # The later frames carry the segment's position and the plate forces.
        last = rows[-1]
        self.assertTrue(all(cell != "" for cell in last), last)

    def test_axis_options_change_the_output(self):
        require_sim(self)
        with tempfile.TemporaryDirectory() as folder:
            tables = {}
            for name, options in (("z", []), ("y", ["--y-up", "--left-handed"])):
                path = os.path.join(folder, name + ".csv")
                with Simulator("127.0.0.32") as simulator:
                    run = run_stream("127.0.0.32", "--frames", "60", "--csv", path, *options)
                    self.assertEqual(run.returncode, 0, run.stderr + simulator.output())
                with open(path, newline="") as table:
                    tables[name] = {row[0]: row for row in list(csv.reader(table))[1:]}
            # A frame's scene depends on its number only, and each simulator
            # counts from its start, so the two runs share most frame numbers.
            # The first frames of a run may come before the viewer's Enable
            # calls took effect and carry no segments (empty cells); how many
            # depends on timing, so only frames with positions in both runs
            # are compared.
            common = [frame for frame in tables["z"]
                      if frame in tables["y"] and tables["z"][frame][2] and tables["y"][frame][2]]
            self.assertGreaterEqual(len(common), 10)
            for frame in common:
                x, y, z = (float(v) for v in tables["z"][frame][2:5])
                self.assertEqual([float(v) for v in tables["y"][frame][2:5]], [-x, z, -y])

    def test_connection_lost(self):
        require_sim(self)
        with Simulator("127.0.0.33", frames=50) as simulator:
            run = run_stream("127.0.0.33", "--duration", "20")
            self.assertEqual(simulator.wait(timeout=10), 0)
        self.assertEqual(run.returncode, 1)
        self.assertIn("connection lost", run.stderr)

    def test_reconnect(self):
        require_sim(self)
        with Program([STREAM, "127.0.0.34", "--reconnect", "--duration", "6"]) as viewer:
            # The viewer starts before the server: it has failed to connect.
            wait_until(lambda: "waiting for 127.0.0.34:801" in viewer.out(), 10, "failed attempt")
            with Simulator("127.0.0.34", frames=60) as simulator:
                self.assertEqual(simulator.wait(timeout=10), 0)
            with Simulator("127.0.0.34", frames=3000):
                viewer.wait(timeout=30)
            out, err = viewer.out(), viewer.err()
        self.assertEqual(viewer.returncode, 0, err)
        # The first simulator may still accept one more connection while it
        # shuts down, so there are at least two.
        self.assertGreaterEqual(out.count("connected to 127.0.0.34:801"), 2, out)
        self.assertIn("connection lost (127.0.0.34:801); reconnecting", out)
        # Frames came on the last connection, from the second simulator.
        after = out[out.rindex("connected to 127.0.0.34:801"):]
        self.assertIn("frame ", after, out)
        self.assertNotIn("connection lost", after, out)

    def test_interrupt_ends_normally(self):
        require_sim(self)
        with Simulator("127.0.0.35"):
            with Program([STREAM, "127.0.0.35", "--prefetch", "--markers"]) as viewer:
                wait_until(lambda: re.search(r"^frame \d+", viewer.out(), re.M), 10, "frame shown")
                viewer.send_signal(2)
                viewer.wait(timeout=20)
                out, err = viewer.out(), viewer.err()
        self.assertEqual(viewer.returncode, 0, err)
        self.assertIn("frames received", out)
        # Only markers enabled: the segment has no pose in any frame.
        self.assertIn("Walker/Pelvis: occluded", out)


if __name__ == "__main__":
    unittest.main()
