"""The whole current frame in one call: every segment pose, marker position
and force plate vector the exported functions answer for, as numpy arrays.

The names are read once per scene and kept as the byte strings the C
functions take, with one ctypes pointer per value into one preallocated
buffer, so that a snapshot is one loop of bare foreign calls and one copy.
A scene is taken to be the same while the subject, segment, marker and
plate counts are; a name that stops answering has the names read again.
"""

import ctypes
from typing import List, NamedTuple, Optional, Tuple

_double = ctypes.c_double
_i32 = ctypes.c_int32


class Snapshot(NamedTuple):
    """One frame, as numpy arrays in the client's axes.

    frame_number: the frame's number.
    segment_names, marker_names: (subject, item) of every row.
    translations (segments, 3), quaternions (segments, 4) as (x, y, z, w),
        markers (markers, 3): NaN where occluded or not in the frame.
    plates: the force plates' device ids; forces, moments, centres
        (plates, 3): each plate's first sample, NaN where the frame has none.
    """
    frame_number: int
    segment_names: List[Tuple[str, str]]
    translations: object
    quaternions: object
    marker_names: List[Tuple[str, str]]
    markers: object
    plates: List[int]
    forces: object
    moments: object
    centres: object

    @property
    def segment_labels(self):
        return ["%s:%s" % pair for pair in self.segment_names]

    @property
    def marker_labels(self):
        return ["%s:%s" % pair for pair in self.marker_names]


def _decode(raw):
    return (raw or b"").decode("utf-8", "surrogateescape")


def _bare(library):
    """The library's value functions without argument conversion (the plan
    passes only bytes and pointers of the right types), for the fewest
    steps per call."""
    bare = ctypes.CDLL(library._name)
    for name in ("GetGlobalSegmentTranslation", "GetGlobalSegmentRotationQuaternion", "GetGlobalMarkerTranslation",
                 "GetForceVector", "GetMomentVector", "GetCentreOfPressure", "GetFrameNumber", "GetSubjectCount",
                 "GetSegmentCount", "GetMarkerCount", "GetForcePlateCount"):
        getattr(bare, name).restype = ctypes.c_ubyte
    bare.GetSubjectName.restype = ctypes.c_char_p
    bare.GetSubjectName.argtypes = [_i32]
    return bare


