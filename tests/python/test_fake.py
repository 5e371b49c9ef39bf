"""The SDK against a stand-in hub (conftest.FakeHub) that answers with what a
test gives: hostile status documents, the hub's refusal of a monitor, and
the datagram status with its padded request and its refusal."""

import asyncio
import time

import pytest

from pellix import AsyncClient, Client, HubRefused, MonitorKind, PellixError, StatusUnsupported, UdpSender
from pellix.frame import CMD_MONITOR, CMD_STATUS, HUB_ID, MAX_UDP_FRAME, build_frame
from pellix.hubinfo import encode_monitor_record, parse_status, status_part


def reply(text: bytes, size: int = 16384) -> bytes:
    """A whole status reply in parts, as the hub sends it to 0xFE."""
    pieces = [text[i:i + size] for i in range(0, len(text), size)] or [b""]
    return b"".join(build_frame(0xFE, HUB_ID, CMD_STATUS, status_part(n + 1, len(pieces), p))
                    for n, p in enumerate(pieces))


def hostile(depth: int) -> dict:
    return {
        "deep arrays": b'{"a":' + b"[" * depth + b"]" * depth + b"}",
        "deep objects": b'{"a":' * depth + b"1" + b"}" * depth,
        "65 levels": b'{"a":' * 65 + b"1" + b"}" * 65,
        "invalid UTF-8": b'{"version":"\xff\xfe\xc3"}',
        "truncated": b'{"version":"0.1',
    }


STREAM_HOSTILE = hostile(200_000)


def blocking_status(port: int) -> dict:
    with Client(register=False, heartbeat=0, port=port) as c:
        return c.status(5)


def asyncio_status(port: int) -> dict:
    async def ask():
        async with AsyncClient(register=False, heartbeat=0, port=port) as c:
            return await c.status(5)
    return asyncio.run(ask())


@pytest.mark.parametrize("name", STREAM_HOSTILE)
@pytest.mark.parametrize("ask", [parse_status, blocking_status, asyncio_status])
def test_hostile_status_documents_raise_the_sdks_error(fake_hub, ask, name):
    text = STREAM_HOSTILE[name]
    with pytest.raises(PellixError, match="the hub's status reply is not a JSON document"):
        ask(text) if ask is parse_status else ask(fake_hub(reply(text)).port)


def test_depth_within_the_bound_is_a_document():
    assert parse_status(b'{"a":' * 63 + b"1" + b"}" * 63)["a"]


@pytest.mark.parametrize("answer, outcome", [
    (b'{"version":"x"}', {"version": "x"}),
    (b'{"needBytes":9000,"version":"x"}', {"needBytes": 9000, "version": "x"}),  # a document
    (b'{"needBytes": 9000}', r"^the hub's status \(needs a request of 9000 bytes\) does not fit an answer to a "
                             r"datagram; ask over TCP or the Unix socket$"),
    (hostile(5000)["deep arrays"], "not a JSON document: nested deeper than 64 levels"),
    (None, "does not answer status requests"),
], ids=["document", "needBytes among others", "needBytes", "deep", "silent"])
def test_datagram_status(fake_hub, answer, outcome):
    hub = fake_hub(b"" if answer is None else reply(answer, 1024))
    with UdpSender(port=hub.port) as udp:
        if isinstance(outcome, dict):
            assert udp.status(5) == outcome
        else:
            error = StatusUnsupported if answer is None else HubRefused if b"needBytes" in answer else PellixError
            with pytest.raises(error, match=outcome):
                udp.status(0.3 if answer is None else 5)
    assert [len(d) for d in hub.datagrams] == [MAX_UDP_FRAME]
    assert hub.datagrams[0][13:-5] == bytes(MAX_UDP_FRAME - 18)  # zero bytes, which the hub ignores


@pytest.mark.parametrize("flavour", ["blocking", "asyncio"])
def test_monitor_refusal_raises_at_once(fake_hub, flavour):
    refusal = encode_monitor_record(MonitorKind.REFUSED, 0, 0, 0, 0, b"8 monitors\x1b[2J already", 0)
    hub = fake_hub(build_frame(0xFE, HUB_ID, CMD_MONITOR, refusal))
    expected = rf"^the hub at 127.0.0.1:{hub.port} refused the monitor: 8 monitors.\[2J already$"
    start = time.monotonic()
    if flavour == "blocking":
        with Client(register=False, heartbeat=0, port=hub.port) as c, pytest.raises(HubRefused, match=expected):
            c.monitor(True, timeout=10)
        record = c.receive(0)
    else:
        async def scenario():
            async with AsyncClient(register=False, heartbeat=0, port=hub.port) as c:
                with pytest.raises(HubRefused, match=expected):
                    await c.monitor(True, timeout=10)
                return await c.receive(0)
        record = asyncio.run(scenario())
    assert time.monotonic() - start < 5, "waited for the time-out"
    assert (record.label, record.reason) == ("refused", "8 monitors.[2J already")
