"""A recording's measurements as numpy arrays, with the values qs-export
writes for the same file.

Frames are grouped by their scene and the shape of their measurement
objects (how many markers, poses and samples each holds); each group's
objects are cut from the file in one join per object and decoded by numpy
as record arrays, and every name is looked up once per group, the way the
library's frame queries look it up (the first subject of a name that has
the item, then the item's first record in the frame).
"""

import math
from typing import Dict, List, Optional, Tuple

from ._errors import RecordingError
from . import _packets as P


def numpy():
    """numpy, or an error that says how to get it."""
    try:
        import numpy as np
    except ImportError:
        raise ImportError("qs.Recording's arrays need numpy: install it with 'apt-get install python3-numpy' "
                          "(or 'pip install numpy'); the rest of qs works without it") from None
    return np


#: Cells cut from the file at a time while a group is decoded, to bound the
#: memory a large group takes.
_BATCH_BYTES = 64 << 20

#: Beyond this many runs of evenly spaced frames, a group's values are
#: gathered by index instead of copied run by run.
_MOST_RUNS = 16

_PLATE_KINDS = (P.FORCES, P.MOMENTS, P.CENTRES)
_VECTOR_NAMES = (("Fx", "Fy", "Fz"), ("Mx", "My", "Mz"), ("Cx", "Cy", "Cz"))
_PLATE_COMPONENTS = (("Fx", "Mx", "Cx"), ("Fy", "My", "Cy"), ("Fz", "Mz", "Cz"))


def _is_plate_output(output: P.Output) -> bool:
    names = output.components
    return len(names) == 3 and all(names[i] in _PLATE_COMPONENTS[i] for i in range(3))


class _SceneIndex:
    """What the frame queries answer from one scene: item ids by name,
    which devices are force plates, each plate's analog output."""

    def __init__(self, scene: P.Scene):
        self.scene = scene
        outputs: Dict[int, List[P.Output]] = {}
        for output in scene.outputs:
            outputs.setdefault(output.device, []).append(output)
        self.analog: Dict[int, Optional[P.Output]] = {}
        plates = set()
        for device, listed in outputs.items():
            if sum(_is_plate_output(o) for o in listed) == 3:
                plates.add(device)
                self.analog[device] = next((o for o in listed if not _is_plate_output(o)), None)
        self.plates = [device for device in scene.devices if device in plates]

    def _first_with(self, name, items, count):
        for subject in self.scene.subjects:
            if subject.name == name and len(getattr(subject, items)) >= count:
                return subject
        return None

    def names(self, items):
        """(subject, item) of every subject in list order, as VColumns
        collects them."""
        found = []
        for subject in self.scene.subjects:
            first = self._first_with(subject.name, items, 0)
            for i in range(1, len(getattr(first, items)) + 1):
                owner = self._first_with(subject.name, items, i)
                found.append((subject.name, getattr(owner, items)[i - 1][1]))
        return found

    def ids(self, subject_name, item_name, items):
        """(subject id, item id) of the first subject of that name with an
        item of that name, or None."""
        if not subject_name or not item_name:
            return None
        for subject in self.scene.subjects:
            if subject.name != subject_name:
                continue
            for item_id, name in getattr(subject, items):
                if name == item_name:
                    return subject.id, item_id
        return None

    def channels(self, device):
        output = self.analog.get(device)
        return len(output.components) if device in self.plates and output is not None else 0


class Columns:
    """Every segment, marker and plate of the recording, in the order the
    names first appear (as qs-export's columns)."""

    def __init__(self):
        self.segments: List[Tuple[str, str]] = []
        self.markers: List[Tuple[str, str]] = []
        self.plates: List[List[int]] = []  # [device, channels]

    def collect(self, index: _SceneIndex):
        for items, target in (("segments", self.segments), ("markers", self.markers)):
            seen = set(target)
            for pair in index.names(items):
                if pair not in seen:
                    seen.add(pair)
                    target.append(pair)
        for device in index.plates:
            channels = index.channels(device)
            known = [plate for plate in self.plates if plate[0] == device]
            for plate in known:
                plate[1] = max(plate[1], channels)
            if not known:
                self.plates.append([device, channels])

    def channels(self):
        """(device, kind 0-3, component, label, quantity) of every plate
        channel: Fx .. Cz, then Ch1 .. Chn, plate by plate."""
        result = []
        for device, count in self.plates:
            for kind in range(3):
                for axis in range(3):
                    result.append((device, kind, axis, "Plate%d/%s" % (device, _VECTOR_NAMES[kind][axis]),
                                   ("force", "moment", "length")[kind]))
            for channel in range(1, count + 1):
                result.append((device, 3, channel, "Plate%d/Ch%d" % (device, channel), "voltage"))
        return result


