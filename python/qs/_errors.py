"""The exceptions of the qs package."""


class QSError(Exception):
    """Base class of every error raised by the qs package."""


class ConnectError(QSError, ConnectionError):
    """The capture server could not be reached (or the library already holds
    a connection)."""


class NotConnectedError(QSError):
    """The operation needs a connection, and there is none (never made,
    closed, or lost)."""


class NoFrameError(QSError):
    """No frame has been taken yet, or none arrived in time."""


class NotFoundError(QSError, LookupError):
    """A subject, segment, marker, force plate or channel that the current
    frame does not have, or a plate whose frame carries no such data."""


class RecordingError(QSError, ValueError):
    """A file that is not a recording, or a damaged one: wrong magic, an
    unknown format version, a header or record length out of its bounds."""
