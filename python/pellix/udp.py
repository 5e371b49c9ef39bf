"""Fire-and-forget frames to the hub's UDP port: publications, frames and
the hub's commands, without a connection, registration or heartbeat.
Nothing comes back, and a datagram that is lost is not noticed; status()
alone waits for the hub's answer. The hub reads at most 2048 bytes of a
datagram, so a frame carries at most 2030 bytes of payload here."""

import select
import socket
import time
from typing import Any, Dict, Optional

from .errors import reason, HubRefused, Refused, SendFailed, StatusUnsupported, Unreachable
from .frame import (ANONYMOUS_ID, CMD_DATA_PRINT, CMD_DUMP_SOCKETS, CMD_PUBLISH, CMD_STATUS, EVENT_SOURCE_ID, HUB_ID,
                    MAX_UDP_PAYLOAD, MIN_FRAME_SIZE, Data, FrameSplitter, as_bytes, build_frame, check_command,
                    check_module_id, check_payload, check_published_event, check_trace_level, decode_frame,
                    CMD_TRACE_LEVEL)
from .hubinfo import STATUS_UNSUPPORTED, UDP_STATUS_REQUEST_BYTES, StatusCollector, need_bytes, parse_status, \
    status_request
from .session import DEFAULT_HOST, DEFAULT_PORT


class UdpSender:
    def __init__(self, host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, src: int = ANONYMOUS_ID) -> None:
        """Resolves the hub's address and opens the socket; frames go out from src."""
        check_module_id(src, "source id")
        if not 1 <= port <= 65535:
            raise Refused(f"port {port} is not 1 to 65535")
        try:
            self._address = socket.getaddrinfo(host, port, socket.AF_INET, socket.SOCK_DGRAM)[0][4]
        except OSError as e:
            raise Unreachable(f"cannot resolve hub host {host}: {reason(e)}") from None
        self.src = src
        self.where = f"{host}:{port}"
        self._sock: Optional[socket.socket] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def close(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self) -> "UdpSender":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def fileno(self) -> int:
        return self._sock.fileno() if self._sock is not None else -1

    def _send(self, dev: int, cmd: int, payload: bytes = b"") -> None:
        self._send_frame(build_frame(dev, self.src, cmd, payload))

    def _send_frame(self, frame: bytes) -> None:
        if self._sock is None:
            raise SendFailed("the UDP sender is closed")
        try:
            self._sock.sendto(frame, self._address)
        except OSError as e:
            raise SendFailed(f"cannot send a datagram to {self.where}: {reason(e)}") from None

    def send(self, dev: int, cmd: int, payload: Data = b"") -> None:
        data = as_bytes(payload)
        check_module_id(dev, "destination")
        check_command(cmd)
        check_payload(len(data), MAX_UDP_PAYLOAD, "datagram payload")
        self._send(dev, cmd, data)

    def publish(self, event: int, data: Data = b"") -> None:
        body = as_bytes(data)
        check_published_event(event)
        check_payload(len(body), MAX_UDP_PAYLOAD - 2, "datagram event data")
        self._send(EVENT_SOURCE_ID, CMD_PUBLISH, bytes((event & 0xFF, event >> 8)) + body)

    def dump_sockets(self) -> None:
        self._send(HUB_ID, CMD_DUMP_SOCKETS)

    def toggle_data_print(self) -> None:
        self._send(HUB_ID, CMD_DATA_PRINT)

    def set_hub_trace_level(self, level: int) -> None:
        check_trace_level(level)
        self._send(HUB_ID, CMD_TRACE_LEVEL, bytes((level, 0, 0, 0)))

    def status(self, timeout: float = 2.0) -> Dict[str, Any]:
        """The hub's status document, from its answer in datagrams. The request
        is padded to UDP_STATUS_REQUEST_BYTES, since the hub answers a datagram
        with at most three times its size. StatusUnsupported when the answer is
        not complete within timeout (a lost part is not sent again, and the hub
        leaves requests beyond its rate unanswered); HubRefused when the hub
        says the document does not fit an answer to a datagram."""
        self._send_frame(status_request(self.src, UDP_STATUS_REQUEST_BYTES))
        assert self._sock is not None
        collector = StatusCollector()
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._sock], [], [], left)[0]:
                raise StatusUnsupported(f"{STATUS_UNSUPPORTED}: no reply within {timeout:g} s")
            try:
                datagram, sender = self._sock.recvfrom(65536)
            except OSError:  # an ICMP error from an earlier send, say
                continue
            if sender != self._address:  # anyone can send a datagram here
                continue
            # One datagram holds whole frames; nothing carries over to the next.
            for raw in FrameSplitter().feed(datagram):
                if len(raw) < MIN_FRAME_SIZE:
                    continue
                frame = decode_frame(raw)
                text = collector.add(frame.payload) if frame.src == HUB_ID and frame.cmd == CMD_STATUS else None
                if text is None:
                    continue
                document = parse_status(text)
                needed = need_bytes(document)
                if needed is not None:
                    raise HubRefused(f"the hub's status (needs a request of {needed} bytes) does not fit an answer "
                                     "to a datagram; ask over TCP or the Unix socket")
                return document
