"""The frames of a recording as the library's packet reader assembles them.

Each data packet is walked once (object headers only) to find where its
objects lie; the scene description objects are decoded in Python (they are
rare); the measurement objects are left where they are, as (offset, length)
spans into the file, for numpy to decode a whole column of frames at once.

A packet's containers follow the library's rules: any scene object starts a
new scene holding only that packet's scene objects, any measurement object
a new measurement container; the last MarkerPositions object of a packet
wins, pose groups and device outputs append; a packet summary (type 100004)
carries the listed types over from the previous packet's containers.
"""

import struct
from typing import Dict, List, NamedTuple, Optional, Tuple

from ._errors import RecordingError

# Object type numbers.
STREAM_INFO, SUBJECT_INFO, DEVICE_INFO, DEVICE_OUTPUT_INFO = 1, 2, 3, 4
FRAME_NUMBER, MARKER_POSITIONS, MARKER_RECORDS = 5, 6, 7
SEGMENT_POSES = 9
FORCES, MOMENTS, CENTRES, VOLTAGES = 10, 11, 12, 13
PACKET_SUMMARY = 100004

_STATIC_TYPES = frozenset((1, 2, 3, 4, 14, 19, 20))
_DYNAMIC_TYPES = frozenset((5, 6, 7, 9, 10, 11, 12, 13, 16, 17, 18, 22))
# The types a packet summary may carry over (the others start empty).
_CARRIED = frozenset((1, 2, 3, 4, 14, 19, 20, 5, 6, 7, 9, 16, 17, 18, 22))
# Types of which only the packet's last object counts.
_LAST_WINS = frozenset((1, 5, 6, 7))
# The measurement types whose values become arrays, and their record sizes.
MEASURED = (MARKER_POSITIONS, SEGMENT_POSES, FORCES, MOMENTS, CENTRES, VOLTAGES)
MARKER_BYTES = 112
POSE_BYTES = 104

_I32 = struct.Struct("<i")
_HEAD = struct.Struct("<ii")
_SIZE = struct.Struct("<I")


class Span(NamedTuple):
    """One measurement object: its body's offset in the file, and the
    number of records (markers, poses, samples) its count word declares."""
    offset: int
    count: int


class Subject(NamedTuple):
    id: int
    name: str
    segments: Tuple[Tuple[int, str], ...]
    markers: Tuple[Tuple[int, str], ...]


class Output(NamedTuple):
    device: int
    output: int
    name: str
    components: Tuple[str, ...]


class Scene(NamedTuple):
    subjects: Tuple[Subject, ...]
    devices: Tuple[int, ...]
    outputs: Tuple[Output, ...]


class _Cursor:
    """Reads a scene object's fields the way the library's reader does,
    bounded by the packet's end."""

    def __init__(self, data, position, end):
        self.data, self.position, self.end = data, position, end

    def take(self, size):
        if size > self.end - self.position:
            raise ValueError
        start = self.position
        self.position += size
        return start

    def int32(self):
        return _I32.unpack_from(self.data, self.take(4))[0]

    def count(self, element_bytes):
        value = self.int32()
        if value < 0 or value > (self.end - self.position) // element_bytes:
            raise ValueError
        return value

    def string(self):
        length = self.int32() & 0xFFFFFFFF
        start = self.take(length)
        return bytes(self.data[start:start + length]).decode("utf-8", "replace")


def _subject(cursor):
    subject_id = cursor.int32()
    name = cursor.string()
    segments = []
    for _ in range(cursor.count(36)):
        cursor.take(4)
        segment_id = cursor.int32()
        cursor.take(24)
        segments.append((segment_id, cursor.string()))
    markers = []
    for _ in range(cursor.count(8)):
        marker_id = cursor.int32()
        markers.append((marker_id, cursor.string()))
    cursor.take(8 * cursor.count(8))
    return Subject(subject_id, name, tuple(segments), tuple(markers))


def _output(cursor):
    device, output = cursor.int32(), cursor.int32()
    name = cursor.string()
    components = tuple(cursor.string() for _ in range(cursor.count(4)))
    return Output(device, output, name, components)


class Frame(NamedTuple):
    """A packet that delivered measurements: its record, its frame number
    (None without one), the scene it was read with, where its packet starts
    (`base`, in the file), and its measurement objects as `layout`:
    ((type, ((offset from base, count), ...)), ...) over MEASURED. Frames
    with one layout are decoded together. A carried object's offset from
    base is negative (it lies in an earlier packet)."""
    record: int
    number: Optional[int]
    scene: int
    base: int
    layout: tuple


class _Template:
    """The object headers, counts and frame number of a measurement packet,
    read in one unpack: a later packet of the same size whose fields but
    the frame number are the same has the same layout."""

    def __init__(self, base, fields, layout):
        fields.sort()
        format_, at = ["<"], base
        for position, _ in fields:
            format_.append("%dxi" % (position - at) if position > at else "i")
            at = position + 4
        self.unpack = struct.Struct("".join(format_)).unpack_from
        self.number_at = [i for i, (_, masked) in enumerate(fields) if masked]
        self.layout = layout
        self.expected = None

    def matches(self, data, base):
        values = list(self.unpack(data, base))
        number = values[self.number_at[0]] if self.number_at else None
        for i in self.number_at:
            values[i] = None
        return values == self.expected, number


