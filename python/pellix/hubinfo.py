"""Payloads of the hub's status and monitor commands.

Status (0x0080): the hub answers with one JSON document in one or more
frames from 0x01, each payload being

    part number 1..count (u16 LE) | count (u16 LE) | next piece of text

Monitor (0x0081): once switched on, every frame the hub routes comes back
to the monitor as one record from 0x01, cmd 0x0081:

    kind (u8) | time, µs since 1970 (u64 LE) | devId | srcId | cmd (u16 LE)
    | the frame's payload length (u16 LE) | its payload, cut to fit

Report (0x0082): a module hands the hub one JSON object of at most 1024
bytes of printable ASCII, shown under its connection in the status.

Both come from a socket: every decoder checks its bounds.
"""

import enum
import json
import struct
from typing import Any, Dict, NamedTuple, Optional, Union

from .errors import PellixError, Refused
from .frame import CMD_STATUS, HUB_ID, MAX_UDP_FRAME, MIN_FRAME_SIZE, build_frame, check_module_id

MONITOR_OFF = 0
MONITOR_ON = 1
STATUS_HEADER = struct.Struct("<HH")
MONITOR_HEADER = struct.Struct("<BQBBHH")
MAX_STATUS_PARTS = 0xFFFF


class MonitorKind(enum.IntEnum):
    MONITOR_ON = 0  # answers the switch-on; header fields zero
    FORWARDED = 1  # a frame passed to a module
    PUBLISHED = 2  # an event publication
    REGISTERED = 3  # a registration
    HUB_COMMAND = 4  # a command to the hub itself
    DROPPED = 5  # a frame the hub did not deliver
    LOST = 6  # copies that did not fit the monitor's queue
    REFUSED = 7  # the monitor was not switched on; header fields zero, payload: the reason

    @property
    def label(self) -> str:
        """"forwarded", "hub-command", ... as the hub's tools name them."""
        return self.name.lower().replace("_", "-")


class MonitorRecord(NamedTuple):
    """One copy of a routed frame, as the monitor receives it."""

    kind: Union[MonitorKind, int]  # an int for a kind a newer hub added
    time_us: int  # microseconds since 1970 (UTC)
    dev: int
    src: int
    cmd: int
    length: int  # the frame's payload length
    payload: bytes  # as much of the payload as the record carries

    @property
    def time(self) -> float:
        """Seconds since 1970, as time.time() gives them."""
        return self.time_us / 1e6

    @property
    def truncated(self) -> bool:
        return self.kind != MonitorKind.LOST and len(self.payload) < self.length

    @property
    def lost(self) -> Optional[int]:
        """For a LOST record, the copies lost since the last one."""
        if self.kind != MonitorKind.LOST or len(self.payload) < 8:
            return None
        return int(struct.unpack_from("<Q", self.payload)[0])

    @property
    def label(self) -> str:
        return self.kind.label if isinstance(self.kind, MonitorKind) else f"kind-{self.kind}"

    @property
    def reason(self) -> Optional[str]:
        """For a REFUSED record, the hub's reason as printable ASCII."""
        if self.kind != MonitorKind.REFUSED:
            return None
        text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in self.payload[:200])
        return text or "no reason given"


def decode_monitor_record(payload: bytes) -> MonitorRecord:
    """A monitor frame's payload as a record; Refused when it is shorter
    than the record header. Unknown kinds decode, named by number."""
    if len(payload) < MONITOR_HEADER.size:
        raise Refused(f"a monitor record needs {MONITOR_HEADER.size} bytes, got {len(payload)}")
    kind, time_us, dev, src, cmd, length = MONITOR_HEADER.unpack_from(payload)
    try:
        kind = MonitorKind(kind)
    except ValueError:
        pass
    return MonitorRecord(kind, time_us, dev, src, cmd, length, bytes(payload[MONITOR_HEADER.size:]))


def encode_monitor_record(kind: int, time_us: int, dev: int, src: int, cmd: int, payload: bytes,
                          length: Optional[int] = None) -> bytes:
    """A record's payload, as the hub writes it (for tests and simulators)."""
    size = len(payload) if length is None else length
    return MONITOR_HEADER.pack(kind, time_us, dev, src, cmd, min(size, 0xFFFF)) + payload


def status_part(part: int, count: int, text: bytes) -> bytes:
    """One part's payload (for tests and simulators)."""
    return STATUS_HEADER.pack(part, count) + text


