"""A module's blocking connection to the hub over TCP or the Unix socket.

connect() reaches the hub, registers and waits (bounded) for the hub's
reply. From then on the client sends heartbeats by itself, and when the
connection is lost it reconnects, registers, subscribes again and switches
the monitor on again. All of that happens inside poll() (or receive(), run()
and iteration, which call it): call it at least every 100 ms or so, or watch
fileno() in a select of your own and call poll(0) when it is readable.

What arrives goes to the callback of its kind when one is set, otherwise it
waits (in a bounded queue, the oldest dropped and counted) for receive() or
iteration. A callback may send, subscribe, publish and close, but not poll,
connect or ask for the status (those raise Busy); what it raises leaves
poll() and the rest is delivered by the next one. One thread at a time.
"""

import select
import socket
import time
from typing import Any, Dict, Iterable, Iterator, List, Optional

from .errors import reason, Busy, HubRefused, NoReply, NotConnected, SendFailed, StatusUnsupported, Unreachable
from .frame import ANONYMOUS_ID, CMD_DATA_PRINT, CMD_DUMP_SOCKETS, CMD_HEARTBEAT, CMD_STATUS, Data, Frame
from .hubinfo import MONITOR_UNSUPPORTED, STATUS_UNSUPPORTED, parse_status
from .session import (DEFAULT_HOST, DEFAULT_PORT, Callbacks, ConnectionChange, Message, Session, Settings, Stats,
                      _Registered, _Reply, _StatusText, bounded_append, is_monitor_on, is_monitor_refusal, new_queue)

# A send the hub does not take within this time drops the connection (the
# hub's own send timeout).
SEND_TIMEOUT = 10.0
CONNECT_TIMEOUT = 3.0
READ_SIZE = 65536
# Reads served in one pass before timers get their turn again.
READS_PER_PASS = 16


def open_stream(settings: Settings, timeout: float) -> socket.socket:
    """A connected stream socket to the hub; Unreachable when it cannot be had."""
    try:
        if settings.unix_path:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.settimeout(timeout)
                sock.connect(settings.unix_path)
            except BaseException:
                sock.close()
                raise
        else:
            sock = socket.create_connection((settings.host, settings.port), timeout=timeout)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    except OSError as e:
        raise Unreachable(f"cannot reach the hub at {settings.where()}: {reason(e)}") from None
    sock.settimeout(SEND_TIMEOUT)
    return sock