class _Plan:
    """The calls of one scene, in row order (segment translations, segment
    rotations, markers, plate vectors), each writing one row of four
    doubles of one buffer, and one occluded flag where it has one."""

    def __init__(self, lib, bare, np):
        count = _i32()
        self.shape = _shape(bare)
        subjects = [lib.GetSubjectName(i) or b"" for i in range(1, self.shape[0] + 1)]
        self.segments, self.markers = [], []
        for subject in subjects:
            for target, counter, namer in ((self.segments, lib.GetSegmentCount, lib.GetSegmentName),
                                           (self.markers, lib.GetMarkerCount, lib.GetMarkerName)):
                if counter(subject, ctypes.byref(count)):
                    target.extend((subject, namer(subject, i) or b"") for i in range(1, count.value + 1))
        self.plates = []
        if lib.GetForcePlateCount(ctypes.byref(count)):
            device = _i32()
            for index in range(1, count.value + 1):
                if lib.GetForcePlateID(index, ctypes.byref(device)):
                    self.plates.append(device.value)
        segments, markers, plates = len(self.segments), len(self.markers), len(self.plates)
        self.rows = 2 * segments + markers + 3 * plates
        flagged = 2 * segments + markers
        self.values = (_double * (4 * self.rows))()
        self.view = np.frombuffer(self.values, dtype=np.float64).reshape(self.rows, 4)
        # One flag per flagged row, then one that stays 0 for the plate rows.
        self.occluded = (_i32 * (flagged + 1))()
        row_bytes, flag_bytes = 4 * ctypes.sizeof(_double), ctypes.sizeof(_i32)
        values_at, flags_at = ctypes.addressof(self.values), ctypes.addressof(self.occluded)

        def row(r):
            return ctypes.cast(values_at + r * row_bytes, ctypes.POINTER(_double))

        def flag(r):
            return ctypes.cast(flags_at + r * flag_bytes, ctypes.POINTER(_i32))

        self.calls = []
        for s, (subject, segment) in enumerate(self.segments):
            self.calls.append((bare.GetGlobalSegmentTranslation, subject, segment, row(s), flag(s)))
        for s, (subject, segment) in enumerate(self.segments):
            r = segments + s
            self.calls.append((bare.GetGlobalSegmentRotationQuaternion, subject, segment, row(r), flag(r)))
        for m, (subject, marker) in enumerate(self.markers):
            r = 2 * segments + m
            self.calls.append((bare.GetGlobalMarkerTranslation, subject, marker, row(r), flag(r)))
        self.plate_calls = []
        for p, device in enumerate(self.plates):
            for k, function in enumerate((bare.GetForceVector, bare.GetMomentVector, bare.GetCentreOfPressure)):
                self.plate_calls.append((function, ctypes.c_int32(device), row(flagged + 3 * p + k)))
        self.flag_of_row = [min(r, flagged) for r in range(self.rows)]
        self._nan = [float("nan")] * 4
        self.segment_names = [(_decode(a), _decode(b)) for a, b in self.segments]
        self.marker_names = [(_decode(a), _decode(b)) for a, b in self.markers]

    def read(self):
        """Makes every call: whether each answered (bytes, one per row),
        and whether every named call did (else the scene may have
        changed)."""
        named = bytes([function(a, b, c, d) for function, a, b, c, d in self.calls])
        plates = bytes([function(a, b) for function, a, b in self.plate_calls])
        return named + plates, named.count(0) == 0

    def arrays(self, answered, left_handed, y_up):
        segments, markers = len(self.segments), len(self.markers)
        # Rows without a value are few (occluded markers): they are marked
        # in the buffer itself, and numpy makes one copy of it.
        flags = self.occluded
        nan = self._nan
        for r in [r for r, answer in enumerate(answered) if not answer or flags[self.flag_of_row[r]]]:
            self.values[4 * r:4 * r + 4] = nan
        values = self.view.copy()
        quaternions = values[segments:2 * segments]
        # The library leaves rotations in the server's axes: the vector part
        # is turned as translations are, and negated where the axes mirror.
        if y_up:
            quaternions[:, 1], quaternions[:, 2] = quaternions[:, 2].copy(), -quaternions[:, 1]
        if left_handed:
            quaternions[:, 1:3] *= -1.0
        plates = 2 * segments + markers
        return (values[:segments, :3], quaternions, values[2 * segments:plates, :3],
                values[plates::3, :3], values[plates + 1::3, :3], values[plates + 2::3, :3])


def _shape(bare, count=_i32(), at=None):
    """The counts a scene is recognised by (through the bare functions)."""
    at = ctypes.byref(count)
    shape = [bare.GetSubjectCount(at) and count.value]
    for i in range(1, shape[0] + 1):
        subject = bare.GetSubjectName(i) or b""
        shape.append(bare.GetSegmentCount(subject, at) and count.value)
        shape.append(bare.GetMarkerCount(subject, at) and count.value)
    shape.append(bare.GetForcePlateCount(at) and count.value)
    return tuple(shape)


class SnapshotReader:
    """Keeps the plan of the current scene for Client.snapshot()."""

    def __init__(self, library):
        self.lib = library
        self.bare = None
        self.plan: Optional[_Plan] = None

    def take(self, left_handed, y_up):
        """The snapshot, or None without a current frame."""
        from ._arrays import numpy
        np = numpy()
        if self.bare is None:
            self.bare = _bare(self.lib)
        number = _i32()
        if not self.bare.GetFrameNumber(ctypes.byref(number)):
            return None
        frame_number = number.value
        plan = self.plan
        if plan is None or _shape(self.bare) != plan.shape:
            plan = self.plan = _Plan(self.lib, self.bare, np)
        answered, complete = plan.read()
        if not complete:
            plan = self.plan = _Plan(self.lib, self.bare, np)
            answered, complete = plan.read()
        translations, quaternions, markers, forces, moments, centres = plan.arrays(answered, left_handed, y_up)
        return Snapshot(frame_number, plan.segment_names, translations, quaternions, plan.marker_names, markers,
                        list(plan.plates), forces, moments, centres)
