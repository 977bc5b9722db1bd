#!/usr/bin/env python3
"""Prints, for a number of frames, one segment's position and each force
plate's vertical force, read from a capture server through libQS.

    python3 stream_poses.py [HOST] [--frames N] [--subject NAME] [--segment NAME] [--y-up]

Start the simulator first (qs-sim), and make the qs package importable
(installed, or PYTHONPATH pointing at the source tree's python/ folder, with
QS_LIBRARY naming libQS.so when it is not installed).
"""

import argparse
import sys

import qs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("host", nargs="?", default="127.0.0.1")
    parser.add_argument("--frames", type=int, default=10)
    parser.add_argument("--subject", default=None, help="default: the first subject")
    parser.add_argument("--segment", default=None, help="default: the subject's first segment")
    parser.add_argument("--y-up", action="store_true")
    args = parser.parse_args()

    try:
        with qs.Client(args.host, y_up=args.y_up) as client:
            client.wait_for_frame()
            subject = args.subject or client.subjects()[0]
            segment = args.segment or client.segments(subject)[0]
            print("subjects:", ", ".join(client.subjects()))
            up = 1 if args.y_up else 2
            for number in client.frames(count=args.frames):
                position = client.segment_translation(subject, segment)
                where = "occluded" if position is None else "%.1f %.1f %.1f" % position
                forces = []
                for plate in client.force_plates():
                    try:
                        forces.append("plate %d: %.1f N" % (plate, client.force(plate)[up]))
                    except qs.NotFoundError:
                        forces.append("plate %d: -" % plate)
                print("frame %d  %s/%s %s  %s" % (number, subject, segment, where, "  ".join(forces)))
    except qs.QSError as error:
        print("stream_poses: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