def fit_rate(np, numbers, receive_ns):
    """Frames per second by the least-squares line of receive time against
    frame number, summed in frame order as qs-export sums it. Raises
    RecordingError when the frames give no rate."""
    if len(numbers) < 2:
        raise RecordingError("cannot estimate the frame rate: it holds a single frame; give it with rate=HZ")
    x = (numbers.astype(np.int64) - int(numbers[0])).astype(np.float64)
    y = (receive_ns - receive_ns[0]).astype(np.float64) * 1e-9
    sum_x, sum_y = np.cumsum(x)[-1], np.cumsum(y)[-1]
    sum_xx, sum_xy = np.cumsum(x * x)[-1], np.cumsum(x * y)[-1]
    n = float(len(numbers))
    sxx = sum_xx - sum_x * sum_x / n
    sxy = sum_xy - sum_x * sum_y / n
    if not sxx > 0:
        raise RecordingError("cannot estimate the frame rate: its frame numbers do not advance; give it with rate=HZ")
    seconds_per_frame = sxy / sxx
    if not seconds_per_frame > 0:
        raise RecordingError("cannot estimate the frame rate: its frame numbers do not advance with its receive "
                             "times; give it with rate=HZ")
    return float(1.0 / seconds_per_frame)


def to_axes(np, v, left_handed, y_up):
    """Vectors (last axis x, y, z) in the output axes: Y up turns (x, y, z)
    into (x, z, -y), left-handed negates x."""
    out = v.copy() if not y_up else np.stack((v[..., 0], v[..., 2], -v[..., 1]), axis=-1)
    if left_handed:
        out[..., 0] = -v[..., 0]
    return out


def matrix_to_quaternion(np, r):
    """(..., 9) rotation matrices by rows to (..., 4) quaternions (x, y, z,
    w), with the library's branches and operation order."""
    q = np.empty(r.shape[:-1] + (4,))
    t = (r[..., 0] + r[..., 4]) + r[..., 8]
    with np.errstate(invalid="ignore", divide="ignore"):
        s = np.sqrt(t + 1.0)
        f = 0.5 / s
        q[..., 3] = 0.5 * s
        q[..., 0] = (r[..., 7] - r[..., 5]) * f
        q[..., 1] = (r[..., 2] - r[..., 6]) * f
        q[..., 2] = (r[..., 3] - r[..., 1]) * f
        i = np.where(r[..., 4] > r[..., 0], 1, 0)
        diagonal = np.where(i == 1, r[..., 4], r[..., 0])
        i = np.where(r[..., 8] > diagonal, 2, i)
        for branch in range(3):
            chosen = (i == branch) & ~(t > 0.0)
            if not chosen.any():
                continue
            m = r[chosen]
            j = (branch + 1) % 3
            k = (j + 1) % 3

            def e(a, b):
                return m[:, 3 * a + b]
            s = np.sqrt(((e(branch, branch) - e(j, j)) - e(k, k)) + 1.0)
            f = 0.5 / s
            part = np.empty((len(m), 4))
            part[:, branch] = 0.5 * s
            part[:, 3] = (e(k, j) - e(j, k)) * f
            part[:, j] = (e(branch, j) + e(j, branch)) * f
            part[:, k] = (e(branch, k) + e(k, branch)) * f
            q[chosen] = part
    return q


def _axes_matrix(np, left_handed, y_up):
    a = np.eye(3)
    if y_up:
        a = np.array([[1.0, 0, 0], [0, 0, 1.0], [0, -1.0, 0]])
    if left_handed:
        a[0] = -a[0]
    return a


