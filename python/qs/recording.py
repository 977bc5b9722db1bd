"""Reading recordings made by qs-record: the index with the standard library
alone, the measurements as numpy arrays (load()).

The file layout is described in docs/recording-format.md: a header (magic,
version, start time, host, requested object types), then records appended
whole, each one packet as the server sent it with its receive time.
"""

import array
import datetime
import mmap
import os
import stat
import struct
from typing import Any, Iterator, List, Optional, Tuple

from ._errors import RecordingError

MAGIC = b"QSREC\r\n\x1a"
FORMAT_VERSION = 1
MIN_HEADER_BYTES = 20
MAX_HEADER_BYTES = 64 * 1024
#: The library's bound on a packet's payload.
MAX_PACKET_PAYLOAD = 256 * 1024 * 1024
PACKET_MAGIC = 0x1A2B3C4D
FRAME_NUMBER = 5

# The object types of each data kind, as a host of the library asks for them.
_KINDS = (("segments", {8, 9}), ("markers", {6, 7}), ("forces", {10, 11, 12, 13}))

_PREAMBLE = struct.Struct("<8sII")
_RECORD = struct.Struct("<qI")
_PACKET = struct.Struct("<iI")
_OBJECT = struct.Struct("<ii")
_INT32 = struct.Struct("<i")


#: Bytes of a payload read at a time while its objects are walked.
_WINDOW = 1 << 20


class _Damaged(Exception):
    """A record that is damaged; the message says how."""


def _scan_objects(stream, start, length):
    """Walks the objects of the payload of `length` bytes at `start`, as the
    library's packet reader does: a 32-bit type, a 32-bit length n, n bytes.
    Returns the value of the last FrameNumber object, or None. Raises
    _Damaged when the objects do not split the payload whole or a
    FrameNumber object is shorter than its value, EOFError when the file
    ends first. At most _WINDOW bytes are held at a time. The stream is
    positioned at `start` and left at the payload's end."""
    number = None
    position, end = start, start + length
    window, window_start = b"", start
    moved = False
    while end - position >= 8:
        at = position - window_start
        if at + min(12, end - position) > len(window):
            if moved or position != start:
                stream.seek(position)
            moved = True
            window, window_start, at = stream.read(min(_WINDOW, end - position)), position, 0
            if len(window) < min(12, end - position):
                raise EOFError
        kind, size = _OBJECT.unpack_from(window, at)
        if size < 0 or size > end - position - 8:
            break
        if kind == FRAME_NUMBER:
            if size < 4:
                raise _Damaged("holds a frame number object shorter than its 4-byte value")
            number = _INT32.unpack_from(window, at + 8)[0]
        position += 8 + size
    if position != end:
        raise _Damaged("holds a packet whose objects do not fit it "
                       "(a negative length, one past the payload, or bytes left over)")
    if window_start + len(window) != end:
        stream.seek(end)
    return number


