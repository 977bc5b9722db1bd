"""Reading recordings made by qs-record, with the standard library alone.

The file layout is described in docs/recording-format.md: a header (magic,
version, start time, host, requested object types), then records appended
whole, each one packet as the server sent it with its receive time.
"""

import datetime
import os
import struct

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


def _frame_number(payload):
    """The value of the packet's last FrameNumber object, or None; the
    objects are walked as the library's packet reader walks them."""
    number = None
    position, end = 0, len(payload)
    while end - position >= 4:
        kind = _INT32.unpack_from(payload, position)[0]
        if end - position < 8:
            break
        length = _INT32.unpack_from(payload, position + 4)[0]
        position += 8
        if kind == FRAME_NUMBER and 4 <= length <= end - position:
            number = _INT32.unpack_from(payload, position)[0]
        if length > 0:
            position += length
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
        frame_numbers: the frame number of each packet that carries one.
        receive_times: the receive time of each of those packets, in seconds
            since the start.
        duration: the receive time of the last record, in seconds.
        gaps: (first, last) of every run of frame numbers missing between
            two consecutive frames.
        truncated: the file ends inside a record (a recorder that crashed,
            or a full disk); everything before that record was read, and
            ``warning`` says where.

    A file that is not a recording, or that is damaged (wrong magic, an
    unknown version, a header or record length out of its bounds), raises
    qs.RecordingError.
    """

    def __init__(self, path):
        self.path = os.fspath(path)
        self.truncated = False
        self.warning = ""
        self._records = []  # (receive_ns, packet offset, packet length)
        self.frame_numbers = []
        self.receive_times = []
        with open(self.path, "rb") as stream:
            size = os.fstat(stream.fileno()).st_size
            self._read_header(stream, size)
            self._read_records(stream, size)

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
            where = "record %d at byte %d" % (len(self._records), offset)
            head = stream.read(_RECORD.size)
            packet_head = stream.read(_PACKET.size) if len(head) == _RECORD.size else b""
            if len(packet_head) < _PACKET.size:
                return self._cut_short(where)
            receive_ns, length = _RECORD.unpack(head)
            if not _PACKET.size <= length <= _PACKET.size + MAX_PACKET_PAYLOAD:
                raise RecordingError("%s declares a packet of %d bytes, outside the bounds of 8 to %d bytes"
                                     % (where, length, _PACKET.size + MAX_PACKET_PAYLOAD))
            if receive_ns < last_ns:
                raise RecordingError("%s has a receive time before the previous record's" % where)
            if size - offset - _RECORD.size < length:
                return self._cut_short(where)
            magic, payload_length = _PACKET.unpack(packet_head)
            if magic != PACKET_MAGIC or payload_length != length - _PACKET.size:
                raise RecordingError("%s does not hold a packet of its length (wrong packet magic or length)"
                                     % where)
            payload = stream.read(payload_length)
            self._records.append((receive_ns, offset + _RECORD.size, length))
            number = _frame_number(payload) if len(self._records) > 1 else None
            if number is not None:
                self.frame_numbers.append(number)
                self.receive_times.append(receive_ns / 1e9)
            last_ns = receive_ns
            offset += _RECORD.size + length

    def _cut_short(self, where):
        self.truncated = True
        self.warning = ("the file is cut short inside %s; the %d whole records before it were read"
                        % (where, len(self._records)))

    @property
    def packet_count(self):
        return len(self._records)

    @property
    def frame_count(self):
        return len(self.frame_numbers)

    @property
    def duration(self):
        return self._records[-1][0] / 1e9 if self._records else 0.0

    @property
    def gaps(self):
        runs = []
        for before, after in zip(self.frame_numbers, self.frame_numbers[1:]):
            if after > before + 1:
                runs.append((before + 1, after - 1))
        return runs

    @property
    def missing_frames(self):
        return sum(last - first + 1 for first, last in self.gaps)

    def packets(self):
        """Yields (receive time in seconds, packet bytes) for every record,
        the handshake first."""
        with open(self.path, "rb") as stream:
            for receive_ns, offset, length in self._records:
                stream.seek(offset)
                yield receive_ns / 1e9, stream.read(length)

    def __len__(self):
        return self.frame_count

    def __repr__(self):
        return "<qs.Recording %r: %d frames, %.2f s, %s:%d%s>" % (
            self.path, self.frame_count, self.duration, self.host, self.port,
            ", cut short" if self.truncated else "")
