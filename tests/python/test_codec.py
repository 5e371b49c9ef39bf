"""The codec, the status and monitor payloads and the refusals, without a hub."""

import pytest

from pellix import Client, FrameSplitter, UdpSender, build_frame, decode_frame
from pellix.frame import (MAX_FRAME_SIZE, departure, event_list, event_list_frames, parse_departure,
                          parse_event_list, parse_publication, publication)
from pellix.hubinfo import (MonitorKind, StatusCollector, decode_monitor_record, encode_monitor_record,
                               parse_status, report_payload, status_part)
from pellix.session import Departure, Event, Session, Settings, _StatusText

# The frames of doc/protocol.md, byte for byte.
GOLDEN = [
    ((0x01, 0x10, 0x0001, b"modA"), b"<start>\x0a\x00\x01\x10\x01\x00modA<end>"),
    ((0x10, 0x01, 0x0001, b""), b"<start>\x06\x00\x10\x01\x01\x00<end>"),
    ((0x10, 0x20, 0x0042, b"\xaa\xbb"), b"<start>\x08\x00\x10\x20\x42\x00\xaa\xbb<end>"),
    ((0x01, 0x30, 0x0004, b""), b"<start>\x06\x00\x01\x30\x04\x00<end>"),
]


@pytest.mark.parametrize("fields, raw", GOLDEN)
def test_golden_frames(fields, raw):
    assert build_frame(*fields) == raw
    frame = decode_frame(raw)
    assert (frame.dev, frame.src, frame.cmd, frame.payload, frame.length) == fields + (len(fields[3]) + 6,)


A, B = GOLDEN[0][1], GOLDEN[2][1]


@pytest.mark.parametrize("chunks, frames", [
    ([A + B], [A, B]),
    ([bytes([c]) for c in A + B], [A, B]),  # one byte at a time
    ([b"junk<sta", b"rt>" + A[7:] + b"noise" + B], [A, B]),  # garbage and a split marker
    ([b"<start>\x99<start>" + A[7:]], [b"<start>\x99<start>" + A[7:]]),  # first end after the first start
    ([A[:-2], b""], []),  # an end marker still to come
    ([b"x" * 100000], []),
])
def test_splitter_cuts(chunks, frames):
    splitter = FrameSplitter()
    assert [f for c in chunks for f in splitter.feed(c)] == frames
    assert splitter.buffered() <= MAX_FRAME_SIZE


def test_splitter_stays_bounded_and_recovers():
    splitter = FrameSplitter()
    for _ in range(10):  # a start marker that never ends, then a flood
        splitter.feed(b"<start>" + b"z" * 30000)
        assert splitter.buffered() <= MAX_FRAME_SIZE + 30007
    assert splitter.feed(b"z" * MAX_FRAME_SIZE) == [] and splitter.dropped_starts == 10
    assert splitter.feed(A) == [A] and splitter.buffered() == 0


def test_payload_codecs():
    assert event_list([1, 0x7FFF]) == b"\x02\x01\x00\xff\x7f"
    assert parse_event_list(b"\x05\x01\x00\x02\x00\x03") == [1, 2]  # count cut to what is there
    assert [len(f) for f in event_list_frames(6, 0x10, list(range(600)))] == [18 + 511, 18 + 511, 18 + 181]
    assert parse_publication(publication(300, b"x")) == (300, b"x") and parse_publication(b"\x01") is None
    assert parse_departure(departure(0x42)) == 0x42 and parse_departure(b"\x00\x00") is None


def unconnected(**kw):
    return Client(0x42, "t", **kw)


