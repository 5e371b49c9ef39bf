"""The frame every module and the hub exchange, and its payloads.

    "<start>" | len (u16 LE) | devId | srcId | cmd (u16 LE) | payload | "<end>"

``len`` counts the payload and its own 6 header bytes. Frames are found by
their markers alone, so a stream is cut from a start marker to the first end
marker after it; there is no checksum and no escaping. The limits and the
refusals are the C++ SDK's, sentence for sentence.
"""

import struct
from typing import Iterable, List, NamedTuple, Optional, Sequence, Tuple, Union

from .errors import Refused

START = b"<start>"
END = b"<end>"
HEADER_SIZE = 6  # counted by len
MIN_FRAME_SIZE = len(START) + HEADER_SIZE + len(END)  # 18
PAYLOAD_OFFSET = len(START) + HEADER_SIZE  # 13
MAX_PAYLOAD = 65535 - HEADER_SIZE  # 65529
MAX_FRAME_SIZE = MIN_FRAME_SIZE + MAX_PAYLOAD
# A publication carries its 2-byte event number in front of the data.
MAX_EVENT_DATA = MAX_PAYLOAD - 2
# The hub reads at most 2048 bytes of a datagram and drops a longer one.
MAX_UDP_FRAME = 2048
MAX_UDP_PAYLOAD = MAX_UDP_FRAME - MIN_FRAME_SIZE

HUB_ID = 0x01  # frames to it are commands for the hub
EVENT_SOURCE_ID = 0xE1  # source of deliveries; 0xE1..0xFF select event commands
MAX_MODULE_ID = 0xE0  # highest id the hub forwards frames to
# The source id of frames sent without registering: no module can be
# reached under it, so nothing is ever forwarded to it by mistake.
ANONYMOUS_ID = 0xFE
# Publications read the event number as a signed 16-bit value: events of
# 0x8000 and above can be subscribed to but never match.
MAX_EVENT = 0x7FFF
DEPARTURE_EVENT = 0  # the hub's own: a registered module went away
EVENTS_PER_FRAME = 255  # a subscription list's count is one byte

CMD_REGISTER = 0x0001
CMD_HEARTBEAT = 0x0002
CMD_DATA_PRINT = 0x0003
CMD_DUMP_SOCKETS = 0x0004
CMD_PUBLISH = 0x0005
CMD_SUBSCRIBE = 0x0006
CMD_UNSUBSCRIBE = 0x0007
CMD_TRACE_LEVEL = 0x0068
CMD_STATUS = 0x0080
CMD_MONITOR = 0x0081
CMD_REPORT = 0x0082

_HEADER = struct.Struct("<HBBH")  # len, devId, srcId, cmd


class Frame(NamedTuple):
    """A received frame: its header fields, payload and whole bytes."""

    dev: int
    src: int
    cmd: int
    length: int  # the header's len field, as sent
    payload: bytes  # the bytes between header and end marker
    raw: bytes  # the whole frame, markers included


# -- refusals -----------------------------------------------------------------


def _refuse(text: str) -> None:
    raise Refused(text)


def check_module_id(value: int, what: str) -> None:
    if not 0 <= value <= 0xFF:
        _refuse(f"{what} {value} is not a module id (0 to 255)")


def check_registration_id(value: int) -> None:
    check_module_id(value, "module id")
    if value == HUB_ID or value > MAX_MODULE_ID:
        _refuse(f"module id 0x{value:02x} cannot be registered: the hub forwards frames only to 0x00 and "
                "0x02 to 0xe0")


def check_command(cmd: int) -> None:
    if not 0 <= cmd <= 0xFFFF:
        _refuse(f"command {cmd} does not fit 16 bits")


def check_payload(size: int, limit: int, what: str) -> None:
    if size > limit:
        _refuse(f"{what} of {size} bytes does not fit a frame (at most {limit})")


def check_published_event(event: int) -> None:
    if event == DEPARTURE_EVENT:
        _refuse("event 0 is the hub's own departure notice and cannot be published")
    if not 0 <= event <= MAX_EVENT:
        _refuse(f"event {event} can never be delivered: publications match events 1 to {MAX_EVENT} only")


def check_subscribed_event(event: int) -> None:
    if not 0 <= event <= MAX_EVENT:
        _refuse(f"event {event} can never be delivered: subscribe to events 0 to {MAX_EVENT} only")


def check_withdrawn_event(event: int) -> None:
    # Any 16-bit number, so that a subscription made by other means can
    # still be withdrawn.
    if not 0 <= event <= 0xFFFF:
        _refuse(f"event {event} does not fit 16 bits")


def check_trace_level(level: int) -> None:
    if not 0 <= level <= 6:
        _refuse(f"trace level {level} is outside 0 (fatal only) to 6 (debug)")


def check_name(name: bytes) -> None:
    if b"\0" in name:
        _refuse("module name contains a zero byte")
    check_payload(len(name), MAX_PAYLOAD, "module name")


Data = Union[bytes, bytearray, memoryview, str]


def as_bytes(data: Data) -> bytes:
    """Payloads are bytes; text is sent as UTF-8."""
    if isinstance(data, str):
        return data.encode("utf-8")
    return bytes(data)


# -- building -----------------------------------------------------------------