class Client(Callbacks):
    def __init__(self, module_id: int = ANONYMOUS_ID, name: str = "", *, host: str = DEFAULT_HOST,
                 port: int = DEFAULT_PORT, unix_path: Optional[str] = None, register: bool = True,
                 heartbeat: float = 10.0, reconnect: float = 1.0, register_timeout: float = 3.0,
                 queue_size: int = 10000) -> None:
        """module_id and name: what to register under (0x00 or 0x02 to 0xE0);
        the hub kills the processes of this name when the connection falls
        silent. register=False only connects, for senders (frames then go
        out from module_id, 0xFE by default). unix_path selects the Unix
        socket instead of TCP. Times are in seconds; heartbeat=0 sends none."""
        super().__init__()
        self.settings = Settings(module_id, name, host, port, unix_path, register, heartbeat, reconnect,
                                 register_timeout, queue_size)
        self._session = Session(self.settings)
        self._sock: Optional[socket.socket] = None
        self._open = False  # from connect() until close()
        self._registered = False
        self._awaiting_restore = False  # reconnected, registration reply still to come
        self._ever_connected = False
        self._registration_sent_at = 0.0
        self._next_heartbeat = 0.0
        self._next_reconnect = 0.0
        self._inbox = new_queue(queue_size)  # for receive() and iteration
        self._calls = new_queue(queue_size)  # callbacks still to make
        self._status_text: Optional[bytes] = None
        self._reply: Optional[Frame] = None
        self._monitor_confirmed = False
        self._monitor_refusal: Optional[str] = None  # the hub's reason, since the last switch-on
        self._depth = 0
        self._stop = False

    # -- connection ------------------------------------------------------------

    @property
    def stats(self) -> Stats:
        return self._session.stats

    @property
    def connected(self) -> bool:
        return self._sock is not None

    @property
    def registered(self) -> bool:
        return self._sock is not None and self._registered

    @property
    def subscriptions(self) -> List[int]:
        return sorted(self._session.subscribed)

    def fileno(self) -> int:
        """The descriptor to watch for reading, -1 while disconnected; it
        changes with every reconnect."""
        return self._sock.fileno() if self._sock is not None else -1

    def connect(self) -> "Client":
        """Connects, registers and waits for the reply, then subscribes.
        Unreachable when the hub cannot be reached (nothing is retried then),
        NoReply when it did not answer in time."""
        self._not_in_callback("connect()")
        self._drop_link()
        self._sock = open_stream(self.settings, CONNECT_TIMEOUT)
        self._open = True
        self._ever_connected = False
        self._start_stream()
        if self.settings.register:
            while not self._registered:
                if self._sock is None:
                    self._open = False
                    raise NoReply(f"the hub at {self.settings.where()} closed the connection before it answered "
                                  "the registration")
                left = self.settings.register_timeout - (time.monotonic() - self._registration_sent_at)
                if left <= 0:
                    self.close()
                    raise NoReply(f"no registration reply from the hub at {self.settings.where()} within "
                                  f"{self.settings.register_timeout:g} s")
                self._pump(min(left, 0.1))
        self._ever_connected = True
        return self

    def close(self) -> None:
        """Ends the connection (what was sent is still delivered) and the
        reconnecting; subscriptions are remembered for the next connect()."""
        self._drop_link()
        self._open = False

    def __enter__(self) -> "Client":
        return self if self._open else self.connect()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def _drop_link(self) -> None:
        if self._sock is not None:
            self._sock.close()
            self._sock = None
        self._registered = False
        self._awaiting_restore = False

    def _start_stream(self) -> None:
        """A new connection: registration, subscriptions, monitor."""
        now = time.monotonic()
        self._session.restart_stream()
        self._registered = False
        self._registration_sent_at = now
        self._next_heartbeat = now + self.settings.heartbeat
        self._write(self._session.hello(), "registration")

    def _lost(self) -> None:
        was_awaiting = self._awaiting_restore
        self._drop_link()
        self._next_reconnect = time.monotonic() + self.settings.reconnect
        if self._open and not was_awaiting:
            self._take(ConnectionChange(False))

    def _reconnect(self) -> None:
        try:
            self._sock = open_stream(self.settings, min(CONNECT_TIMEOUT, self.settings.reconnect))
        except Unreachable:
            self._next_reconnect = time.monotonic() + self.settings.reconnect
            return
        self.stats.reconnects += 1
        # The loss has been reported; the return is, once the hub answers.
        self._awaiting_restore = True
        try:
            self._start_stream()
        except SendFailed:
            return
        if not self.settings.register:
            self._awaiting_restore = False
            self._take(ConnectionChange(True))

    # -- sending ---------------------------------------------------------------

    def _write(self, data: bytes, what: str) -> None:
        if self._sock is None:
            raise NotConnected(f"not connected to the hub; the {what} was not sent")
        try:
            self._sock.sendall(data)
        except OSError as e:
            # Part of the frame may have gone out; a new connection starts clean.
            self._lost()
            raise SendFailed(f"the hub at {self.settings.where()} did not take the {what}: "
                             f"{reason(e)}") from None

    def send(self, dev: int, cmd: int, payload: Data = b"") -> None:
        """One frame to a module (or the hub, or the event manager) with a
        16-bit command; at most 65529 bytes of payload."""
        self._write(self._session.send_frame(dev, cmd, payload), "frame")

    def subscribe(self, events: Iterable[int]) -> None:
        """Events 0 to 0x7FFF (0 brings departure notices). Remembered and
        sent again after every reconnect; while disconnected only remembered."""
        frames = self._session.subscribe_frames(events)
        if self._sock is not None:
            self._write(frames, "subscription")

    def unsubscribe(self, events: Iterable[int]) -> None:
        """Any 16-bit event; withdrawn again after every reconnect, since a
        restarted hub brings back every subscription it ever saved."""
        frames = self._session.unsubscribe_frames(events)
        if self._sock is not None:
            self._write(frames, "unsubscription")

    def publish(self, event: int, data: Data = b"") -> None:
        """Events 1 to 0x7FFF with at most 65527 bytes of data."""
        self._write(self._session.publish_frame(event, data), "publication")

    def heartbeat(self) -> None:
        self._write(self._session.hub_frame(CMD_HEARTBEAT), "heartbeat")
        self.stats.heartbeats_sent += 1

    def dump_sockets(self) -> None:
        """The hub prints its socket and timer tables on its standard output."""
        self._write(self._session.hub_frame(CMD_DUMP_SOCKETS), "dump command")

    def toggle_data_print(self) -> None:
        """Switches the hub's hex dumps of all traffic on or off."""
        self._write(self._session.hub_frame(CMD_DATA_PRINT), "data print command")

    def set_hub_trace_level(self, level: int) -> None:
        """The hub's trace level, 0 (fatal only) to 6 (debug)."""
        self._write(self._session.trace_level_frame(level), "trace level command")

    def report(self, counters: Dict[str, Any]) -> None:
        """Hands the hub this module's counters (a dict, at most 1024 bytes as
        JSON), shown under this connection in its status."""
        self._write(self._session.report_frame(counters), "report")

    def status(self, timeout: float = 2.0) -> Dict[str, Any]:
        """The hub's status document. StatusUnsupported when no reply comes
        within timeout."""
        self._not_in_callback("status()")
        self._status_text = None
        self._write(self._session.hub_frame(CMD_STATUS), "status request")
        deadline = time.monotonic() + timeout
        while self._status_text is None:
            self._wait_step(deadline, f"{STATUS_UNSUPPORTED}: no reply within {timeout:g} s", "status reply")
        return parse_status(self._status_text)

    def request(self, dev: int, cmd: int, payload: Data = b"", timeout: float = 2.0,
                reply_cmd: Optional[int] = None) -> Frame:
        """Sends one frame to module dev and returns the first frame that
        comes back from dev (with command reply_cmd when given); it reaches
        no callback and no queue. Everything else is served meanwhile. The
        client must register (replies go to its id); NoReply when nothing
        came within timeout."""
        self._not_in_callback("request()")
        frame = self._session.request_frame(dev, cmd, payload, reply_cmd)
        self._reply = None
        try:
            self._write(frame, "request")
            deadline = time.monotonic() + timeout
            while self._reply is None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise NoReply(f"no reply from 0x{dev:02x} within {timeout:g} s")
                if self._sock is None:
                    raise NotConnected("the connection to the hub was lost before the reply came")
                self._pump(min(left, 0.1))
            return self._reply
        finally:
            self._session.request = None
            self._reply = None

    def monitor(self, on: bool = True, timeout: Optional[float] = 2.0) -> None:
        """Switches the monitor on (it stays on across reconnects) or off.
        Switching on waits at most timeout for the hub's confirmation, a
        MONITOR_ON record that is delivered like every other record;
        timeout=None does not wait. HubRefused, with the hub's reason, when
        the hub has as many monitors as it takes (a REFUSED record; after a
        reconnect it only arrives as such, and the monitor stays off)."""
        self._monitor_confirmed = False
        self._monitor_refusal = None
        self._write(self._session.monitor_frame(on), "monitor switch")
        if not on or timeout is None:
            return
        self._not_in_callback("monitor()")
        deadline = time.monotonic() + timeout
        while not self._monitor_confirmed and self._monitor_refusal is None:
            self._wait_step(deadline, f"{MONITOR_UNSUPPORTED}: no reply within {timeout:g} s", "monitor confirmation")
        if not self._monitor_confirmed:
            raise HubRefused(f"the hub at {self.settings.where()} refused the monitor: {self._monitor_refusal}")

    def _wait_step(self, deadline: float, unanswered: str, what: str) -> None:
        left = deadline - time.monotonic()
        if left <= 0:
            raise StatusUnsupported(unanswered)
        if self._sock is None:
            raise NotConnected(f"the connection to the hub was lost before the {what} came")
        self._pump(min(left, 0.1))

    # -- receiving -------------------------------------------------------------

    def _not_in_callback(self, what: str) -> None:
        if self._depth > 0:
            raise Busy(f"{what} cannot be called from a callback")

    def _take(self, item: Any) -> None:
        if isinstance(item, _Registered):
            if not self._registered:
                self._registered = True
                if self._awaiting_restore:
                    self._awaiting_restore = False
                    self._take(ConnectionChange(True))
            return
        if isinstance(item, _StatusText):
            self._status_text = item.text
            return
        if isinstance(item, _Reply):
            self._reply = item.frame
            return
        if is_monitor_on(item):
            self._monitor_confirmed = True
        elif is_monitor_refusal(item):
            self._monitor_refusal = item.reason
            self._session.monitoring = False  # not switched on again after a reconnect
        call = self.call_for(item)
        if call is not None:
            bounded_append(self._calls, call, self.stats)
        else:
            bounded_append(self._inbox, item, self.stats)

    def _timers(self, now: float) -> float:
        """Runs what is due; returns when the next thing is due."""
        if not self._open:
            return now + 3600
        if self._sock is None:
            if now >= self._next_reconnect:
                self._reconnect()
            if self._sock is None:
                return self._next_reconnect
        if self._awaiting_restore and now - self._registration_sent_at > self.settings.register_timeout:
            # A hub that took the connection but never answers leaves the
            # module registered nowhere: a fresh connection gets another chance.
            self._lost()
            return self._next_reconnect
        if self.settings.heartbeat > 0 and now >= self._next_heartbeat:
            self._next_heartbeat = now + self.settings.heartbeat
            try:
                self.heartbeat()
            except SendFailed:
                return self._next_reconnect
        due = self._next_heartbeat if self.settings.heartbeat > 0 else now + 3600
        if self._awaiting_restore:
            due = min(due, self._registration_sent_at + self.settings.register_timeout)
        return due

    def _pump(self, timeout: float) -> None:
        """One pass: timers, then what can be read within timeout."""
        now = time.monotonic()
        wait = max(0.0, min(timeout, self._timers(now) - now))
        if self._sock is None:
            if wait > 0:
                time.sleep(wait)
            return
        for _ in range(READS_PER_PASS):
            sock = self._sock
            if sock is None or not select.select([sock], [], [], wait)[0]:
                return
            wait = 0.0
            try:
                data = sock.recv(READ_SIZE)
            except (BlockingIOError, InterruptedError, socket.timeout):
                return
            except OSError:
                data = b""
            if not data:
                self._lost()
                return
            for item in self._session.feed(data):
                self._take(item)

    def poll(self, timeout: float = 0.0) -> int:
        """Runs the timers, waits at most timeout seconds for data, serves it
        and makes the callbacks; returns the number of messages waiting for
        receive()."""
        self._not_in_callback("poll()")
        self._pump(timeout)
        while self._calls:
            callback, args = self._calls.popleft()
            self._depth += 1
            try:
                callback(*args)
            finally:
                self._depth -= 1
        return len(self._inbox)

    def receive(self, timeout: Optional[float] = None) -> Optional[Message]:
        """The next message no callback took, or None when none came within
        timeout (None: wait as long as the client is open)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._inbox:
            if not self._open or self._stop:
                return None
            left = 0.1 if deadline is None else deadline - time.monotonic()
            if left <= 0:
                return None
            self.poll(min(left, 0.1))
        return self._inbox.popleft()

    def __iter__(self) -> Iterator[Message]:
        """Every message no callback took, until close() or stop()."""
        self._stop = False
        while self._open and not self._stop:
            item = self.receive(0.1)
            if item is not None:
                yield item

    def run(self) -> None:
        """poll() until stop()."""
        self._stop = False
        while not self._stop:
            self.poll(0.1)

    def stop(self) -> None:
        """Ends run() and iteration; may come from a callback or a signal handler."""
        self._stop = True


def ask_status(host: str = DEFAULT_HOST, port: int = DEFAULT_PORT, unix_path: Optional[str] = None,
               timeout: float = 2.0) -> Dict[str, Any]:
    """The status document, over a connection of its own that registers nothing."""
    with Client(register=False, heartbeat=0, host=host, port=port, unix_path=unix_path) as client:
        return client.status(timeout)

