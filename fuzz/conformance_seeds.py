#!/usr/bin/env python3
"""Writes fuzz seed inputs taken from the conformance packets file.

usage: conformance_seeds.py <packets.json> <directory>

Creates <directory>/packet_reader, <directory>/decoders and
<directory>/video_conversion. The input layouts are those of fuzz/harness.h:
a packet reader input is a flag byte and the byte stream, a decoder input is
a selector byte and one object payload, a video input is width, height, a
format selector and the data.
"""
import json
import os
import struct
import sys

# Selector order of the decoder harness (QSFuzz::SelectorTypes).
SELECTOR_TYPES = [1, 2, 3, 4, 14, 19, 20, 5, 6, 7, 9, 10, 16, 17, 18, 22, 100004, 100001]
SHARED_FORCE_DECODER = {11: 11, 12: 11, 13: 11}
VIDEO_FORMAT_SELECTORS = {2: 0x00, 3: 0x01, 5: 0x02, 7: 0x83, 0: 0x84}


def selector_for(object_type):
    if object_type in SELECTOR_TYPES:
        return SELECTOR_TYPES.index(object_type)
    return SHARED_FORCE_DECODER.get(object_type)


def objects_of(packet):
    """(type, payload) of every object whose declared bytes lie in the packet."""
    if len(packet) < 8:
        return []
    payload_length = struct.unpack_from("<i", packet, 4)[0]
    payload = packet[8:8 + max(payload_length, 0)]
    found = []
    position = 0
    while position + 8 <= len(payload):
        object_type, length = struct.unpack_from("<ii", payload, position)
        position += 8
        if length < 0:
            break
        found.append((object_type, payload[position:position + length]))
        position += length
    return found


def write(directory, name, data):
    with open(os.path.join(directory, name), "wb") as out:
        out.write(data)


def main():
    if len(sys.argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    with open(sys.argv[1], encoding="utf-8") as source:
        cases = json.load(source)
    root = sys.argv[2]
    dirs = {name: os.path.join(root, name) for name in ("packet_reader", "decoders", "video_conversion")}
    for directory in dirs.values():
        os.makedirs(directory, exist_ok=True)

    handshake = None
    for case in cases["handshake_cases"]:
        data = bytes.fromhex(case["hex"])
        if case["accepted"] and handshake is None:
            handshake = data
        write(dirs["packet_reader"], "conf_handshake_" + case["name"], b"\x00" + data)

    count = 0
    for case in cases["packet_cases"]:
        packets = [bytes.fromhex(p["hex"]) for p in case["packets"]]
        stream = b"".join(packets)
        # Flag 2: the harness puts a valid handshake first; flag 3 also
        # converts video. Flag 0 with the file's own first handshake.
        write(dirs["packet_reader"], "conf_" + case["name"], b"\x02" + stream)
        write(dirs["packet_reader"], "conf_convert_" + case["name"], b"\x03" + stream)
        if handshake is not None:
            write(dirs["packet_reader"], "conf_own_handshake_" + case["name"], b"\x00" + handshake + stream)
        for packet in packets:
            for object_type, payload in objects_of(packet):
                selector = selector_for(object_type)
                if selector is None:
                    continue
                write(dirs["decoders"], "conf_%s_%d_%d" % (case["name"], object_type, count),
                      bytes([selector]) + payload)
                count += 1
                if object_type == 22 and len(payload) >= 24:
                    width, height, video_format = struct.unpack_from("<HHi", payload, 12)
                    frame_selector = VIDEO_FORMAT_SELECTORS.get(video_format, 0x01)
                    write(dirs["video_conversion"], "conf_%s_video_%d" % (case["name"], count),
                          struct.pack("<HHB", width, height, frame_selector) + payload[24:])
    return 0


if __name__ == "__main__":
    sys.exit(main())
