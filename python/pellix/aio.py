"""The client for asyncio: the calls of the blocking Client as coroutines,
and an async iterator of what arrives.

A task of its own reads the connection, sends the heartbeats and
reconnects (registering, subscribing and switching the monitor on again).
What arrives goes to the callback of its kind when one is set (a coroutine
function is awaited; what a callback raises is logged and counted in
stats.callback_errors), otherwise it waits in a bounded queue, the oldest
dropped and counted, for receive() or ``async for``.
"""

import asyncio
import errno
import inspect
import os
import logging
import socket
from typing import Any, AsyncIterator, Deque, Dict, Iterable, Optional

from .errors import reason, HubRefused, NoReply, NotConnected, SendFailed, StatusUnsupported, Unreachable
from .frame import ANONYMOUS_ID, CMD_DATA_PRINT, CMD_DUMP_SOCKETS, CMD_HEARTBEAT, CMD_STATUS, Data, Frame
from .client import CONNECT_TIMEOUT, READ_SIZE, SEND_TIMEOUT
from .hubinfo import MONITOR_UNSUPPORTED, STATUS_UNSUPPORTED, parse_status
from .session import (DEFAULT_HOST, DEFAULT_PORT, Callbacks, ConnectionChange, Message, Session, Settings, Stats,
                      _Registered, _Reply, _StatusText, bounded_append, is_monitor_on, is_monitor_refusal, new_queue)

log = logging.getLogger("pellix")
DRAIN_ABOVE = 65536


