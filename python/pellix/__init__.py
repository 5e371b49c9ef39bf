"""Python SDK of the Pellix message hub: the frame codec, a blocking and an
asyncio client, a UDP sender, and ``python -m pellix``.

    from pellix import Client

    with Client(0x42, "rig-probe", port=10032) as hub:
        hub.subscribe([0, 100])
        hub.publish(101, b"ready")
        for message in hub:
            print(message)
"""

from .aio import AsyncClient
from .client import Client, ask_status
from .errors import (Busy, HubRefused, NoReply, NotConnected, PellixError, Refused, SendFailed, StatusUnsupported,
                     Unreachable)
from .frame import (ANONYMOUS_ID, EVENT_SOURCE_ID, HUB_ID, MAX_EVENT, MAX_EVENT_DATA, MAX_MODULE_ID, MAX_PAYLOAD,
                    MAX_UDP_PAYLOAD, Frame, FrameSplitter, build_frame, decode_frame)
from .hubinfo import MonitorKind, MonitorRecord, StatusCollector, decode_monitor_record, parse_status
from .session import DEFAULT_HOST, DEFAULT_PORT, DEFAULT_UNIX_PATH, ConnectionChange, Departure, Event, Message, Stats
from .udp import UdpSender

__version__ = "0.1.0"

__all__ = [
    "AsyncClient", "Client", "ask_status", "UdpSender",
    "PellixError", "Refused", "NotConnected", "Unreachable", "SendFailed", "NoReply", "StatusUnsupported", "Busy",
    "HubRefused",
    "Frame", "Event", "Departure", "ConnectionChange", "MonitorRecord", "MonitorKind", "Message", "Stats",
    "FrameSplitter", "build_frame", "decode_frame", "StatusCollector", "decode_monitor_record", "parse_status",
    "HUB_ID", "EVENT_SOURCE_ID", "ANONYMOUS_ID", "MAX_MODULE_ID", "MAX_EVENT", "MAX_PAYLOAD", "MAX_EVENT_DATA",
    "MAX_UDP_PAYLOAD", "DEFAULT_HOST", "DEFAULT_PORT", "DEFAULT_UNIX_PATH",
]
