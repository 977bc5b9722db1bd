"""Loading libQS and declaring its 30 exported functions for ctypes.

Every function is declared with its exact C signature from QS.h:

* booleans (``QSBool``) are one unsigned byte (``c_ubyte``), 0 or 1;
* counts, indexes, device ids, frame numbers and occluded flags are
  ``int32_t`` (``c_int32``), passed by pointer where the library writes them;
* vectors are arrays of ``c_double`` (3, or 4 for a quaternion);
* names are NUL-terminated byte strings (``c_char_p``).

ctypes itself truncates an int to 32 bits, takes True for 1, and passes a
string with an embedded NUL cut short at it. ``CheckedLibrary(library)``
gives the same functions behind argument checks that refuse all three
instead; ``qs.Client`` calls the library only through it.

The library is looked up, in this order:

1. the path in the environment variable ``QS_LIBRARY``;
2. next to this package: ``libQS.so*`` (``QS.dll`` on Windows) inside the
   package folder, then in the library folder of the installation the
   package belongs to;
3. the system's library search path (``ctypes.util.find_library("QS")``,
   then ``libQS.so.1`` and ``libQS.so``, or ``QS.dll`` on Windows).
"""

import ctypes
import ctypes.util
import glob
import operator
import os
import threading

from ._errors import QSError

try:  # written by the installation: where libQS lies relative to the package
    from ._install_paths import LIBRARY_DIR as _INSTALLED_LIBRARY_DIR
except ImportError:  # running from the source tree
    _INSTALLED_LIBRARY_DIR = None

_c_bool = ctypes.c_ubyte
_i32 = ctypes.c_int32
_p_i32 = ctypes.POINTER(ctypes.c_int32)
_p_double = ctypes.POINTER(ctypes.c_double)
_str = ctypes.c_char_p

#: name -> (result type, argument types), in the order of QS.h.
SIGNATURES = {
    "Connect": (_c_bool, [_str]),
    "Disconnect": (_c_bool, []),
    "IsConnected": (_c_bool, []),
    "GetFrame": (_c_bool, []),
    "GetFrameNumber": (_c_bool, [_p_i32]),
    "EnableSegmentData": (_c_bool, []),
    "EnableMarkerData": (_c_bool, []),
    "EnableForcePlateData": (_c_bool, []),
    "GetSubjectCount": (_c_bool, [_p_i32]),
    "GetSubjectName": (_str, [_i32]),
    "GetSegmentCount": (_c_bool, [_str, _p_i32]),
    "GetSegmentName": (_str, [_str, _i32]),
    "GetMarkerCount": (_c_bool, [_str, _p_i32]),
    "GetMarkerName": (_str, [_str, _i32]),
    "GetGlobalSegmentTranslation": (_c_bool, [_str, _str, _p_double, _p_i32]),
    "GetGlobalSegmentRotationHelical": (_c_bool, [_str, _str, _p_double, _p_i32]),
    "GetGlobalSegmentRotationQuaternion": (_c_bool, [_str, _str, _p_double, _p_i32]),
    "GetGlobalMarkerTranslation": (_c_bool, [_str, _str, _p_double, _p_i32]),
    "GetForcePlateCount": (_c_bool, [_p_i32]),
    "GetForcePlateID": (_c_bool, [_i32, _p_i32]),
    "GetForceVector": (_c_bool, [_i32, _p_double]),
    "GetMomentVector": (_c_bool, [_i32, _p_double]),
    "GetCentreOfPressure": (_c_bool, [_i32, _p_double]),
    "GetNumberOfAnalogChannels": (_c_bool, [_i32, _p_i32]),
    "GetAnalogChannelVoltage": (_c_bool, [_i32, _i32, _p_double]),
    "SetPreFetchMode": (None, [_c_bool]),
    "SetLeftHandRule": (None, []),
    "SetRightHandRule": (None, []),
    "SetYUp": (None, []),
    "SetZUp": (None, []),
}

_INT32_MIN = -2**31
_INT32_MAX = 2**31 - 1
_ENCODING = "utf-8"

_lock = threading.Lock()
_library = None