def _layout(dynamic, base):
    return tuple((kind, tuple((span.offset - base, span.count) for span in dynamic[kind]))
                 for kind in MEASURED if kind in dynamic)


def _spans(base, layout, number):
    dynamic = {kind: [Span(base + offset, count) for offset, count in spans] for kind, spans in layout}
    if number is not None:
        dynamic[FRAME_NUMBER] = [Span(0, number)]
    return dynamic


# Types a template may hold: those whose layout it checks.
_TEMPLATED = frozenset((FRAME_NUMBER, MARKER_RECORDS) + MEASURED)


def walk(data, offsets):
    """The frames of the records at `offsets` in `data` (a buffer of the
    whole file), the handshake (record 0) skipped; returns (frames,
    scenes). Raises RecordingError for an object the library's reader
    would refuse."""
    scenes: List[Scene] = []
    frames: List[Frame] = []
    last_static: Optional[dict] = None
    last_dynamic = None  # a dict of spans, or (base, layout, number) of a templated packet
    templates: Dict[int, _Template] = {}
    for record in range(1, len(offsets)):
        packet = offsets[record] + 12
        size = _SIZE.unpack_from(data, offsets[record] + 8)[0]
        template = templates.get(size)
        if template is not None:
            same, number = template.matches(data, packet)
            if same:
                last_dynamic = (packet, template.layout, number)
                frames.append(Frame(record, number, len(scenes) - 1, packet, template.layout))
                continue
        end = packet + size
        position = packet + 8
        static: Optional[dict] = None
        dynamic: Optional[dict] = None
        carried = None
        fields: Optional[list] = []  # what a template of this packet checks
        while end - position >= 4:
            kind, length = _HEAD.unpack_from(data, position)
            body = position + 8
            cursor = _Cursor(data, body, end)
            if fields is not None:
                fields += [(position, False), (position + 4, False)]
            try:
                if kind in _STATIC_TYPES:
                    static = {} if static is None else static
                    if kind == SUBJECT_INFO:
                        static.setdefault(kind, []).append(_subject(cursor))
                    elif kind == DEVICE_INFO:
                        device = cursor.int32()
                        cursor.take(8)
                        cursor.string()
                        static.setdefault(kind, []).append(device)
                    elif kind == DEVICE_OUTPUT_INFO:
                        static.setdefault(kind, []).append(_output(cursor))
                    else:
                        static.setdefault(kind, [])
                elif kind in _DYNAMIC_TYPES:
                    dynamic = {} if dynamic is None else dynamic
                    counted = body
                    if kind == FRAME_NUMBER:
                        span = Span(body, cursor.int32())
                    elif kind in (MARKER_POSITIONS, MARKER_RECORDS):
                        span = Span(body + 4, cursor.count(MARKER_BYTES if kind == MARKER_POSITIONS else 104))
                    elif kind == SEGMENT_POSES:
                        cursor.take(4)
                        counted = body + 4
                        span = Span(body, cursor.count(POSE_BYTES))
                    elif kind in (FORCES, MOMENTS, CENTRES, VOLTAGES):
                        cursor.take(12)
                        counted = body + 12
                        span = Span(body, cursor.count(4))
                    else:
                        span = Span(body, 0)
                    if fields is not None:
                        if kind in _TEMPLATED:
                            fields.append((counted, kind == FRAME_NUMBER))
                        else:
                            fields = None
                    if kind in _LAST_WINS:
                        dynamic[kind] = [span]
                    else:
                        dynamic.setdefault(kind, []).append(span)
                elif kind == PACKET_SUMMARY:
                    cursor.take(8 * cursor.count(8))
                    carried = {cursor.int32() for _ in range(cursor.count(4))}
            except (ValueError, struct.error):
                raise RecordingError("record %d at byte %d holds an object of type %d that cannot be decoded"
                                     % (record, offsets[record], kind)) from None
            if length < 0 or length > end - body:
                break
            position = body + length
        if carried:
            if isinstance(last_dynamic, tuple):
                last_dynamic = _spans(*last_dynamic)
            for kind in carried & _CARRIED:
                source, target = (last_static, static) if kind in _STATIC_TYPES else (last_dynamic, dynamic)
                if source is not None and target is not None:
                    target[kind] = source.get(kind, [])
        if static is not None:
            last_static = static
            scenes.append(Scene(tuple(static.get(SUBJECT_INFO, ())), tuple(static.get(DEVICE_INFO, ())),
                                tuple(static.get(DEVICE_OUTPUT_INFO, ()))))
        if dynamic is not None:
            last_dynamic = dynamic
            numbers = dynamic.get(FRAME_NUMBER)
            number = numbers[0].count if numbers else None
            layout = _layout(dynamic, packet)
            frames.append(Frame(record, number, len(scenes) - 1, packet, layout))
            if static is None and carried is None and fields is not None:
                template = _Template(packet, fields, layout)
                values = list(template.unpack(data, packet))
                for i in template.number_at:
                    values[i] = None
                template.expected = values
                templates[size] = template
    return frames, scenes