MAX_REPORT_BYTES = 1024


def report_payload(counters: Dict[str, Any]) -> bytes:
    """A report's payload: counters as compact ASCII JSON."""
    if not isinstance(counters, dict):
        raise Refused(f"a report is a dict, not {type(counters).__name__}")
    text = json.dumps(counters, separators=(",", ":"), ensure_ascii=True, allow_nan=False).encode()
    if len(text) > MAX_REPORT_BYTES:
        raise Refused(f"report of {len(text)} bytes does not fit (at most {MAX_REPORT_BYTES})")
    return text


# A datagram status request is padded with zero bytes to this size (the hub
# ignores the payload): the hub answers a datagram with at most three times
# its bytes, so a full-size request lets a status of about 6 KiB come back.
UDP_STATUS_REQUEST_BYTES = MAX_UDP_FRAME


def status_request(src: int, size: int = MIN_FRAME_SIZE) -> bytes:
    """The request frame, padded to size bytes (UDP_STATUS_REQUEST_BYTES for a datagram)."""
    check_module_id(src, "source id")
    return build_frame(HUB_ID, src, CMD_STATUS, bytes(max(0, size - MIN_FRAME_SIZE)))


class StatusCollector:
    """Puts a status reply together from its parts as they arrive.

    A part 1 starts over; any other part counts only when it is the next one
    of the reply begun, with the same count, so stray or repeated parts are
    ignored. A reply that grows past max_bytes is abandoned.
    """

    DEFAULT_MAX_BYTES = 16 << 20

    def __init__(self, max_bytes: int = DEFAULT_MAX_BYTES) -> None:
        self.max_bytes = max_bytes
        self._pieces: list = []
        self._size = 0
        self._next = 0  # 0: no reply begun
        self._count = 0

    def reset(self) -> None:
        self._pieces, self._size, self._next, self._count = [], 0, 0, 0

    def add(self, payload: bytes) -> Optional[bytes]:
        """Takes one status payload; the whole document's text once its last
        part has come, None before (or for a part that does not count)."""
        if len(payload) < STATUS_HEADER.size:
            return None
        part, count = STATUS_HEADER.unpack_from(payload)
        if part == 0 or count == 0 or part > count:
            return None
        if part == 1:
            self.reset()
            self._next, self._count = 1, count
        elif part != self._next or count != self._count:
            return None
        piece = bytes(payload[STATUS_HEADER.size:])
        self._size += len(piece)
        if self._size > self.max_bytes:
            self.reset()
            return None
        self._pieces.append(piece)
        self._next += 1
        if part < count:
            return None
        text = b"".join(self._pieces)
        self.reset()
        return text


# The hub's document nests a few levels, reports included; deeper text is
# refused, so that neither the parser nor a caller walking the document can
# run out of stack.
MAX_STATUS_DEPTH = 64


def _depth_within(document: Any, limit: int) -> bool:
    pending = [(document, 1)]
    while pending:
        value, depth = pending.pop()
        if isinstance(value, (dict, list)):
            if depth > limit:
                return False
            pending.extend((inner, depth + 1) for inner in (value.values() if isinstance(value, dict) else value))
    return True


def parse_status(text: bytes) -> Dict[str, Any]:
    """The status document as a dict; PellixError when it is not a JSON
    object, or nests deeper than MAX_STATUS_DEPTH."""
    try:
        document = json.loads(text.decode("utf-8"))
    except (ValueError, RecursionError) as e:  # UnicodeDecodeError is a ValueError
        why = f"nested deeper than {MAX_STATUS_DEPTH} levels" if isinstance(e, RecursionError) else str(e)
        raise PellixError(f"the hub's status reply is not a JSON document: {why}") from None
    if not isinstance(document, dict):
        raise PellixError("the hub's status reply is not a JSON object")
    if not _depth_within(document, MAX_STATUS_DEPTH):
        raise PellixError(f"the hub's status reply is not a JSON document: nested deeper than {MAX_STATUS_DEPTH} "
                          "levels")
    return document


def need_bytes(document: Dict[str, Any]) -> Optional[int]:
    """N when a datagram status answer is the hub's {"needBytes": N} instead
    of the document: a request of N bytes would have brought it."""
    value = document.get("needBytes")
    if len(document) == 1 and isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return value
    return None


STATUS_UNSUPPORTED = "the hub does not answer status requests"
MONITOR_UNSUPPORTED = "the hub does not answer monitor requests"