def name_argument(value):
    """``value`` (str or bytes) as the bytes a ``char*`` argument receives.
    TypeError for any other type, ValueError for an embedded NUL (the C
    side would see only the text before it)."""
    if isinstance(value, str):
        value = value.encode(_ENCODING, "surrogateescape")
    elif not isinstance(value, bytes):
        raise TypeError("a name must be str or bytes, not %s" % type(value).__name__)
    if b"\0" in value:
        raise ValueError("a name must not contain a NUL character: %r" % (value,))
    return value


def int32_argument(value):
    """``value`` as an ``int32_t`` argument. TypeError for a bool or a
    non-integer, OverflowError outside -2**31 .. 2**31-1 (ctypes would keep
    only the low 32 bits)."""
    if isinstance(value, bool):
        raise TypeError("an index or id must be an int, not bool")
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError("an index or id must be an int, not %s" % type(value).__name__) from None
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise OverflowError("%d is out of the 32-bit range of an index or id" % value)
    return value


def _bool_argument(value):
    # ctypes would keep only the low byte of an int (256 would be false).
    return 1 if value else 0


_CHECKS = {_str: name_argument, _i32: int32_argument, _c_bool: _bool_argument}


def _checked_function(name, function, arguments):
    checks = [_CHECKS.get(argument) for argument in arguments]

    def call(*values):
        if len(values) != len(checks):
            raise TypeError("%s takes %d arguments (%d given)" % (name, len(checks), len(values)))
        return function(*[value if check is None else check(value)
                          for check, value in zip(checks, values)])

    call.__name__ = name
    return call


class CheckedLibrary:
    """The 30 functions of a loaded library (see ``declare``) as attributes
    of the same names, each refusing an argument its C type cannot hold
    unchanged: a bool or non-integer index (TypeError), one beyond 32 bits
    (OverflowError), a name that is not str or bytes (TypeError) or holds a
    NUL (ValueError). A str name is passed as UTF-8. Pointer arguments pass
    as they are."""

    def __init__(self, library):
        self.library = library
        for name, (_, arguments) in SIGNATURES.items():
            setattr(self, name, _checked_function(name, getattr(library, name), arguments))


def _package_dir():
    return os.path.dirname(os.path.abspath(__file__))


def _is_windows() -> bool:
    return os.name == "nt"


def candidate_paths() -> "list[str]":
    """The places looked at for libQS, in order (the system search last,
    as bare names)."""
    paths = []
    env = os.environ.get("QS_LIBRARY")
    if env:
        paths.append(env)
    here = _package_dir()
    folders = [here]
    if _INSTALLED_LIBRARY_DIR is not None:
        folders.append(os.path.normpath(os.path.join(here, _INSTALLED_LIBRARY_DIR)))
    windows = _is_windows()
    for folder in folders:
        if windows:
            paths.extend(glob.glob(os.path.join(folder, "QS.dll")))
        else:
            paths.extend(sorted(glob.glob(os.path.join(folder, "libQS.so*")), key=len))
    found = ctypes.util.find_library("QS")
    if found:
        paths.append(found)
    paths.extend(["QS.dll"] if windows else ["libQS.so.1", "libQS.so"])
    return paths


def declare(library):
    """Sets ``restype`` and ``argtypes`` of the 30 functions on a loaded
    ``ctypes.CDLL``; raises QSError when one is missing."""
    for name, (result, arguments) in SIGNATURES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise QSError("%s does not export %s: not a QS library" % (library._name, name)) from None
        function.restype = result
        function.argtypes = arguments
    return library


def load_library(path: "str | None" = None) -> ctypes.CDLL:
    """Returns the loaded library (a ``ctypes.CDLL`` with the 30 functions
    declared). The first successful load is kept for the whole process: the
    library holds one connection per process, so there is only ever one.

    ``path`` forces a file; otherwise see the module documentation. Raises
    QSError when no candidate can be loaded.
    """
    global _library
    with _lock:
        if _library is not None:
            return _library
        if path is not None:
            candidates = [path]
        else:
            candidates = candidate_paths()
            if os.environ.get("QS_LIBRARY"):
                # An explicit choice is not silently replaced by another file.
                candidates = candidates[:1]
        errors = []
        for candidate in candidates:
            try:
                library = ctypes.CDLL(candidate)
            except OSError as error:
                errors.append("%s: %s" % (candidate, error))
                continue
            _library = declare(library)
            return _library
        raise QSError("cannot load libQS; tried " + "; ".join(errors) +
                      " (set QS_LIBRARY to the library's path)")
