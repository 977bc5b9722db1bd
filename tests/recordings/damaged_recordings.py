"""Writes the recordings, whole and damaged, that every recording reader is
run on: qs.Recording (tests/python/test_recording.py) and the C++ reader of
qs-export and qs-sim --replay (tests/tools/damaged_recordings_test.cpp).
What each reader must make of each file is in damaged_recordings.json.

    python3 damaged_recordings.py FOLDER    # writes FOLDER/<case>.qsrec
"""

import json
import os
import struct
import sys

FRAME_NUMBER = 5
OBJECT_TYPE_LIST = 100001
TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "damaged_recordings.json")


def obj(kind, payload, length=None):
    return struct.pack("<ii", kind, len(payload) if length is None else length) + payload


def frame(number, length=None, extra=b""):
    return obj(FRAME_NUMBER, struct.pack("<i", number) + extra, length)


def packet(*objects, magic=0x1A2B3C4D):
    payload = b"".join(objects)
    return struct.pack("<iI", magic, len(payload)) + payload


def record(receive_ns, data, length=None):
    return struct.pack("<qI", receive_ns, len(data) if length is None else length) + data


def header(version=1):
    body = struct.pack("<qiI", 1700000000 * 10**9, 801, 9) + b"127.0.0.1" + struct.pack("<ii", 1, FRAME_NUMBER)
    return b"QSREC\r\n\x1a" + struct.pack("<II", version, len(body)) + body


HANDSHAKE = record(0, packet(obj(OBJECT_TYPE_LIST, struct.pack("<ii", 1, FRAME_NUMBER))))


def frames(*packets):
    """A recording: the header, the handshake, then one record per packet,
    10 ms apart."""
    return header() + HANDSHAKE + b"".join(record((i + 1) * 10**7, p) for i, p in enumerate(packets))


WHOLE = frames(packet(frame(1)), packet(frame(2)), packet(frame(3)))


def cases():
    """Every case of damaged_recordings.json, by name: its bytes."""
    return {
        "whole": WHOLE,
        "wrong-magic": b"QSRAW" + WHOLE[5:],
        "unknown-version": header(9) + WHOLE[len(header()):],
        "cut-in-header": WHOLE[:len(header()) - 3],
        "cut-in-last-packet": WHOLE[:-2],
        "cut-in-last-record-head": WHOLE + record(4 * 10**7, packet(frame(4)))[:5],
        "last-record-declares-5-bytes": WHOLE + record(4 * 10**7, b"\x4d\x3c\x2b\x1a\x00", 5),
        "last-record-declares-huge-packet": WHOLE + record(4 * 10**7, b"", 0x7FFFFFF0),
        "receive-time-goes-back": frames(packet(frame(1)), packet(frame(2))) + record(1, packet(frame(3))),
        "wrong-packet-magic": frames(packet(frame(1)), packet(frame(2), magic=0x1A2B3C4E)),
        "frame-number-negative-length": frames(packet(frame(1)), packet(frame(3, length=-1), frame(9))),
        "frame-number-past-payload": frames(packet(frame(1)), packet(frame(4), frame(9, length=100))),
        "frame-number-too-short": frames(packet(frame(1)), packet(obj(FRAME_NUMBER, b"\x02\x00"))),
        "bytes-left-over": frames(packet(frame(1)), packet(frame(2), b"\x00\x00\x00")),
        "last-frame-number-counts": frames(packet(frame(1)), packet(frame(7), frame(9)), packet(frame(10))),
        "frame-number-with-more-bytes": frames(packet(frame(1)), packet(frame(2, extra=b"\xff" * 4))),
    }


def write_all(folder):
    """Writes every case into `folder`; returns the table of expectations."""
    with open(TABLE) as table:
        expected = json.load(table)
    built = cases()
    if sorted(built) != sorted(case["name"] for case in expected):
        raise SystemExit("damaged_recordings.py and damaged_recordings.json name different cases")
    os.makedirs(folder, exist_ok=True)
    for name, data in built.items():
        with open(os.path.join(folder, name + ".qsrec"), "wb") as out:
            out.write(data)
    return expected


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: damaged_recordings.py FOLDER")
    write_all(sys.argv[1])
