"""What a connection to the hub knows, without any I/O: the frames to send
on every (re)connect, the subscriptions to restore, and what received bytes
mean. The blocking and the asyncio client both drive one of these."""

import collections
from typing import Any, Callable, Deque, Dict, Iterable, List, NamedTuple, Optional, Set, Tuple, Union

from .errors import Refused
from .frame import (CMD_MONITOR, CMD_PUBLISH, CMD_REGISTER, CMD_REPORT, CMD_STATUS, CMD_SUBSCRIBE, CMD_TRACE_LEVEL,
                    CMD_UNSUBSCRIBE,
                    DEPARTURE_EVENT, EVENT_SOURCE_ID, HUB_ID, MIN_FRAME_SIZE, Data, Frame, FrameSplitter,
                    as_bytes, build_frame, check_command, check_module_id, check_name, check_payload,
                    check_registration_id, check_subscribed_event, check_trace_level, check_withdrawn_event,
                    decode_frame, event_list_frames, parse_departure, parse_publication, publication,
                    MAX_PAYLOAD)
from .hubinfo import (MONITOR_OFF, MONITOR_ON, MonitorKind, MonitorRecord, StatusCollector,
                         decode_monitor_record, report_payload)

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 10032
DEFAULT_UNIX_PATH = "/tmp/qm_sock"


class Event(NamedTuple):
    """A delivery of an event this module subscribed to."""

    event: int
    data: bytes


class Departure(NamedTuple):
    """Event 0: a registered module went away."""

    module: int


class ConnectionChange(NamedTuple):
    """False when the connection is lost, True once it is back (registered
    and subscribed again)."""

    up: bool


Message = Union[Frame, Event, Departure, MonitorRecord, ConnectionChange]


class Stats:
    """Counters for diagnostics and tests."""

    def __init__(self) -> None:
        self.frames_received = 0  # every whole frame cut from the stream
        self.malformed_frames = 0  # too short, or a record that does not decode
        self.heartbeats_sent = 0
        self.reconnects = 0
        self.dropped = 0  # messages dropped because nobody took them in time

    def __repr__(self) -> str:
        return f"Stats({vars(self)})"


class _Registered(NamedTuple):
    pass


class _StatusText(NamedTuple):
    text: bytes


class _Reply(NamedTuple):
    frame: Frame


class Settings:
    """Where the hub is and who this client is; checked once, up front."""

    def __init__(self, module_id: int, name: str, host: str, port: int, unix_path: Optional[str],
                 register: bool, heartbeat: float, reconnect: float, register_timeout: float,
                 queue_size: int) -> None:
        self.name = as_bytes(name)
        if register:
            check_registration_id(module_id)
            check_name(self.name)
        else:
            check_module_id(module_id, "source id")
        if unix_path is not None and not 1 <= len(unix_path.encode()) <= 107:
            raise Refused(f'unix socket path must be 1 to 107 bytes long: "{unix_path}"')
        if not 1 <= port <= 65535:
            raise Refused(f"port {port} is not 1 to 65535")
        if heartbeat < 0 or reconnect <= 0 or register_timeout <= 0 or queue_size < 1:
            raise Refused("heartbeat must be 0 or more, reconnect, register_timeout and queue_size above 0")
        self.module_id = module_id
        self.host, self.port, self.unix_path = host, port, unix_path
        self.register = register
        self.heartbeat, self.reconnect, self.register_timeout = heartbeat, reconnect, register_timeout
        self.queue_size = queue_size

    def where(self) -> str:
        return f"unix socket {self.unix_path}" if self.unix_path else f"{self.host}:{self.port}"