class AsyncClient(Callbacks):
    def __init__(self, module_id: int = ANONYMOUS_ID, name: str = "", *, host: str = DEFAULT_HOST,
                 port: int = DEFAULT_PORT, unix_path: Optional[str] = None, register: bool = True,
                 heartbeat: float = 10.0, reconnect: float = 1.0, register_timeout: float = 3.0,
                 queue_size: int = 10000) -> None:
        """The same settings as Client's."""
        super().__init__()
        self.settings = Settings(module_id, name, host, port, unix_path, register, heartbeat, reconnect,
                                 register_timeout, queue_size)
        self._session = Session(self.settings)
        self.callback_errors = 0
        self._reader: Optional[asyncio.StreamReader] = None
        self._writer: Optional[asyncio.StreamWriter] = None
        self._open = False
        self._registered = False
        self._inbox: Deque[Any] = new_queue(queue_size)
        self._arrived: Optional[asyncio.Event] = None
        self._changed: Optional[asyncio.Event] = None  # registration, status text, monitor confirmation
        self._status_text: Optional[bytes] = None
        self._reply: Optional[Frame] = None
        self._monitor_confirmed = False
        self._monitor_refusal: Optional[str] = None
        self._tasks: list = []
        self._send_lock: Optional[asyncio.Lock] = None

    @property
    def stats(self) -> Stats:
        return self._session.stats

    @property
    def connected(self) -> bool:
        return self._writer is not None

    @property
    def registered(self) -> bool:
        return self._writer is not None and self._registered

    # -- connection ------------------------------------------------------------

    async def _open_stream(self, timeout: float) -> None:
        s = self.settings
        try:
            if s.unix_path:
                opening = asyncio.open_unix_connection(s.unix_path, limit=READ_SIZE)
            else:
                opening = asyncio.open_connection(s.host, s.port, limit=READ_SIZE)
            self._reader, self._writer = await asyncio.wait_for(opening, timeout)
        except (OSError, asyncio.TimeoutError) as e:
            raise Unreachable(f"cannot reach the hub at {s.where()}: "
                              f"{reason(e)}") from None
        sock = self._writer.get_extra_info("socket")
        if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._session.restart_stream()
        self._registered = False
        await self._write(self._session.hello(), "registration")

    async def connect(self) -> "AsyncClient":
        """Connects, registers and waits for the reply, then subscribes."""
        await self.close()
        self._arrived, self._changed = asyncio.Event(), asyncio.Event()
        self._send_lock = asyncio.Lock()
        await self._open_stream(CONNECT_TIMEOUT)
        self._open = True
        self._tasks = [asyncio.ensure_future(self._read_loop())]
        if self.settings.heartbeat > 0:
            self._tasks.append(asyncio.ensure_future(self._heartbeat_loop()))
        if self.settings.register:
            try:
                await self._wait_for(lambda: self._registered, self.settings.register_timeout, "registration reply")
            except (StatusUnsupported, NotConnected) as e:
                await self.close()
                raise NoReply(f"no registration reply from the hub at {self.settings.where()} within "
                              f"{self.settings.register_timeout:g} s") from e
        return self

    async def close(self) -> None:
        """Ends the connection and the reconnecting; subscriptions are kept."""
        self._open = False
        tasks, self._tasks = self._tasks, []
        for task in tasks:
            if task is not asyncio.current_task():
                task.cancel()
        for task in tasks:
            if task is not asyncio.current_task():
                try:
                    await task
                except (asyncio.CancelledError, Exception):
                    pass
        self._drop_link()
        if self._arrived is not None:
            self._arrived.set()  # wakes receive() and the iterators

    async def __aenter__(self) -> "AsyncClient":
        return self if self._open else await self.connect()

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()

    def _drop_link(self) -> None:
        if self._writer is not None:
            self._writer.close()
        self._reader = self._writer = None
        self._registered = False

    async def _read_loop(self) -> None:
        awaiting_restore = False
        while self._open:
            if self._reader is None:
                await asyncio.sleep(self.settings.reconnect)
                try:
                    await self._open_stream(min(CONNECT_TIMEOUT, self.settings.reconnect))
                except (Unreachable, SendFailed):
                    self._drop_link()
                    continue
                self.stats.reconnects += 1
                awaiting_restore = self.settings.register
                if not awaiting_restore:
                    await self._take(ConnectionChange(True))
            reader = self._reader
            assert reader is not None
            try:
                if awaiting_restore:
                    # A hub that never answers leaves the module registered
                    # nowhere: a fresh connection gets another chance.
                    data = await asyncio.wait_for(reader.read(READ_SIZE), self.settings.register_timeout)
                else:
                    data = await reader.read(READ_SIZE)
            except asyncio.TimeoutError:
                self._drop_link()
                continue
            except OSError:
                data = b""
            if not data:
                self._drop_link()
                if not awaiting_restore:
                    await self._take(ConnectionChange(False))
                continue
            for item in self._session.feed(data):
                if isinstance(item, _Registered) and awaiting_restore:
                    awaiting_restore = False
                    await self._take(item)
                    await self._take(ConnectionChange(True))
                else:
                    await self._take(item)

    async def _heartbeat_loop(self) -> None:
        while self._open:
            await asyncio.sleep(self.settings.heartbeat)
            if self._writer is not None:
                try:
                    await self.heartbeat()
                except (SendFailed, NotConnected):
                    pass

    async def _take(self, item: Any) -> None:
        assert self._changed is not None and self._arrived is not None
        if isinstance(item, _Registered):
            self._registered = True
            self._changed.set()
            return
        if isinstance(item, _StatusText):
            self._status_text = item.text
            self._changed.set()
            return
        if isinstance(item, _Reply):
            self._reply = item.frame
            self._changed.set()
            return
        if is_monitor_on(item):
            self._monitor_confirmed = True
            self._changed.set()
        elif is_monitor_refusal(item):
            self._monitor_refusal = item.reason
            self._session.monitoring = False
            self._changed.set()
        call = self.call_for(item)
        if call is None:
            bounded_append(self._inbox, item, self.stats)
            self._arrived.set()
            return
        try:
            result = call[0](*call[1])
            if inspect.isawaitable(result):
                await result
        except Exception:
            self.callback_errors += 1
            log.exception("pellix: a callback raised")

    async def _wait_for(self, done: Any, timeout: float, what: str) -> None:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        assert self._changed is not None
        while not done():
            left = deadline - loop.time()
            if left <= 0:
                raise StatusUnsupported(f"no {what} within {timeout:g} s")
            if not self._open:
                raise NotConnected(f"the client was closed before the {what} came")
            self._changed.clear()
            try:
                await asyncio.wait_for(self._changed.wait(), min(left, 0.1))
            except asyncio.TimeoutError:
                pass

    # -- sending ---------------------------------------------------------------

    async def _write(self, data: bytes, what: str) -> None:
        writer = self._writer
        if writer is None:
            raise NotConnected(f"not connected to the hub; the {what} was not sent")
        try:
            if writer.transport.is_closing():
                raise ConnectionResetError(errno.ECONNRESET, os.strerror(errno.ECONNRESET))
            writer.write(data)
            # Waiting for the buffer to drain only when it has grown keeps
            # small frames cheap; a hub that takes nothing for SEND_TIMEOUT
            # drops the connection.
            if writer.transport.get_write_buffer_size() > DRAIN_ABOVE:
                assert self._send_lock is not None
                async with self._send_lock:  # concurrent drains fail before Python 3.10
                    await asyncio.wait_for(writer.drain(), SEND_TIMEOUT)
        except (OSError, asyncio.TimeoutError) as e:
            if self._writer is writer:
                self._drop_link()  # the read loop reconnects
            raise SendFailed(f"the hub at {self.settings.where()} did not take the {what}: "
                             f"{reason(e)}") from None

    async def send(self, dev: int, cmd: int, payload: Data = b"") -> None:
        await self._write(self._session.send_frame(dev, cmd, payload), "frame")

    async def subscribe(self, events: Iterable[int]) -> None:
        frames = self._session.subscribe_frames(events)
        if self._writer is not None:
            await self._write(frames, "subscription")

    async def unsubscribe(self, events: Iterable[int]) -> None:
        frames = self._session.unsubscribe_frames(events)
        if self._writer is not None:
            await self._write(frames, "unsubscription")

    async def publish(self, event: int, data: Data = b"") -> None:
        await self._write(self._session.publish_frame(event, data), "publication")

    async def heartbeat(self) -> None:
        await self._write(self._session.hub_frame(CMD_HEARTBEAT), "heartbeat")
        self.stats.heartbeats_sent += 1

    async def dump_sockets(self) -> None:
        await self._write(self._session.hub_frame(CMD_DUMP_SOCKETS), "dump command")

    async def toggle_data_print(self) -> None:
        await self._write(self._session.hub_frame(CMD_DATA_PRINT), "data print command")

    async def set_hub_trace_level(self, level: int) -> None:
        await self._write(self._session.trace_level_frame(level), "trace level command")

    async def report(self, counters: Dict[str, Any]) -> None:
        """Hands the hub this module's counters (a dict, at most 1024 bytes as
        JSON), shown under this connection in its status."""
        await self._write(self._session.report_frame(counters), "report")

    async def status(self, timeout: float = 2.0) -> Dict[str, Any]:
        """The hub's status document; StatusUnsupported when no reply comes
        within timeout."""
        self._status_text = None
        await self._write(self._session.hub_frame(CMD_STATUS), "status request")
        try:
            await self._wait_for(lambda: self._status_text is not None, timeout, "status reply")
        except StatusUnsupported:
            raise StatusUnsupported(f"{STATUS_UNSUPPORTED}: no reply within {timeout:g} s") from None
        assert self._status_text is not None
        return parse_status(self._status_text)

    async def request(self, dev: int, cmd: int, payload: Data = b"", timeout: float = 2.0,
                      reply_cmd: Optional[int] = None) -> Frame:
        """As Client.request."""
        frame = self._session.request_frame(dev, cmd, payload, reply_cmd)
        self._reply = None
        try:
            await self._write(frame, "request")
            try:
                await self._wait_for(lambda: self._reply is not None, timeout, "reply")
            except StatusUnsupported:
                raise NoReply(f"no reply from 0x{dev:02x} within {timeout:g} s") from None
            assert self._reply is not None
            return self._reply
        finally:
            self._session.request = None
            self._reply = None

    async def monitor(self, on: bool = True, timeout: Optional[float] = 2.0) -> None:
        """As Client.monitor."""
        self._monitor_confirmed = False
        self._monitor_refusal = None
        await self._write(self._session.monitor_frame(on), "monitor switch")
        if on and timeout is not None:
            try:
                await self._wait_for(lambda: self._monitor_confirmed or self._monitor_refusal is not None, timeout,
                                     "monitor confirmation")
            except StatusUnsupported:
                raise StatusUnsupported(f"{MONITOR_UNSUPPORTED}: no reply within {timeout:g} s") from None
            if not self._monitor_confirmed:
                raise HubRefused(f"the hub at {self.settings.where()} refused the monitor: {self._monitor_refusal}")

    # -- receiving -------------------------------------------------------------

    async def receive(self, timeout: Optional[float] = None) -> Optional[Message]:
        """The next message no callback took; None after timeout or close()."""
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        while not self._inbox:
            if not self._open or self._arrived is None:
                return None
            self._arrived.clear()
            left = None if deadline is None else deadline - loop.time()
            if left is not None and left <= 0:
                return None
            try:
                await asyncio.wait_for(self._arrived.wait(), left)
            except asyncio.TimeoutError:
                return None
        return self._inbox.popleft()

    def __aiter__(self) -> AsyncIterator[Message]:
        return self._messages()

    async def _messages(self) -> AsyncIterator[Message]:
        while True:
            item = await self.receive()
            if item is None:
                return
            yield item
