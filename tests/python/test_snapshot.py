"""Client.snapshot(): the whole frame in one call, equal to what the
per-item queries give for the same frame, in both axis conventions."""

import math
import unittest

import numpy as np

import qs
from sim_support import Simulator, require_sim


def as_row(value, width):
    return [math.nan] * width if value is None else list(value)


class Snapshot(unittest.TestCase):

    def test_snapshot_equals_the_per_item_queries(self):
        require_sim(self)
        with Simulator("127.0.0.61"):
            for axes in ({}, {"left_handed": True, "y_up": True}):
                with qs.Client("127.0.0.61", **axes) as client:
                    client.wait_for_frame(timeout=5)
                    for _ in client.frames(3):
                        shot = client.snapshot()
                        self.assertEqual(shot.frame_number, client.frame_number)
                        self.assertEqual(shot.plates, client.force_plates())
                        self.assertGreater(len(shot.segment_names) * len(shot.marker_names) * len(shot.plates), 0)
                        want = {
                            "translations": [as_row(client.segment_translation(*n), 3) for n in shot.segment_names],
                            "quaternions": [as_row(client.segment_rotation_quaternion(*n), 4)
                                            for n in shot.segment_names],
                            "markers": [as_row(client.marker_translation(*n), 3) for n in shot.marker_names],
                            "forces": [client.force(p) for p in shot.plates],
                            "moments": [client.moment(p) for p in shot.plates],
                            "centres": [client.centre_of_pressure(p) for p in shot.plates],
                        }
                        for field, rows in want.items():
                            got = getattr(shot, field)
                            self.assertTrue(np.array_equal(got, np.array(rows), equal_nan=True),
                                            "%s %s: %s vs %s" % (axes, field, got, rows))
                        self.assertEqual(shot.marker_labels[0], "%s:%s" % shot.marker_names[0])


if __name__ == "__main__":
    unittest.main()