class Recording:
    """A recording's header and the index of its records.

    ::

        recording = qs.Recording("walk.qsrec")
        print(recording.frame_count, recording.duration, recording.gaps)

    Attributes:
        host, port: the server that was recorded.
        start_time: the wall-clock time of the start (an aware datetime, UTC).
        requested_types: the object types asked for (a frozenset).
        kinds: the data kinds asked for ("segments", "markers", "forces").
        packet_count: records, the handshake included.
        frame_numbers: the frame number of each packet that carries one
            (the first 4 bytes of its last FrameNumber object).
        receive_times: the receive time of each of those packets, in seconds
            since the start.
        duration: the receive time of the last record, in seconds.
        gaps: (first, last) of every run of frame numbers missing between
            two consecutive frames.
        truncated: the file ends inside a record (a recorder that crashed,
            or a full disk); everything before that record was read, and
            ``warning`` says where.

    A file that is not a recording, or that is damaged (wrong magic, an
    unknown version, a header or record length out of its bounds, a packet
    whose objects do not fit it), or that is not a regular file, raises
    qs.RecordingError. The index holds about 16 bytes per record and 12 per
    frame; packets() reads the packets from the file again.
    """

    def __init__(self, path: "os.PathLike[str] | str") -> None:
        self.path = os.fspath(path)
        self.truncated = False
        self.warning = ""
        # The index: a few bytes per record, never the packets themselves.
        self._offsets = array.array("Q")          # where each record starts
        self._receive_ns = array.array("q")       # its receive time
        self._frame_numbers = array.array("i")    # of the packets that carry one
        self._frame_records = array.array("I")    # which record each came from
        self._last_length = 0
        try:
            status = os.stat(self.path)
        except OSError as error:
            raise RecordingError("cannot open %s: %s" % (self.path, error.strerror)) from None
        # A pipe is refused before it is opened: opening it waits for a
        # writer, and packets() reads the file again.
        if not stat.S_ISREG(status.st_mode):
            raise RecordingError("not a regular file (%s): a recording is read from a file, which must be "
                                 "saved to disk first" % ("a pipe" if stat.S_ISFIFO(status.st_mode)
                                                          else "a device or folder"))
        with open(self.path, "rb") as stream:
            status = os.fstat(stream.fileno())
            self._identity = (status.st_dev, status.st_ino)
            self._read_header(stream, status.st_size)
            self._read_records(stream, status.st_size)

    def _read_header(self, stream, size):
        preamble = stream.read(_PREAMBLE.size)
        if not preamble or not MAGIC.startswith(preamble[:8]):
            raise RecordingError("not a QS recording (the file does not start with the recording magic)")
        if len(preamble) < _PREAMBLE.size:
            raise RecordingError("the file ends inside its header")
        _, self.version, length = _PREAMBLE.unpack(preamble)
        if self.version != FORMAT_VERSION:
            raise RecordingError("recording format version %d is not supported (this package reads version %d)"
                                 % (self.version, FORMAT_VERSION))
        if not MIN_HEADER_BYTES <= length <= MAX_HEADER_BYTES:
            raise RecordingError("header length %d is out of range (%d to %d bytes)"
                                 % (length, MIN_HEADER_BYTES, MAX_HEADER_BYTES))
        if size - _PREAMBLE.size < length:
            raise RecordingError("the file ends inside its header")
        body = stream.read(length)
        try:
            start_ns, self.port, host_length = struct.unpack_from("<qiI", body, 0)
            if host_length > length - 16:
                raise struct.error("host runs past the header")
            self.host = body[16:16 + host_length].decode("utf-8", "replace")
            position = 16 + host_length
            count = _INT32.unpack_from(body, position)[0]
            if not 0 <= count <= (length - position - 4) // 4:
                raise struct.error("type list runs past the header")
            types = struct.unpack_from("<%di" % count, body, position + 4)
        except struct.error:
            raise RecordingError("the header's fields do not fit its length (damaged header)") from None
        self.start_ns = start_ns
        self.start_time = datetime.datetime.fromtimestamp(start_ns / 1e9, datetime.timezone.utc)
        self.requested_types = frozenset(types)
        self.kinds = tuple(name for name, kind in _KINDS if kind & self.requested_types)
        self._data_start = _PREAMBLE.size + length

    def _read_records(self, stream, size):
        offset = self._data_start
        last_ns = 0
        while offset < size:
            head = stream.read(_RECORD.size + _PACKET.size)  # the stream stands at `offset`
            where = "record %d at byte %d" % (len(self._offsets), offset)
            # A length or a time that can be read whole is judged whatever
            # follows; the packet's magic once the whole packet is there.
            if len(head) < _RECORD.size:
                return self._cut_short(where)
            receive_ns, length = _RECORD.unpack_from(head)
            if not _PACKET.size <= length <= _PACKET.size + MAX_PACKET_PAYLOAD:
                raise RecordingError("%s declares a packet of %d bytes, outside the bounds of 8 to %d bytes"
                                     % (where, length, _PACKET.size + MAX_PACKET_PAYLOAD))
            if receive_ns < last_ns:
                raise RecordingError("%s has a receive time before the previous record's" % where)
            if size - offset - _RECORD.size < length or len(head) < _RECORD.size + _PACKET.size:
                return self._cut_short(where)
            magic, payload_length = _PACKET.unpack_from(head, _RECORD.size)
            if magic != PACKET_MAGIC or payload_length != length - _PACKET.size:
                raise RecordingError("%s does not hold a packet of its length (wrong packet magic or length)"
                                     % where)
            try:
                number = _scan_objects(stream, offset + len(head), payload_length)
            except _Damaged as damage:
                raise RecordingError("%s %s" % (where, damage)) from None
            except EOFError:
                return self._cut_short(where)
            if number is not None and self._offsets:
                self._frame_numbers.append(number)
                self._frame_records.append(len(self._offsets))
            self._offsets.append(offset)
            self._receive_ns.append(receive_ns)
            self._last_length = length
            last_ns = receive_ns
            offset += _RECORD.size + length

    def _cut_short(self, where):
        self.truncated = True
        self.warning = ("the file is cut short inside %s; the %d whole records before it were read"
                        % (where, len(self._offsets)))

    @property
    def frame_numbers(self) -> List[int]:
        """The frame number of each packet that carries one (a new list)."""
        return self._frame_numbers.tolist()

    @property
    def receive_times(self) -> List[float]:
        """The receive time of each of those packets, in seconds since the
        start (a new list)."""
        return [self._receive_ns[record] / 1e9 for record in self._frame_records]

    @property
    def packet_count(self) -> int:
        return len(self._offsets)

    @property
    def frame_count(self) -> int:
        return len(self._frame_numbers)

    @property
    def duration(self) -> float:
        return self._receive_ns[-1] / 1e9 if self._receive_ns else 0.0

    @property
    def gaps(self) -> List[Tuple[int, int]]:
        numbers = self._frame_numbers
        return [(numbers[i] + 1, numbers[i + 1] - 1)
                for i in range(len(numbers) - 1) if numbers[i + 1] > numbers[i] + 1]

    @property
    def missing_frames(self) -> int:
        return sum(last - first + 1 for first, last in self.gaps)

    def packets(self) -> Iterator[Tuple[float, bytes]]:
        """Yields (receive time in seconds, packet bytes) for every record,
        the handshake first. Raises qs.RecordingError when the file is no
        longer the one that was read (replaced, cut or changed)."""
        with open(self.path, "rb") as stream:
            status = os.fstat(stream.fileno())
            if (status.st_dev, status.st_ino) != self._identity:
                raise RecordingError("%s was replaced by another file since it was read" % self.path)
            for index, (offset, receive_ns) in enumerate(zip(self._offsets, self._receive_ns)):
                stream.seek(offset)
                head = stream.read(_RECORD.size)
                packet = b""
                if len(head) == _RECORD.size:
                    again_ns, length = _RECORD.unpack(head)
                    if again_ns == receive_ns and _PACKET.size <= length <= _PACKET.size + MAX_PACKET_PAYLOAD:
                        packet = stream.read(length)
                        if len(packet) != length or _PACKET.unpack_from(packet) != (PACKET_MAGIC, length - _PACKET.size):
                            packet = b""
                if not packet:
                    raise RecordingError("record %d at byte %d can no longer be read as it was read before "
                                         "(the file was cut or changed)" % (index, offset))
                yield receive_ns / 1e9, packet

    def __len__(self) -> int:
        return self.frame_count

    def load(self, rate: Optional[float] = None, *, left_handed: bool = False,
             y_up: bool = False) -> "RecordedData":
        """Every frame's measurements as numpy arrays (a RecordedData), the
        values qs-export writes for this file with the same settings.

        `rate` is the frame rate in Hz; without it the rate is estimated
        from the frame numbers and receive times, as qs-export estimates it
        (``rate_report`` says how). `left_handed` and `y_up` choose the
        output axes once for translations, vectors and rotations alike.
        Needs numpy (ImportError saying how to install it otherwise).
        Raises qs.RecordingError when the file is no longer the one that
        was read, holds an object the library cannot decode, or gives no
        rate to estimate."""
        from . import _arrays, _packets
        _arrays.numpy()
        with open(self.path, "rb") as stream:
            status = os.fstat(stream.fileno())
            end = (self._offsets[-1] + 12 + self._last_length) if self._offsets else 0
            if (status.st_dev, status.st_ino) != self._identity or status.st_size < end:
                raise RecordingError("%s was cut or replaced by another file since it was read" % self.path)
            if not self._offsets:
                data: Any = b""
            else:
                data = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
            try:
                frames, scenes = _packets.walk(data, self._offsets)
                values = _arrays.build(self, frames, scenes, data, rate=rate, left_handed=left_handed, y_up=y_up)
            finally:
                if isinstance(data, mmap.mmap):
                    try:
                        data.close()
                    except BufferError:  # an error's traceback still holds a view: closed when freed
                        pass
        return RecordedData(values, left_handed=left_handed, y_up=y_up)

    def __repr__(self):
        return "<qs.Recording %r: %d frames, %.2f s, %s:%d%s>" % (
            self.path, self.frame_count, self.duration, self.host, self.port,
            ", cut short" if self.truncated else "")


