"""Memory the recording readers hold, per byte of file (run by hand; not a
test). Writes two recordings into a temporary folder:

* 3 million tiny records (a FrameNumber object each, 32 bytes a record):
  the peak of qs.Recording (Python heap, tracemalloc) and the peak resident
  size of qs-sim --replay after its check of the whole file;
* one 64 MiB packet of 8 million empty objects: the peak resident size of
  qs-sim --replay while it serves that packet to qs-record.

    python3 bench/recording_memory.py BUILD_DIR
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "python"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "recordings"))
import qs  # noqa: E402
from damaged_recordings import HANDSHAKE, frame, header, packet  # noqa: E402


def write(path, packets):
    with open(path, "wb") as out:
        out.write(header() + HANDSHAKE)
        for i, data in enumerate(packets):
            out.write(struct.pack("<qI", (i + 1) * 10**6, len(data)) + data)
    return os.path.getsize(path)


def peak_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        return int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1))


def sim(build, path, port, serve):
    process = subprocess.Popen([os.path.join(build, "tools", "qs-sim"), "--replay", path, "--port", str(port),
                                "--speed", "0"], stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()  # "listening": the check is over
    if serve:
        subprocess.run([os.path.join(build, "tools", "qs-record"), "127.0.0.1", "--port", str(port),
                        "--frames", "1", "--quiet", "-o", path + ".again"], timeout=300)
    kib = peak_kib(process.pid)
    process.terminate()
    process.wait(timeout=30)
    return line.strip(), kib


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    folder = tempfile.mkdtemp(prefix="qs-recording-memory-")
    try:
        tiny = os.path.join(folder, "tiny.qsrec")
        size = write(tiny, (packet(frame(i)) for i in range(3000000)))
        started = time.monotonic()
        qs.Recording(tiny)
        seconds = time.monotonic() - started  # without tracemalloc, which slows it
        tracemalloc.start()
        recording = qs.Recording(tiny)
        held, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        print("file: %d records, %.1f MB" % (recording.packet_count, size / 1e6))
        print("qs.Recording: %.1f s, holds %.1f MB (%.2f bytes per file byte), peak %.1f MB"
              % (seconds, held / 1e6, held / size, peak / 1e6))
        del recording
        line, kib = sim(build, tiny, 18411, serve=False)
        print("qs-sim --replay after its check: peak resident %.1f MB (%.2f bytes per file byte)"
              % (kib * 1024 / 1e6, kib * 1024 / size))

        big = os.path.join(folder, "big.qsrec")
        objects = 8 * 1024 * 1024
        size = write(big, [packet(frame(1), b"\x63\x00\x00\x00\x00\x00\x00\x00" * (objects - 2))])
        line, kib = sim(build, big, 18412, serve=True)
        print("qs-sim serving one %.1f MB packet of %d objects: peak resident %.1f MB (%.2f bytes per file byte)"
              % (size / 1e6, objects, kib * 1024 / 1e6, kib * 1024 / size))
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