class Session:
    def __init__(self, settings: Settings) -> None:
        self.settings = settings
        self.subscribed: Set[int] = set()
        self.withdrawn: Set[int] = set()
        self.monitoring = False
        self.splitter = FrameSplitter()
        self.status = StatusCollector()
        self.stats = Stats()
        # The request waiting for its reply: (dev, reply cmd or None).
        self.request: Optional[Tuple[int, Optional[int]]] = None

    def restart_stream(self) -> None:
        self.splitter = FrameSplitter()
        self.status.reset()

    def frame(self, dev: int, cmd: int, payload: bytes = b"") -> bytes:
        return build_frame(dev, self.settings.module_id, cmd, payload)

    # What every new connection starts with: the registration, the
    # subscriptions, the withdrawals (a restarted hub brings back every
    # subscription it ever saved) and the monitor if it was on.
    def hello(self) -> bytes:
        out = []
        if self.settings.register:
            out.append(self.frame(HUB_ID, CMD_REGISTER, self.settings.name))
        out += event_list_frames(CMD_SUBSCRIBE, self.settings.module_id, sorted(self.subscribed))
        out += event_list_frames(CMD_UNSUBSCRIBE, self.settings.module_id, sorted(self.withdrawn))
        if self.monitoring:
            out.append(self.frame(HUB_ID, CMD_MONITOR, bytes((MONITOR_ON,))))
        return b"".join(out)

    # -- the calls, as frames: each refuses what the hub could never deliver

    def send_frame(self, dev: int, cmd: int, payload: Data) -> bytes:
        data = as_bytes(payload)
        check_module_id(dev, "destination")
        check_command(cmd)
        check_payload(len(data), MAX_PAYLOAD, "payload")
        return self.frame(dev, cmd, data)

    def request_frame(self, dev: int, cmd: int, payload: Data, reply_cmd: Optional[int]) -> bytes:
        """A request's frame; from now on the first frame from dev (with
        reply_cmd when given) is its reply and reaches no callback."""
        if not self.settings.register:
            raise Refused("request() needs a client that registers: replies go to the id it registered under")
        if EVENT_SOURCE_ID <= dev <= 0xFF:
            raise Refused("frames to 0xe1 and above are event commands: nothing replies to them")
        if reply_cmd is not None:
            check_command(reply_cmd)
        frame = self.send_frame(dev, cmd, payload)
        self.request = (dev, reply_cmd)
        return frame

    def subscribe_frames(self, events: Iterable[int]) -> bytes:
        events = list(events)
        for event in events:
            check_subscribed_event(event)
        self.subscribed.update(events)
        self.withdrawn.difference_update(events)
        return b"".join(event_list_frames(CMD_SUBSCRIBE, self.settings.module_id, events))

    def unsubscribe_frames(self, events: Iterable[int]) -> bytes:
        events = list(events)
        for event in events:
            check_withdrawn_event(event)
        self.subscribed.difference_update(events)
        self.withdrawn.update(events)
        return b"".join(event_list_frames(CMD_UNSUBSCRIBE, self.settings.module_id, events))

    def publish_frame(self, event: int, data: Data) -> bytes:
        return self.frame(EVENT_SOURCE_ID, CMD_PUBLISH, publication(event, as_bytes(data)))

    def trace_level_frame(self, level: int) -> bytes:
        check_trace_level(level)
        return self.frame(HUB_ID, CMD_TRACE_LEVEL, bytes((level, 0, 0, 0)))

    def hub_frame(self, cmd: int) -> bytes:
        return self.frame(HUB_ID, cmd)

    def report_frame(self, counters: Dict[str, Any]) -> bytes:
        return self.frame(HUB_ID, CMD_REPORT, report_payload(counters))

    def monitor_frame(self, on: bool) -> bytes:
        self.monitoring = on
        return self.frame(HUB_ID, CMD_MONITOR, bytes((MONITOR_ON if on else MONITOR_OFF,)))

    # -- received bytes

    def feed(self, data: bytes) -> List[Any]:
        """The messages in data, with the internal _Registered and _StatusText."""
        out: List[Any] = []
        for raw in self.splitter.feed(data):
            self.stats.frames_received += 1
            if len(raw) < MIN_FRAME_SIZE:
                self.stats.malformed_frames += 1
                continue
            item = self.classify(decode_frame(raw))
            if item is not None:
                out.append(item)
        return out

    def classify(self, f: Frame) -> Any:
        if f.src == HUB_ID:
            if f.cmd == CMD_REGISTER and self.settings.register and f.dev == self.settings.module_id:
                return _Registered()
            if f.cmd == CMD_STATUS:
                text = self.status.add(f.payload)
                return None if text is None else _StatusText(text)
            if f.cmd == CMD_MONITOR:
                try:
                    return decode_monitor_record(f.payload)
                except Refused:
                    self.stats.malformed_frames += 1
                    return None
        if self.request is not None and f.src == self.request[0] and self.request[1] in (None, f.cmd):
            self.request = None
            return _Reply(f)
        if f.src == EVENT_SOURCE_ID and f.cmd == CMD_PUBLISH:
            delivery = parse_publication(f.payload)
            if delivery is not None:
                if delivery[0] == DEPARTURE_EVENT:
                    module = parse_departure(f.payload)
                    if module is not None:
                        return Departure(module)
                return Event(*delivery)
        return f


CallbackCall = Tuple[Callable[..., Any], tuple]


class Callbacks:
    """The callbacks a client may be given; a message whose callback is not
    set waits for receive() or the iterator instead."""

    def __init__(self) -> None:
        self.on_frame: Optional[Callable[[Frame], Any]] = None
        self.on_event: Optional[Callable[[int, bytes], Any]] = None
        # Without it, departures go to on_event as event 0 with the module
        # id as their one byte of data.
        self.on_departure: Optional[Callable[[int], Any]] = None
        self.on_monitor: Optional[Callable[[MonitorRecord], Any]] = None
        self.on_connection: Optional[Callable[[bool], Any]] = None

    def call_for(self, item: Message) -> Optional[CallbackCall]:
        if isinstance(item, Frame):
            return (self.on_frame, (item,)) if self.on_frame else None
        if isinstance(item, Event):
            return (self.on_event, tuple(item)) if self.on_event else None
        if isinstance(item, Departure):
            if self.on_departure:
                return self.on_departure, (item.module,)
            return (self.on_event, (DEPARTURE_EVENT, bytes((item.module,)))) if self.on_event else None
        if isinstance(item, MonitorRecord):
            return (self.on_monitor, (item,)) if self.on_monitor else None
        return (self.on_connection, (item.up,)) if self.on_connection else None


def bounded_append(queue: Deque[Any], item: Any, stats: Stats) -> None:
    """Appends to a queue made with maxlen; what falls out is counted."""
    if queue.maxlen is not None and len(queue) == queue.maxlen:
        stats.dropped += 1
    queue.append(item)


def new_queue(size: int) -> Deque[Any]:
    return collections.deque(maxlen=size)


def is_monitor_on(item: Any) -> bool:
    return isinstance(item, MonitorRecord) and item.kind == MonitorKind.MONITOR_ON


def is_monitor_refusal(item: Any) -> bool:
    return isinstance(item, MonitorRecord) and item.kind == MonitorKind.REFUSED
