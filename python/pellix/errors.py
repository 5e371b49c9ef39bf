"""What the calls of this package raise.

Every error carries one sentence that says what went wrong. A call that
asks for something the hub could never deliver raises ``Refused``, which is
a ``ValueError``, before anything is sent.
"""

import os
import socket


class PellixError(Exception):
    """Base of every error this package raises on purpose."""


class Refused(PellixError, ValueError):
    """Refused before anything was sent: the hub could never deliver it."""


class NotConnected(PellixError, ConnectionError):
    """No connection to the hub at the moment."""


class Unreachable(PellixError, ConnectionError):
    """The hub could not be reached."""


class SendFailed(PellixError, ConnectionError):
    """The connection did not take the frame; the client reconnects."""


class NoReply(PellixError, TimeoutError):
    """The hub did not answer in time."""


class StatusUnsupported(NoReply):
    """The hub does not answer status or monitor requests (an older hub)."""


class HubRefused(PellixError):
    """The hub answered with a refusal: a monitor beyond the number it takes,
    or a status too large for an answer to a datagram. Status::Refused of
    the C++ SDK."""


class Busy(PellixError, RuntimeError):
    """Called from inside a callback, where the call would re-enter the loop."""


def reason(error: BaseException) -> str:
    """The system's sentence for a failed call ("Connection refused")."""
    number = getattr(error, "errno", None)
    if isinstance(error, socket.gaierror):
        return str(error.strerror)
    return os.strerror(number) if number else (str(error) or "timed out")