@pytest.mark.parametrize("call, sentence", [
    (lambda: build_frame(1, 2, 3, b"x" * 65530), "payload of 65530 bytes does not fit a frame (at most 65529)"),
    (lambda: build_frame(256, 2, 3), "destination 256 is not a module id (0 to 255)"),
    (lambda: build_frame(1, 2, 0x10000), "command 65536 does not fit 16 bits"),
    (lambda: event_list(list(range(256))), "a list of 256 events does not fit one frame (at most 255)"),
    (lambda: publication(0), "event 0 is the hub's own departure notice and cannot be published"),
    (lambda: unconnected().publish(0x8000), "event 32768 can never be delivered: publications match events 1 to "
                                            "32767 only"),
    (lambda: unconnected().publish(5, b"x" * 65528), "event data of 65528 bytes does not fit a frame (at most 65527)"),
    (lambda: unconnected().subscribe([0x8000]), "event 32768 can never be delivered: subscribe to events 0 to 32767"),
    (lambda: unconnected().unsubscribe([0x10000]), "event 65536 does not fit 16 bits"),
    (lambda: unconnected().set_hub_trace_level(7), "trace level 7 is outside 0 (fatal only) to 6 (debug)"),
    (lambda: unconnected().send(-1, 1), "destination -1 is not a module id (0 to 255)"),
    (lambda: Client(0x01, "hub"), "module id 0x01 cannot be registered: the hub forwards frames only to 0x00 and "
                                  "0x02 to 0xe0"),
    (lambda: Client(0xE1, "x"), "module id 0xe1 cannot be registered"),
    (lambda: Client(0x42, "a\0b"), "module name contains a zero byte"),
    (lambda: Client(0x42, "x", port=0), "port 0 is not 1 to 65535"),
    (lambda: UdpSender(src=0x100), "source id 256 is not a module id (0 to 255)"),
    (lambda: UdpSender().send(5, 1, b"x" * 2031), "datagram payload of 2031 bytes does not fit a frame (at most "
                                                  "2030)"),
    (lambda: UdpSender().publish(5, b"x" * 2029), "datagram event data of 2029 bytes does not fit a frame"),
    (lambda: report_payload({"k": "x" * 1017}), "report of 1025 bytes does not fit (at most 1024)"),
    (lambda: report_payload([1]), "a report is a dict, not list"),
])
def test_refusals(call, sentence):
    with pytest.raises(ValueError) as refused:  # before anything is sent or found missing
        call()
    assert str(refused.value).startswith(sentence)


def parts(text: bytes, size: int):
    pieces = [text[i:i + size] for i in range(0, len(text), size)] or [b""]
    return [status_part(n + 1, len(pieces), p) for n, p in enumerate(pieces)]


DOC = b'{"modules": [{"id": 16, "name": "a"}], "uptime": 12}'
P = parts(DOC, 16)


@pytest.mark.parametrize("payloads, expected", [
    (P, DOC),
    (parts(DOC, 1 << 14), DOC),  # one part
    (P[:2] + P, DOC),  # a part 1 starts over
    (P[:2] + [P[1]] + P[2:], DOC),  # a repeated part is ignored
    ([P[0], P[2]] + P[1:], DOC),  # so is one out of order
    ([status_part(0, 1, b"x"), status_part(2, 1, b"x"), b"\x01"], None),  # malformed headers
    (P[1:], None),  # no part 1
])
def test_status_reply_from_parts(payloads, expected):
    collector = StatusCollector()
    results = [collector.add(p) for p in payloads]
    assert [r for r in results if r is not None] == ([expected] if expected else [])


def test_status_reply_bounded_and_parsed():
    collector = StatusCollector(max_bytes=20)
    assert [collector.add(p) for p in P] == [None] * len(P)
    assert parse_status(DOC)["uptime"] == 12
    for bad in (b"[1]", b"{", b"\xff"):
        with pytest.raises(Exception, match="status reply is not a JSON"):
            parse_status(bad)


@pytest.mark.parametrize("kind, payload, length, expected", [
    (0, b"", 0, dict(label="monitor-on", truncated=False, lost=None)),
    (1, b"\xaa\xbb", 2, dict(label="forwarded", truncated=False)),
    (2, b"\x05\x00da", 900, dict(label="published", truncated=True)),
    (6, (12345).to_bytes(8, "little"), 0, dict(label="lost", lost=12345, truncated=False)),
    (9, b"", 0, dict(label="kind-9")),  # a kind a newer hub added
])
def test_monitor_records(kind, payload, length, expected):
    raw = encode_monitor_record(kind, 1700000000123456, 0x10, 0x20, 0x42, payload, length)
    record = decode_monitor_record(raw)
    assert (record.kind, record.time_us, record.dev, record.src, record.cmd, record.length, record.payload) == \
        (kind, 1700000000123456, 0x10, 0x20, 0x42, length, payload)
    assert {k: getattr(record, k) for k in expected} == expected
    with pytest.raises(ValueError, match="needs 15 bytes"):
        decode_monitor_record(raw[:14])


def test_session_reads_what_the_hub_sends():
    session = Session(Settings(0x42, "t", "h", 1, None, True, 0, 1, 1, 10))
    stream = b"".join([build_frame(0x42, 0x01, 0x80, p) for p in P] +
                      [build_frame(0x42, 0x01, 0x81, encode_monitor_record(1, 5, 0x10, 0x20, 7, b"hi")),
                       build_frame(0x42, 0x01, 0x81, b"short"),
                       build_frame(0x42, 0xE1, 5, publication(9, b"d")),
                       build_frame(0x42, 0xE1, 5, departure(0x33))])
    items = session.feed(stream)
    assert items[0] == _StatusText(DOC)
    assert items[1].kind == MonitorKind.FORWARDED and items[1].payload == b"hi"
    assert items[2:] == [Event(9, b"d"), Departure(0x33)]
    assert session.stats.malformed_frames == 1