class _Cutter:
    """Reads the same field of many frames' objects as one array, from
    strided views of the file: offsets that advance by a constant step (the
    frames of a steady stream) are one view, copied once."""

    def __init__(self, np, data):
        self.np = np
        self.buffer = np.frombuffer(data, dtype=np.uint8) if len(data) else np.zeros(0, np.uint8)

    def cut(self, offsets, start: int, count: int, dtype, record_bytes: int = 0, width: int = 1):
        """(frames, count, width) values of `dtype`: `count` records of
        `record_bytes` from offsets + start, `width` values of each (the
        values themselves when record_bytes is 0)."""
        np = self.np
        dtype = np.dtype(dtype)
        record_bytes = record_bytes or dtype.itemsize * width
        out = np.empty((len(offsets), count, width), dtype=dtype)
        if count == 0 or len(offsets) == 0:
            return out
        steps = np.diff(offsets)
        # A run of frames whose offsets advance by one step, from each
        # place where the step changes (runs share their end frames).
        starts = [0] + (np.flatnonzero(steps[1:] != steps[:-1]) + 1).tolist()
        if len(starts) > _MOST_RUNS and record_bytes % dtype.itemsize == 0:
            self._gather(out, offsets + start, count, dtype, record_bytes, width)
            return out
        ends = starts[1:] + [len(steps)]
        for first, last in zip(starts, ends):
            step = int(steps[first]) if len(steps) else 0
            # The values of a frame side by side are one row of the view
            # (numpy copies long rows far faster than many short ones).
            if record_bytes == dtype.itemsize * width:
                shape, strides = (count * width,), (dtype.itemsize,)
            elif width == 1:
                shape, strides = (count,), (record_bytes,)
            else:
                shape, strides = (count, width), (record_bytes, dtype.itemsize)
            view = np.ndarray((last - first + 1,) + shape, dtype=dtype, buffer=self.buffer,
                              offset=int(offsets[first]) + start, strides=(step,) + strides)
            out[first:last + 1] = view.reshape(last - first + 1, count, width)
        return out

    def _gather(self, out, starts, count, dtype, record_bytes, width):
        """Frames at irregular offsets: an index into the file viewed as
        values of `dtype`, once for each alignment the offsets have."""
        np = self.np
        size = dtype.itemsize
        within = (np.arange(count)[:, None] * (record_bytes // size) + np.arange(width)).ravel()
        residues = starts % size
        for residue in np.unique(residues).tolist():
            rows = np.flatnonzero(residues == residue)
            values = np.ndarray(((len(self.buffer) - residue) // size,), dtype=dtype, buffer=self.buffer,
                                offset=residue)
            index = ((starts[rows] - residue) // size)[:, None] + within
            out[rows] = values[index].reshape(len(rows), count, width)


class _Objects:
    """The file offsets of a batch's objects: offsets(kind, j) of the j-th
    object of a type, one per frame."""

    def __init__(self, bases, places):
        self.bases, self.places = bases, places

    def offsets(self, kind, j):
        return self.bases + self.places[kind][j]


def _first_match(np, keys, target):
    """For each row of `keys` (frames, entries): whether `target` is there,
    and the column of its first occurrence."""
    match = keys == target
    return match.any(axis=1), match.argmax(axis=1)


def build(recording, frames: List[P.Frame], scenes: List[P.Scene], data, *, rate, left_handed, y_up):
    """The arrays of RecordedData from the walked frames."""
    np = numpy()
    indexes = [_SceneIndex(scene) for scene in scenes]
    frames = [frame for frame in frames if frame.number is not None]
    count = len(frames)
    columns = Columns()
    collected = set()
    for frame in frames:
        if frame.scene >= 0 and frame.scene not in collected:
            collected.add(frame.scene)
            columns.collect(indexes[frame.scene])
    channels = columns.channels()
    receive_ns = np.array([recording._receive_ns[frame.record] for frame in frames], dtype=np.int64)
    numbers = np.array([frame.number for frame in frames], dtype=np.int32)

    out = {
        "frame_numbers": numbers,
        "receive_times": receive_ns / 1e9,
        "markers": np.full((count, len(columns.markers), 3), np.nan),
        "translations": np.full((count, len(columns.segments), 3), np.nan),
        "rotations": np.full((count, len(columns.segments), 9), np.nan),
    }
    # Per frame and plate kind: samples per component (0: none).
    plate_columns = {(device, kind): [] for device, kind, *_ in channels}
    for c, (device, kind, *_rest) in enumerate(channels):
        plate_columns[(device, kind)].append(c)

    groups: Dict[tuple, List[int]] = {}
    for f, frame in enumerate(frames):
        groups.setdefault((frame.scene, frame.layout), []).append(f)
    bases = np.array([frame.base for frame in frames], dtype=np.int64)

    cutter = _Cutter(np, data)
    samples_per_frame = 0
    plate_parts = []  # (rows, channel, samples per frame (rows,), values (rows, n))
    for (scene, layout), rows in groups.items():
        if scene < 0:
            continue
        index = indexes[scene]
        spans = {kind: tuple(count for _, count in objects) for kind, objects in layout}
        places = {kind: tuple(offset for offset, _ in objects) for kind, objects in layout}
        step = max(1, _BATCH_BYTES // max(1, sum(c for counts in spans.values() for c in counts) * 8))
        for first in range(0, len(rows), step):
            batch = np.array(rows[first:first + step])
            objects = _Objects(bases[batch], places)
            _markers(np, cutter, index, columns, objects, spans, batch, out)
            _poses(np, cutter, index, columns, objects, spans, batch, out)
            samples_per_frame = max(samples_per_frame,
                                    _plates(np, cutter, index, columns, channels, objects, spans, batch,
                                            plate_parts))

    if count and rate is None:
        rate = fit_rate(np, numbers, receive_ns)
        estimated = True
    else:
        estimated = False
        if rate is not None and not (rate > 0 and math.isfinite(rate)):
            raise ValueError("rate must be a positive number of frames per second")
    first_frame = int(numbers.min()) if count else 0
    out["rate"], out["rate_estimated"] = rate, estimated
    out["capture_times"] = ((numbers.astype(np.int64) - first_frame) / rate) if count else np.zeros(0)
    span = (receive_ns[-1] - receive_ns[0]) * 1e-9 if count else 0.0
    out["rate_report"] = ("%.2f Hz estimated from %d frames over %.2f s (give rate=HZ to set it)"
                          % (rate, count, span) if estimated else "%.6g Hz given" % rate if rate else "no frames")

    # The full-rate table: samples_per_frame rows per frame; a channel that
    # held another number of samples in a frame stays empty there.
    n = samples_per_frame
    table = np.full((count * n, len(channels)), np.nan, dtype=np.float32)
    for rows, c, held, values in plate_parts:
        whole = held == n
        if n and whole.any():
            target = (rows[whole][:, None] * n + np.arange(n)).ravel()
            table[target, c] = values[whole][:, :n].ravel()
    out["mismatched"] = n > 0 and any(((held > 0) & (held != n)).any() for _, _, held, _ in plate_parts)
    if n:
        capture = out["capture_times"]
        out["sample_times"] = (capture[:, None] + np.arange(n) * (1.0 / (rate * n))).ravel()
        out["sample_frames"] = np.repeat(numbers, n)
    else:
        out["sample_times"] = np.zeros(0)
        out["sample_frames"] = np.zeros(0, dtype=np.int32)
    # Plate vectors in the output axes: only negated or swapped, so exact
    # in single precision.
    for device, kind in {(d, k) for d, k, *_ in channels if k < 3}:
        c0 = plate_columns[(device, kind)][0]
        block = table[:, c0:c0 + 3]
        table[:, c0:c0 + 3] = to_axes(np, block, left_handed, y_up)
    out["samples"] = table
    out["samples_per_frame"] = n
    out["markers"] = to_axes(np, out["markers"], left_handed, y_up)
    out["translations"] = to_axes(np, out["translations"], left_handed, y_up)
    out["columns"] = columns
    out["channels"] = channels
    return out


def _pair_key(np, subject_ids, item_ids):
    """One 64-bit key per (subject id, item id) pair, of arrays of ids or of
    single ids."""
    return ((np.asarray(subject_ids).astype(np.int64) << 32)
            | (np.asarray(item_ids).astype(np.int64) & 0xFFFFFFFF))


def _gather(np, keys, index, names, kind, batch, pairs):
    """For each (subject, item) of `names` (column by column), the first
    entry of each frame whose key is that pair's: copied from every source
    into its target, for each (target, source) of `pairs`."""
    every = np.arange(len(batch))
    for column, (subject, item) in enumerate(names):
        ids = index.ids(subject, item, kind)
        if ids is None:
            continue
        found, at = _first_match(np, keys, _pair_key(np, ids[0], ids[1]))
        for target, source in pairs:
            target[batch[found], column] = source[every[found], at[found]]


def _markers(np, cutter, index, columns, objects, spans, batch, out):
    counts = spans.get(P.MARKER_POSITIONS, ())
    if not counts or not columns.markers:
        return
    offsets = objects.offsets(P.MARKER_POSITIONS, 0)
    ids = cutter.cut(offsets, 0, counts[0], "<i4", P.MARKER_BYTES, 2)
    positions = cutter.cut(offsets, 16, counts[0], "<f8", P.MARKER_BYTES, 3)
    keys = _pair_key(np, ids[..., 0], ids[..., 1])
    _gather(np, keys, index, columns.markers, "markers", batch, [(out["markers"], positions)])


def _poses(np, cutter, index, columns, objects, spans, batch, out):
    counts = spans.get(P.SEGMENT_POSES, ())
    if not counts or not columns.segments:
        return
    subjects, segments, translations, rotations = [], [], [], []
    for j, size in enumerate(counts):
        offsets = objects.offsets(P.SEGMENT_POSES, j)
        subjects.append(np.repeat(cutter.cut(offsets, 0, 1, "<i4")[:, :, 0], size, axis=1))
        segments.append(cutter.cut(offsets, 8, size, "<i4", P.POSE_BYTES)[:, :, 0])
        translations.append(cutter.cut(offsets, 16, size, "<f8", P.POSE_BYTES, 3))
        rotations.append(cutter.cut(offsets, 40, size, "<f8", P.POSE_BYTES, 9))
    keys = _pair_key(np, np.concatenate(subjects, axis=1), np.concatenate(segments, axis=1))
    _gather(np, keys, index, columns.segments, "segments", batch,
            [(out["translations"], np.concatenate(translations, axis=1)),
             (out["rotations"], np.concatenate(rotations, axis=1))])


def _first_output(np, cutter, objects, kind, counts, field, wanted):
    """For a device (plate data, by device id) or an analog output (voltages,
    by output id): per frame, the samples of its first entry; returns
    (held samples (frames,), values (frames, most samples))."""
    frames = len(objects.bases)
    held = np.zeros(frames, dtype=np.int64)
    values = np.zeros((frames, max(counts) if counts else 0), dtype=np.float32)
    taken = np.zeros(frames, dtype=bool)
    for j, size in enumerate(counts):
        offsets = objects.offsets(kind, j)
        head = cutter.cut(offsets, 0, 3, "<i4")[:, :, 0]
        hit = (head[:, field] == wanted) & ~taken
        if hit.any():
            taken |= hit
            held[hit] = size
            if size:
                values[hit, :size] = cutter.cut(offsets[hit], 16, size, "<f4")[:, :, 0]
    return held, values


def _plates(np, cutter, index, columns, channels, objects, spans, batch, parts):
    """Collects each plate channel's samples of the batch's frames into
    `parts`; returns the most samples per component any output held."""
    most = 0
    by_device = {}
    for c, (device, kind, component, _label, _quantity) in enumerate(channels):
        by_device.setdefault((device, kind), []).append((c, component))
    for device, _channels in columns.plates:
        if device not in index.plates:
            continue
        for kind in range(3):
            counts = spans.get(_PLATE_KINDS[kind], ())
            if not counts:
                continue
            held, values = _first_output(np, cutter, objects, _PLATE_KINDS[kind], counts, 1, device)
            per = held // 3
            most = max(most, int(per.max()) if len(per) else 0)
            for c, axis in by_device.get((device, kind), ()):
                width = int(per.max()) if len(per) else 0
                component = np.zeros((len(batch), width), dtype=np.float32)
                for size in set(per.tolist()) - {0}:
                    rows = per == size
                    component[rows, :size] = values[rows, axis * size:(axis + 1) * size]
                parts.append((batch, c, per, component))
        analog = index.analog.get(device)
        counts = spans.get(P.VOLTAGES, ())
        if analog is None or not analog.components or not counts:
            continue
        held, values = _first_output(np, cutter, objects, P.VOLTAGES, counts, 2, analog.output)
        width_of = len(analog.components)
        per = held // width_of
        most = max(most, int(per.max()) if len(per) else 0)
        for c, channel in by_device.get((device, 3), ()):
            if channel > width_of:
                continue
            width = int(per.max()) if len(per) else 0
            component = np.zeros((len(batch), width), dtype=np.float32)
            for size in set(per.tolist()) - {0}:
                rows = per == size
                component[rows, :size] = values[rows, (channel - 1) * size:channel * size]
            parts.append((batch, c, per, component))
    return most