def build_frame(dev: int, src: int, cmd: int, payload: bytes = b"") -> bytes:
    """One whole frame. Refused when a field or the payload does not fit."""
    check_module_id(dev, "destination")
    check_module_id(src, "source id")
    check_command(cmd)
    check_payload(len(payload), MAX_PAYLOAD, "payload")
    return b"".join((START, _HEADER.pack(len(payload) + HEADER_SIZE, dev, src, cmd), payload, END))


def event_list(events: Sequence[int]) -> bytes:
    """A subscription list's payload: a count byte, then 16-bit event numbers."""
    if len(events) > EVENTS_PER_FRAME:
        _refuse(f"a list of {len(events)} events does not fit one frame (at most {EVENTS_PER_FRAME})")
    for event in events:
        check_withdrawn_event(event)
    return struct.pack(f"<B{len(events)}H", len(events), *events)


def event_list_frames(cmd: int, src: int, events: Sequence[int]) -> List[bytes]:
    """A list of any length, as frames of at most 255 events each."""
    return [build_frame(EVENT_SOURCE_ID, src, cmd, event_list(events[i:i + EVENTS_PER_FRAME]))
            for i in range(0, len(events), EVENTS_PER_FRAME)]


def parse_event_list(payload: bytes) -> List[int]:
    """The events of a received list; a count that claims more than the
    payload holds is cut to what is there."""
    if not payload:
        return []
    count = min(payload[0], (len(payload) - 1) // 2)
    return list(struct.unpack_from(f"<{count}H", payload, 1))


def publication(event: int, data: bytes = b"") -> bytes:
    """A publication's payload: the 16-bit event number, then the data."""
    check_published_event(event)
    check_payload(len(data), MAX_EVENT_DATA, "event data")
    return struct.pack("<H", event) + data


def parse_publication(payload: bytes) -> Optional[Tuple[int, bytes]]:
    """(event, data) of a delivery, or None when it has no event number."""
    if len(payload) < 2:
        return None
    return payload[0] | payload[1] << 8, payload[2:]


def departure(module_id: int) -> bytes:
    """Event 0's payload: 00 00 and the id of the module that went away."""
    check_module_id(module_id, "module id")
    return bytes((0, 0, module_id))


def parse_departure(payload: bytes) -> Optional[int]:
    """The module id of a departure notice's payload, or None."""
    if len(payload) == 3 and payload[0] == 0 and payload[1] == 0:
        return payload[2]
    return None


# -- cutting ------------------------------------------------------------------


def decode_frame(raw: bytes) -> Frame:
    """The fields of one cut frame; Refused when it is shorter than a header."""
    if len(raw) < MIN_FRAME_SIZE or not raw.startswith(START) or not raw.endswith(END):
        _refuse(f"{len(raw)} bytes are not a whole frame (at least {MIN_FRAME_SIZE}, between the markers)")
    length, dev, src, cmd = _HEADER.unpack_from(raw, len(START))
    return Frame(dev, src, cmd, length, raw[PAYLOAD_OFFSET:-len(END)], raw)


class FrameSplitter:
    """Cuts a received byte stream into frames, from a start marker to the
    first end marker after it.

    The buffer is bounded: without a start marker only a tail that could
    begin one is kept, and a start marker with no end marker within the
    largest possible frame is dropped so that the search goes on from the
    next one. Each byte is searched at most once for each marker.
    """

    def __init__(self, max_frame_size: int = MAX_FRAME_SIZE) -> None:
        self._max = max(max_frame_size, len(START) + len(END))
        self._buf = bytearray()
        self._start_found = False  # a start marker sits at the buffer's head
        self._end_scan = 0  # no end marker begins before this position
        self.dropped_starts = 0  # start markers given up for want of an end

    def buffered(self) -> int:
        return len(self._buf)

    def feed(self, data: bytes) -> List[bytes]:
        """Appends data and returns every whole frame, markers included."""
        buf = self._buf
        buf += data
        frames: List[bytes] = []
        pos = 0
        end_scan = self._end_scan
        while True:
            if not self._start_found:
                start = buf.find(START, pos)
                if start < 0:
                    # Only the longest tail that begins a start marker matters.
                    keep = min(len(START) - 1, len(buf) - pos)
                    while keep > 0 and not START.startswith(buf[len(buf) - keep:]):
                        keep -= 1
                    pos = len(buf) - keep
                    end_scan = 0
                    break
                pos = start
                self._start_found = True
            body = pos + len(START)
            end_scan = max(end_scan, body)
            window_end = pos + self._max
            end = buf.find(END, end_scan, window_end)
            if end < 0:
                if len(buf) >= window_end:
                    self.dropped_starts += 1
                    end_scan = max(end_scan, window_end - len(END) + 1)
                    pos = body
                    self._start_found = False
                    continue
                # An end marker may still straddle the next feed.
                end_scan = max(end_scan, len(buf) - (len(END) - 1))
                break
            frame_end = end + len(END)
            frames.append(bytes(buf[pos:frame_end]))
            pos = frame_end
            end_scan = frame_end
            self._start_found = False
        del buf[:pos]
        self._end_scan = max(0, end_scan - pos)
        return frames


def split_frames(chunks: Iterable[bytes]) -> List[bytes]:
    """Every whole frame in a sequence of chunks (for tests and tools)."""
    splitter = FrameSplitter()
    frames: List[bytes] = []
    for chunk in chunks:
        frames.extend(splitter.feed(chunk))
    return frames