class RecordedData:
    """A recording's measurements as numpy arrays (from Recording.load()).

    Frames (one row per packet with a frame number, in file order):
        frame_numbers (frames,) int32; receive_times (frames,) seconds since
        the start; capture_times (frames,) ``(frame - first frame) / rate``;
        rate, rate_estimated, rate_report.
    Markers: marker_labels ["Subject:Marker", ...]; markers (frames,
        markers, 3), NaN where a marker is occluded or not in the frame.
    Segments: segment_labels; translations (frames, segments, 3);
        quaternions (frames, segments, 4) as (x, y, z, w); matrices() the
        rotation matrices (frames, segments, 3, 3); NaN where occluded.
    Force plates at the full sample rate: channel_labels ("Plate1/Fx" ..
        "Plate1/Cz", "Plate1/Ch1" ..), channel_units; samples (samples,
        channels) float32, NaN where a frame did not carry the channel with
        samples_per_frame samples; sample_times and sample_frames (samples,).
    Lengths in mm, forces in N, moments in N.m, voltages in V (what the
    simulator sends), in the axes given to load().
    """

    UNITS = {"length": "mm", "force": "N", "moment": "N.m", "voltage": "V"}

    def __init__(self, values: dict, *, left_handed: bool, y_up: bool):
        import numpy as np
        self.left_handed, self.y_up = left_handed, y_up
        self.frame_numbers = values["frame_numbers"]
        self.receive_times = values["receive_times"]
        self.capture_times = values["capture_times"]
        self.rate: float = values["rate"]
        self.rate_estimated: bool = values["rate_estimated"]
        self.rate_report: str = values["rate_report"]
        columns = values["columns"]
        self.marker_names: List[Tuple[str, str]] = list(columns.markers)
        self.segment_names: List[Tuple[str, str]] = list(columns.segments)
        self.marker_labels = ["%s:%s" % pair for pair in columns.markers]
        self.segment_labels = ["%s:%s" % pair for pair in columns.segments]
        self.markers = values["markers"]
        self.translations = values["translations"]
        self._rotations = values["rotations"]
        from ._arrays import _axes_matrix, matrix_to_quaternion, to_axes
        raw = matrix_to_quaternion(np, self._rotations)
        vector = to_axes(np, raw[..., :3], left_handed, y_up) * (-1.0 if left_handed else 1.0)
        self.quaternions = np.concatenate((vector, raw[..., 3:]), axis=-1)
        self._axes = _axes_matrix(np, left_handed, y_up)
        channels = values["channels"]
        self.plates = [device for device, _ in columns.plates]
        self.channel_labels = [label for _, _, _, label, _ in channels]
        self.channel_units = [self.UNITS[quantity] for *_, quantity in channels]
        self.samples = values["samples"]
        self.samples_per_frame: int = values["samples_per_frame"]
        self.sample_times = values["sample_times"]
        self.sample_frames = values["sample_frames"]
        #: Some plate output held another number of samples in some frame
        #: (its cells there are NaN).
        self.mismatched_samples: bool = bool(values["mismatched"])

    def matrices(self):
        """Segment rotations as matrices (frames, segments, 3, 3) in the
        output axes (A R A^T for the axis change A)."""
        r = self._rotations.reshape(self._rotations.shape[:-1] + (3, 3))
        return self._axes @ r @ self._axes.T

    def channel(self, label: str):
        """The full-rate samples of one channel, e.g. "Plate1/Fz"."""
        return self.samples[:, self.channel_labels.index(label)]

    def __repr__(self):
        return "<qs.RecordedData: %d frames, %d segments, %d markers, %d channels x %d samples, %s>" % (
            len(self.frame_numbers), len(self.segment_labels), len(self.marker_labels),
            len(self.channel_labels), len(self.sample_times), self.rate_report)
