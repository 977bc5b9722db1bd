"""A Pythonic client over the exported functions of libQS."""

import ctypes
import functools
import threading
import time
from typing import Any, Iterator, List, Optional, Tuple, Union

from ._errors import ConnectError, NoFrameError, NotConnectedError, NotFoundError, QSError
from ._native import CheckedLibrary, load_library, name_argument
from .snapshot import Snapshot, SnapshotReader

Name = Union[str, bytes]
Vector = Tuple[float, float, float]
Quaternion = Tuple[float, float, float, float]

#: The port the library always connects to.
PORT = 801

_ENCODING = "utf-8"

# The library holds one connection, one current frame and one set of
# settings per process, and its functions are not synchronised with each
# other. Every call a Client makes into it, together with the Client state
# it reads or updates, runs under this lock; _owner is the Client whose
# connection the library holds, if any.
_library_lock = threading.RLock()
_owner = None


def _serialized(method):
    @functools.wraps(method)
    def locked(*args, **kwargs):
        with _library_lock:
            return method(*args, **kwargs)
    return locked


def _decode(raw):
    return (raw or b"").decode(_ENCODING, "surrogateescape")


def _rotation_to_axes(vector, left_handed, y_up):
    """The vector part of a quaternion, or a helical vector, of a rotation R
    in the server's axes, as that of A R A^T in the chosen axes (A: the
    conversion the library applies to translations). It is mapped like a
    translation and, where A mirrors (left-handed), negated as well; only
    signs and places change, so nothing is rounded."""
    x, y, z = vector
    if y_up:
        y, z = z, -y
    if left_handed:
        y, z = -y, -z
    return x, y, z


