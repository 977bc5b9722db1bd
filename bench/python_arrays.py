"""The Python package's two bulk paths, timed: a 10-minute demo recording
(60,000 frames) loaded into numpy arrays by qs.Recording.load(), and the
demo scene's whole live frame read by Client.snapshot() beside the same
values read with the per-item queries.

    tests/netns-run.sh /usr/bin/python3 bench/python_arrays.py --build build [--recording FILE]

--build names the build folder (for bench/qs_export_bench, which writes the
recording when none is given, and for qs-sim and libQS); the live part
serves qs-sim on port 801 and so runs in a private network namespace
(tests/netns-run.sh). Prints the medians; they are not checked.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))


def load_recording(path, repeats):
    import qs
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        recording = qs.Recording(path)
        indexed = time.perf_counter()
        data = recording.load()
        times.append((indexed - started, time.perf_counter() - indexed))
    print(data)
    print("Recording() %.2f s, load() %.2f s, together %.2f s (median of %d; %.1f MB, %d frames)" % (
        statistics.median(t[0] for t in times), statistics.median(t[1] for t in times),
        statistics.median(sum(t) for t in times), repeats, os.path.getsize(path) / 1e6,
        len(data.frame_numbers)))


def per_item(client, names, plates):
    segments, markers = names
    for subject, segment in segments:
        client.segment_translation(subject, segment)
        client.segment_rotation_quaternion(subject, segment)
    for subject, marker in markers:
        client.marker_translation(subject, marker)
    for device in plates:
        client.force(device)
        client.moment(device)
        client.centre_of_pressure(device)


def live(build, frames):
    os.environ.setdefault("QS_LIBRARY", os.path.join(build, "api", "libQS.so"))
    os.environ.setdefault("QS_SIM", os.path.join(build, "tools", "qs-sim"))
    import qs
    import sim_support
    sim_support.SIM = os.environ["QS_SIM"]
    with sim_support.Simulator("127.0.0.1", frames=10 ** 6):
        with qs.Client("127.0.0.1") as client:
            client.wait_for_frame(timeout=5)
            shot = client.snapshot()
            names = (shot.segment_names, shot.marker_names)
            # Each way reads frames of its own, each twice: just taken (the
            # library indexes a new frame at its first query, so the first
            # read also pays that), then again. Frames are taken by polling
            # without sleeping, as a host keeping up with a fast stream does.
            times = {"snapshot()": ([], []), "per-item queries": ([], [])}
            last = client.frame_number
            for index in range(2 * frames):
                last = client.wait_for_frame(newer_than=last, poll=0)
                name = "per-item queries" if index % 2 else "snapshot()"
                for again in (0, 1):
                    started = time.perf_counter()
                    if index % 2:
                        per_item(client, names, shot.plates)
                    else:
                        client.snapshot()
                    times[name][again].append(time.perf_counter() - started)
    print("live demo frame: %d segments, %d markers, %d plates; medians of %d frames" % (
        len(names[0]), len(names[1]), len(shot.plates), frames))
    for name, (first, again) in times.items():
        print("%-17s first read of a frame %.3f ms, read again %.3f ms" % (
            name, statistics.median(first) * 1e3, statistics.median(again) * 1e3))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--recording", help="a recording to load (default: a 60,000-frame demo one, written)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--frames", type=int, default=500, help="live frames to time")
    parser.add_argument("--no-live", action="store_true", help="time the recording alone")
    parser.add_argument("--no-load", action="store_true", help="time the live frame alone")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    folder = None
    try:
        if options.no_load:
            return live(build, options.frames)
        path = options.recording
        if not path:
            folder = tempfile.mkdtemp(prefix="qs-bench-")
            subprocess.run([os.path.join(build, "bench", "qs_export_bench"), "--keep", folder, "--frames", "60000",
                            "--repeats", "1"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            path = os.path.join(folder, "walk.qsrec")
        load_recording(path, options.repeats)
    finally:
        if folder:
            shutil.rmtree(folder)
    if not options.no_live:
        live(build, options.frames)


if __name__ == "__main__":
    main()
