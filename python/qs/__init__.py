"""qs: Python access to a motion-capture data stream through libQS.

The package is pure Python: it loads the shared library libQS with ctypes
and calls its exported C functions. Two levels are offered:

* ``qs.Client``: connect with a ``with`` block, take frames, and query
  subjects, segment and marker poses (tuples, ``None`` when occluded), force
  plates and analog channels; failures raise the exceptions below.
* ``qs.load_library()``: the ``ctypes.CDLL`` itself, with the exact C
  signatures of the 30 functions declared (see ``qs.SIGNATURES``).
* ``qs.Recording``: a recording made by qs-record (header, frame numbers,
  receive times, gaps), read with the standard library alone; it needs no
  library and no server. ``Recording.load()`` gives its segments, markers
  and force plate channels as numpy arrays (``qs.RecordedData``), and
  ``Client.snapshot()`` the current frame (``qs.Snapshot``); these two need
  numpy, the rest of the package does not.

The library is found through the environment variable ``QS_LIBRARY``, next to
the package, or on the system's library path.
"""

from ._errors import (ConnectError, NoFrameError, NotConnectedError, NotFoundError, QSError,
                      RecordingError)
from ._native import SIGNATURES, candidate_paths, load_library
from .client import PORT, Client
from .recording import RecordedData, Recording
from .snapshot import Snapshot

from ._version import __version__

__all__ = [
    "Client",
    "PORT",
    "QSError",
    "ConnectError",
    "NotConnectedError",
    "NoFrameError",
    "NotFoundError",
    "RecordedData",
    "Recording",
    "RecordingError",
    "Snapshot",
    "SIGNATURES",
    "candidate_paths",
    "load_library",
]