class Client:
    """A connection to a capture server through libQS.

    The library holds at most one connection per process and its settings
    (hand rule, up axis, prefetching) are process-wide, so only one Client is
    connected at a time: connecting another while one is connected raises
    ConnectError, and a Client that is not the connected one raises
    NotConnectedError instead of answering from another's connection. A
    Client applies its own settings when it connects and whenever a setting
    property is assigned while it is connected. A Client may be shared by
    several threads: its calls into the library are serialised, and each
    query answers from one frame.

    Used as a context manager it connects on entry and disconnects on exit::

        with qs.Client("127.0.0.1") as client:
            client.wait_for_frame()
            print(client.subjects())

    Arguments:
        host: the capture server's name or address (port 801).
        segments, markers, forces: which data kinds to ask the server for
            (segment poses, marker positions, force plate and analog data).
        left_handed: left-handed output (x negated); default right-handed.
        y_up: Y-up output ((x, y, z) becomes (x, z, -y)); default Z-up.
            Both apply to every position, force-plate vector and rotation a
            Client returns, so a segment's rotation is in the same axes as
            its translation (the C functions leave rotations in the
            server's axes; the Client converts them).
        prefetch: let the library take frames on a thread of its own.
        library: a loaded library (from qs.load_library) to use instead of
            the one found automatically.

    Every query answers from the current frame, taken by get_frame() or
    wait_for_frame(). Queries raise NotConnectedError without a connection,
    NoFrameError before the first frame, and NotFoundError for names, plates
    and channels the frame does not have. An index or device id that is not
    an int (or is a bool) raises TypeError, one beyond 32 bits OverflowError;
    a name (or host) with a NUL character raises ValueError.
    """

    def __init__(self, host: str = "127.0.0.1", *, segments: bool = True, markers: bool = True,
                 forces: bool = True, left_handed: bool = False, y_up: bool = False, prefetch: bool = False,
                 library: Optional[Any] = None) -> None:
        self.host = host
        self.segments_enabled = segments
        self.markers_enabled = markers
        self.forces_enabled = forces
        self._left_handed = bool(left_handed)
        self._y_up = bool(y_up)
        self._prefetch = bool(prefetch)
        library = library if library is not None else load_library()
        self._lib = library if isinstance(library, CheckedLibrary) else CheckedLibrary(library)
        # The library keeps answering from a frame of an earlier connection
        # until this one delivers a frame; that frame's number is kept here,
        # and queries wait for a frame with another number.
        self._stale_number = None
        self._fresh = False
        self._snapshots = SnapshotReader(self._lib.library)

    # Connection -----------------------------------------------------------

    @_serialized
    def connect(self) -> "Client":
        """Connects to the server and enables the chosen data kinds.

        Raises ConnectError when the server cannot be reached, when the host
        name is empty, or when the library already holds a connection (of
        another Client of this process, or made without a Client); ValueError
        for a host name with a NUL character. Each address of the host gets
        at most 5 seconds, during which the other threads' calls wait; once
        connected, a server that stops answering at the network level is
        reported lost (NotConnectedError) within about 10 seconds. The
        connection of a Client whose link was lost may be taken over."""
        global _owner
        host = name_argument(self.host) if self.host is not None else b""
        if not host:
            raise ConnectError("no host name given")
        if _owner is self and self._lib.IsConnected():
            return self
        if self._lib.IsConnected():
            if _owner is not None and _owner is not self:
                raise ConnectError("another qs.Client of this process (%s:%d) holds the "
                                   "library's connection; close it first" % (_owner.host, PORT))
            raise ConnectError("the library already holds a connection; disconnect it first")
        # A connection lost earlier is still held by the library until
        # Disconnect releases it.
        self._lib.Disconnect()
        _owner = None
        self._apply_axes()
        if not self._lib.Connect(host):
            raise ConnectError("cannot connect to %s:%d" % (self.host, PORT))
        _owner = self
        self._fresh = False
        number = ctypes.c_int32()
        # Right after Connect, GetFrameNumber answers only for a frame held
        # from an earlier connection.
        held = self._lib.GetFrameNumber(ctypes.byref(number))
        self._stale_number = number.value if held else None
        if self.segments_enabled:
            self._lib.EnableSegmentData()
        if self.markers_enabled:
            self._lib.EnableMarkerData()
        if self.forces_enabled:
            self._lib.EnableForcePlateData()
        self._lib.SetPreFetchMode(self._prefetch)
        return self

    @_serialized
    def close(self) -> None:
        """Stops prefetching and disconnects. Returns True when a connection
        of this Client stood until now, False when there was none (or it had
        been lost). Never raises."""
        global _owner
        if _owner is not self:
            return False
        _owner = None
        self._fresh = False
        return bool(self._lib.Disconnect())

    disconnect = close

    def __enter__(self) -> "Client":
        return self.connect()

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __repr__(self):
        state = "connected" if self.is_connected else "not connected"
        return "<qs.Client %s:%d %s>" % (self.host, PORT, state)

    @property
    @_serialized
    def is_connected(self) -> bool:
        """True while this Client's connection stands."""
        return _owner is self and bool(self._lib.IsConnected())

    # Settings -------------------------------------------------------------

    def _apply_axes(self):
        if self._left_handed:
            self._lib.SetLeftHandRule()
        else:
            self._lib.SetRightHandRule()
        if self._y_up:
            self._lib.SetYUp()
        else:
            self._lib.SetZUp()

    @property
    def left_handed(self) -> bool:
        """Left-handed output (x negated) when True, for translations,
        force-plate vectors and rotations alike. Takes effect on the next
        query, also on the current frame."""
        return self._left_handed

    @left_handed.setter
    @_serialized
    def left_handed(self, value: bool) -> None:
        self._left_handed = bool(value)
        if _owner is self:
            self._apply_axes()

    @property
    def y_up(self) -> bool:
        """Y-up output ((x, y, z) becomes (x, z, -y)) when True, for
        translations, force-plate vectors and rotations alike. Takes effect
        on the next query."""
        return self._y_up

    @y_up.setter
    @_serialized
    def y_up(self, value: bool) -> None:
        self._y_up = bool(value)
        if _owner is self:
            self._apply_axes()

    @property
    def prefetch(self) -> bool:
        """When True, a library thread keeps taking the newest frame and
        get_frame() only copies it (it keeps one processor busy)."""
        return self._prefetch

    @prefetch.setter
    @_serialized
    def prefetch(self, value: bool) -> None:
        self._prefetch = bool(value)
        if _owner is self:
            self._lib.SetPreFetchMode(self._prefetch)

    # Frames -----------------------------------------------------------------

    def _check_connected(self):
        if _owner is not self or not self._lib.IsConnected():
            raise NotConnectedError("not connected to %s:%d" % (self.host, PORT))

    def _fail(self, what):
        """Raises the exception that explains why a query failed."""
        self._check_connected()
        number = ctypes.c_int32()
        if not self._lib.GetFrameNumber(ctypes.byref(number)):
            raise NoFrameError("no frame taken yet")
        raise NotFoundError(what)

    def _taken(self, number):
        """Notes that frame ``number`` is current; True once a frame of this
        connection has been taken."""
        if not self._fresh and number != self._stale_number:
            self._fresh = True
        return self._fresh

    def _require_frame(self):
        if _owner is not self or not self._fresh:
            self._check_connected()
            raise NoFrameError("no frame taken on this connection yet")

    @_serialized
    def get_frame(self) -> int:
        """Takes the newest frame received as the current frame and returns
        its number (the previous frame stays when none is newer). Raises
        NotConnectedError without a connection and NoFrameError when no
        frame has arrived yet."""
        if _owner is not self or not self._lib.GetFrame():
            raise NotConnectedError("not connected to %s:%d" % (self.host, PORT))
        number = ctypes.c_int32()
        if not self._lib.GetFrameNumber(ctypes.byref(number)) or not self._taken(number.value):
            self._check_connected()
            raise NoFrameError("no frame received on this connection yet")
        return number.value

    @property
    @_serialized
    def frame_number(self) -> int:
        """The current frame's number."""
        self._require_frame()
        number = ctypes.c_int32()
        if not self._lib.GetFrameNumber(ctypes.byref(number)):
            self._fail("frame number")
        return number.value

    def wait_for_frame(self, timeout: float = 2.0, newer_than: Optional[int] = None, poll: float = 0.001) -> int:
        """Takes frames until one is there (and, with ``newer_than``, has
        another number than that) and returns its number. Raises NoFrameError
        when ``timeout`` seconds pass first and NotConnectedError when the
        connection is lost meanwhile."""
        deadline = time.monotonic() + timeout
        while True:
            number = self._take_frame()
            if number is not None and (newer_than is None or number != newer_than):
                return number
            if time.monotonic() >= deadline:
                raise NoFrameError("no new frame within %g s" % timeout)
            time.sleep(poll)

    @_serialized
    def _take_frame(self):
        """One turn of wait_for_frame: the number of the frame taken, None
        when no frame of this connection is there yet."""
        if _owner is not self:
            raise NotConnectedError("not connected to %s:%d" % (self.host, PORT))
        if not self._lib.GetFrame():
            raise NotConnectedError("connection to %s:%d lost" % (self.host, PORT))
        number = ctypes.c_int32()
        if self._lib.GetFrameNumber(ctypes.byref(number)) and self._taken(number.value):
            return number.value
        return None

    @_serialized
    def _current_number(self):
        number = ctypes.c_int32()
        if _owner is self and self._fresh and self._lib.GetFrameNumber(ctypes.byref(number)):
            return number.value
        return None

    def frames(self, count: Optional[int] = None, timeout: float = 2.0) -> Iterator[int]:
        """Yields the number of each new frame as it becomes current, ``count``
        of them (or forever), starting after the current frame. Frames that
        arrive between two turns are skipped, as only the newest is kept.
        Raises as wait_for_frame."""
        # Only frames newer than the current one count.
        last = self._current_number()
        taken = 0
        while count is None or taken < count:
            last = self.wait_for_frame(timeout=timeout, newer_than=last)
            taken += 1
            yield last

    # Subjects, segments, markers ---------------------------------------------

    @_serialized
    def subjects(self) -> List[str]:
        """The names of the current frame's subjects, in the server's order."""
        self._require_frame()
        count = ctypes.c_int32()
        if not self._lib.GetSubjectCount(ctypes.byref(count)):
            self._fail("subjects")
        return [_decode(self._lib.GetSubjectName(i)) for i in range(1, count.value + 1)]

    @_serialized
    def segments(self, subject: Name) -> List[str]:
        """The segment names of ``subject``."""
        self._require_frame()
        name = name_argument(subject)
        count = ctypes.c_int32()
        if not self._lib.GetSegmentCount(name, ctypes.byref(count)):
            self._fail("no subject %r" % (subject,))
        return [_decode(self._lib.GetSegmentName(name, i)) for i in range(1, count.value + 1)]

    @_serialized
    def markers(self, subject: Name) -> List[str]:
        """The marker names of ``subject``."""
        self._require_frame()
        name = name_argument(subject)
        count = ctypes.c_int32()
        if not self._lib.GetMarkerCount(name, ctypes.byref(count)):
            self._fail("no subject %r" % (subject,))
        return [_decode(self._lib.GetMarkerName(name, i)) for i in range(1, count.value + 1)]

    @_serialized
    def _pose(self, function, size, subject, item, kind):
        self._require_frame()
        values = (ctypes.c_double * size)()
        occluded = ctypes.c_int32()
        if not function(subject, item, values, ctypes.byref(occluded)):
            self._fail("no %s %r of subject %r" % (kind, item, subject))
        if occluded.value:
            return None
        return tuple(values)

    def segment_translation(self, subject: Name, segment: Name) -> Optional[Vector]:
        """The segment's position (x, y, z) in the chosen axes, or None when
        the current frame has no value for it (occluded, or segment data not
        enabled)."""
        return self._pose(self._lib.GetGlobalSegmentTranslation, 3, subject, segment, "segment")

    @_serialized
    def _rotation(self, function, size, subject, segment):
        # The library gives rotations in the server's axes; the settings read
        # here are the ones it applied to this frame's translations.
        values = self._pose(function, size, subject, segment, "segment")
        if values is None:
            return None
        return _rotation_to_axes(values[:3], self._left_handed, self._y_up) + values[3:]

    def segment_rotation_helical(self, subject: Name, segment: Name) -> Optional[Vector]:
        """The segment's rotation as a helical vector (unit axis times the
        angle in radians, 0 to 2 pi), or None when occluded. In the chosen
        axes, like the segment's translation: a rotation R in the server's
        axes is returned as A R A^T, A being the axis conversion."""
        return self._rotation(self._lib.GetGlobalSegmentRotationHelical, 3, subject, segment)

    def segment_rotation_quaternion(self, subject: Name, segment: Name) -> Optional[Quaternion]:
        """The segment's rotation as a quaternion (x, y, z, w), or None when
        occluded. In the chosen axes, like the segment's translation: a
        rotation R in the server's axes is returned as A R A^T, A being the
        axis conversion (so with left_handed, which mirrors, the vector part
        is also negated)."""
        return self._rotation(self._lib.GetGlobalSegmentRotationQuaternion, 4, subject, segment)

    def marker_translation(self, subject: Name, marker: Name) -> Optional[Vector]:
        """The marker's position (x, y, z) in the chosen axes, or None when
        occluded (or marker data not enabled)."""
        return self._pose(self._lib.GetGlobalMarkerTranslation, 3, subject, marker, "marker")

    @_serialized
    def snapshot(self) -> Snapshot:
        """The current frame in one call (a qs.Snapshot of numpy arrays):
        its number, every segment's translation and quaternion, every
        marker's position (NaN where occluded) and every force plate's
        force, moment and centre of pressure (first sample), in the chosen
        axes, as the per-item queries give them. Needs numpy. Raises
        NotConnectedError and NoFrameError as the queries do."""
        self._require_frame()
        shot = self._snapshots.take(self._left_handed, self._y_up)
        if shot is None:
            self._fail("frame number")
        return shot

    # Force plates and analog channels -----------------------------------------

    @_serialized
    def force_plates(self) -> List[int]:
        """The device ids of the current frame's force plates, in device
        order."""
        self._require_frame()
        count = ctypes.c_int32()
        if not self._lib.GetForcePlateCount(ctypes.byref(count)):
            self._fail("force plates")
        ids = []
        device = ctypes.c_int32()
        for index in range(1, count.value + 1):
            if not self._lib.GetForcePlateID(index, ctypes.byref(device)):
                self._fail("force plate %d" % index)
            ids.append(device.value)
        return ids

    @_serialized
    def _plate_vector(self, function, device_id, kind):
        self._require_frame()
        values = (ctypes.c_double * 3)()
        if not function(device_id, values):
            self._fail("no %s for force plate %r" % (kind, device_id))
        return tuple(values)

    def force(self, device_id: int) -> Vector:
        """The plate's first force sample (x, y, z) in the chosen axes."""
        return self._plate_vector(self._lib.GetForceVector, device_id, "force")

    def moment(self, device_id: int) -> Vector:
        """The plate's first moment sample (x, y, z) in the chosen axes."""
        return self._plate_vector(self._lib.GetMomentVector, device_id, "moment")

    def centre_of_pressure(self, device_id: int) -> Vector:
        """The plate's first centre-of-pressure sample (x, y, z) in the
        chosen axes."""
        return self._plate_vector(self._lib.GetCentreOfPressure, device_id, "centre of pressure")

    @_serialized
    def analog_channel_count(self, device_id: int) -> int:
        """The number of analog channels of the plate."""
        self._require_frame()
        count = ctypes.c_int32()
        if not self._lib.GetNumberOfAnalogChannels(device_id, ctypes.byref(count)):
            self._fail("no analog output on force plate %r" % (device_id,))
        return count.value

    @_serialized
    def voltage(self, device_id: int, channel: int) -> float:
        """The first sample of analog channel ``channel`` (1-based)."""
        self._require_frame()
        value = ctypes.c_double()
        if not self._lib.GetAnalogChannelVoltage(device_id, channel, ctypes.byref(value)):
            self._fail("no voltage on channel %r of force plate %r" % (channel, device_id))
        return value.value

    @_serialized
    def voltages(self, device_id: int) -> Tuple[float, ...]:
        """The first sample of every analog channel of the plate, as a tuple."""
        return tuple(self.voltage(device_id, channel)
                     for channel in range(1, self.analog_channel_count(device_id) + 1))


__all__ = ["Client", "PORT", "QSError", "ConnectError", "NotConnectedError", "NoFrameError",
           "NotFoundError"]
