"""One qs.Client shared by several threads at once, against an unpaced qs-sim."""

import threading
import time
import unittest

import qs
from sim_support import Simulator, require_sim


class SharedClient(unittest.TestCase):

    def test_threads_query_one_client_at_once(self):
        require_sim(self)
        with Simulator("127.0.0.31", rate=0, frames=10**7), qs.Client("127.0.0.31") as client:
            client.wait_for_frame()
            markers, plate = client.markers("Walker"), client.force_plates()[0]
            for _ in range(1000):  # plate data, asked for after connecting, comes a few frames later
                try:
                    client.force(plate)
                    break
                except qs.NotFoundError:
                    client.wait_for_frame(newer_than=client.frame_number)
            failures = []

            def work(index):
                try:
                    for turn in range(1000):
                        client.get_frame()
                        client.segment_rotation_quaternion("Walker", "Pelvis")
                        client.marker_translation("Walker", markers[turn % len(markers)])
                        client.force(plate)
                        read = client.markers("Walker")
                        if read != markers:
                            failures.append("thread %d read %r" % (index, read))
                            return
                except Exception as error:  # reported below, by the main thread
                    failures.append("thread %d: %r" % (index, error))

            threads = [threading.Thread(target=work, args=(i,), daemon=True) for i in range(4)]
            for thread in threads:
                thread.start()
            deadline = time.monotonic() + 120
            for thread in threads:
                thread.join(timeout=max(0.0, deadline - time.monotonic()))
            self.assertFalse(any(thread.is_alive() for thread in threads))
            self.assertEqual(failures, [])


if __name__ == "__main__":
    unittest.main()
