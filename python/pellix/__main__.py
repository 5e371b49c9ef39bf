"""python -m pellix: send, call, listen, pub, sub, status and monitor as
pellix-cli does them, with the same lines and the same --json objects, for
machines where only Python is installed; --version prints the package's
version, the project's. Without --tcp or --unix the hub is at $PELLIX_HUB
(tcp:HOST:PORT or unix:PATH) when it is set. Exit status: 0 done; 1 the hub
could not be reached or did not take the frame; 2 bad arguments; 3 --timeout
came before --count or before call's reply; 4 the hub refused the monitor; 5
no module is registered under call's DEST."""

import argparse
import json
import os
import signal
import sys
import time
from datetime import datetime
from typing import Any, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

from . import __version__
from .client import Client
from .errors import HubRefused, NoReply, PellixError, Refused
from .frame import (ANONYMOUS_ID, CMD_PUBLISH, MAX_EVENT_DATA, MAX_MODULE_ID, MAX_PAYLOAD, MAX_UDP_PAYLOAD, Frame,
                    check_published_event, check_registration_id, check_subscribed_event)
from .hubinfo import MonitorKind, MonitorRecord
from .session import DEFAULT_HOST, DEFAULT_PORT, ConnectionChange, Departure, Event
from .udp import UdpSender

EXIT_OK, EXIT_HUB, EXIT_USAGE, EXIT_TIMEOUT, EXIT_REFUSED, EXIT_NOBODY = 0, 1, 2, 3, 4, 5
PROG = "python -m pellix"


class UsageError(Exception):
    pass


def number(what: str, text: str, low: int, high: int) -> int:
    """Decimal, or hexadecimal after "0x"; nothing else, no sign."""
    digits, base = (text[2:], 16) if text[:2].lower() == "0x" and len(text) > 2 else (text, 10)
    allowed = "0123456789abcdefABCDEF" if base == 16 else "0123456789"
    if digits and all(c in allowed for c in digits) and low <= int(digits, base) <= high:
        return int(digits, base)
    raise UsageError(f'{what} must be a number from {low} to {high} (0x{high:x}), not "{text}"')


def event_number(text: str, published: bool) -> int:
    value = number("EVENT", text, 0, 0xFFFF) if text else -1
    try:
        (check_published_event if published else check_subscribed_event)(value)
    except Refused as e:
        if value == 0:
            raise UsageError(str(e)) from None
        where = "publications match events 1 to 0x7fff only" if published else "subscribe to events 0 to 0x7fff only"
        raise UsageError(f"event {text} can never be delivered: {where}") from None
    return value


def hex_bytes(text: str) -> bytes:
    """Pairs of hex digits; blanks, ':' and '-' between the pairs are skipped."""
    out, pair = bytearray(), ""
    for c in text:
        if c in " \t:-":
            if pair:
                raise UsageError(f'--hex: a separator splits a byte in "{text}"')
            continue
        if c not in "0123456789abcdefABCDEF":
            raise UsageError(f"--hex: '{c}' is not a hex digit")
        pair += c
        if len(pair) == 2:
            out.append(int(pair, 16))
            pair = ""
    if pair:
        raise UsageError(f'--hex: odd number of hex digits in "{text}"')
    return bytes(out)


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    where = common.add_argument_group("where the hub is (default: TCP 127.0.0.1:10032)")
    where.add_argument("--tcp", metavar="HOST:PORT", default=argparse.SUPPRESS, help="TCP address of the hub")
    where.add_argument("--unix", metavar="PATH", default=argparse.SUPPRESS, help="the hub's Unix-domain socket")
    common.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="one JSON object a line instead of plain text")
    one_shot = argparse.ArgumentParser(add_help=False)
    one_shot.add_argument("--udp", action="store_true", default=argparse.SUPPRESS,
                          help="send one datagram to the hub's UDP port")
    one_shot.add_argument("--src", metavar="ID", default=argparse.SUPPRESS, help="source id (default 0xfe)")
    data = one_shot.add_mutually_exclusive_group()
    data.add_argument("--hex", metavar="HEX", default=argparse.SUPPRESS, help='the data as hex digits ("aa bb")')
    data.add_argument("--text", metavar="TEXT", default=argparse.SUPPRESS, help="the data as text")
    receiver = argparse.ArgumentParser(add_help=False)
    receiver.add_argument("--id", metavar="ID", default=argparse.SUPPRESS,
                          help="module id to register under: 0x00 or 0x02 to 0xe0 (required)")
    receiver.add_argument("--name", metavar="NAME", default=argparse.SUPPRESS,
                          help="registration name; the hub kills the processes of this name if the connection "
                               "falls silent. Default pellix-py-PID, with this tool's process id: no process has "
                               "that name, so a stalled tool gets nothing killed")
    receiver.add_argument("--count", metavar="N", default=argparse.SUPPRESS, help="stop after N received")
    receiver.add_argument("--timeout", metavar="S", default=argparse.SUPPRESS, help="stop after S seconds")
    filters = argparse.ArgumentParser(add_help=False)
    filters.add_argument("--id", metavar="ID", action="append", default=argparse.SUPPRESS,
                         help="show only frames from or to ID (may be repeated)")
    filters.add_argument("--event", metavar="N", action="append", default=argparse.SUPPRESS,
                         help="show only publications of event N (may be repeated)")
    filters.add_argument("--cmd", metavar="C", action="append", default=argparse.SUPPRESS,
                         help="show only frames with command C (may be repeated)")
    filters.add_argument("--count", metavar="N", default=argparse.SUPPRESS, help="stop after N records")
    filters.add_argument("--timeout", metavar="S", default=argparse.SUPPRESS, help="stop after S seconds")

    top = Parser(prog=PROG, parents=[common], description="Talks to the Pellix hub from a shell or a script.",
                 epilog="Numbers are decimal or hex with 0x. Without --tcp or --unix the hub is at $PELLIX_HUB "
                        "(tcp:HOST:PORT or unix:PATH) when it is set. Exit status: 0 done; 1 the hub could not be "
                        "reached or did not take the frame; 2 bad arguments; 3 --timeout came before --count or "
                        "before call's reply; 4 the hub refused the monitor; 5 no module holds call's DEST. "
                        f"Example: {PROG} status --json")
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}",
                     help="print the version and do nothing else")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    send = commands.add_parser("send", parents=[common, one_shot], help="send a frame to a module",
                               epilog=f"Example: {PROG} send 0x10 0x42 --hex 'aa bb'")
    send.add_argument("words", nargs="+", metavar="DEST CMD [DATA]")
    pub = commands.add_parser("pub", parents=[common, one_shot], help="publish an event",
                              epilog=f"Example: {PROG} pub 3 temperature=21.5")
    pub.add_argument("words", nargs="+", metavar="EVENT [DATA]")
    listen = commands.add_parser("listen", parents=[common, receiver], help="register and print what arrives",
                                 epilog=f"Example: {PROG} listen 3 --id 0x10 --name demo-listener")
    listen.add_argument("words", nargs="*", metavar="EVENT")
    sub = commands.add_parser("sub", parents=[common, receiver], help="subscribe and print each delivery",
                              epilog=f"Example: {PROG} sub 0 100 --id 0x11 --json")
    sub.add_argument("words", nargs="+", metavar="EVENT")
    call = commands.add_parser("call", parents=[common], help="send a frame to a module and print its reply",
                               epilog=f"Example: {PROG} call 0x42 0x10 ping --reply-cmd 0x11")
    call.add_argument("words", nargs="+", metavar="DEST CMD [DATA]")
    call.add_argument("--id", metavar="ID", default=argparse.SUPPRESS,
                      help="module id to register under (default: a free one, from the hub's status)")
    call.add_argument("--name", metavar="NAME", default=argparse.SUPPRESS, help="registration name")
    call.add_argument("--hex", metavar="HEX", default=argparse.SUPPRESS, help='the data as hex digits ("aa bb")')
    call.add_argument("--reply-cmd", metavar="C", default=argparse.SUPPRESS,
                      help="take as the reply only a frame with command C")
    call.add_argument("--timeout", metavar="S", default=argparse.SUPPRESS,
                      help="wait at most S seconds for the reply (default 5; exit status 3)")
    status = commands.add_parser("status", parents=[common], help="show the hub's status",
                                 epilog=f"Example: {PROG} status --json")
    status.add_argument("words", nargs="*", metavar="", help=argparse.SUPPRESS)
    monitor = commands.add_parser("monitor", parents=[common, filters], help="print a line for every frame routed",
                                  epilog=f"Example: {PROG} monitor --id 0x10 --count 20")
    monitor.add_argument("words", nargs="*", metavar="", help=argparse.SUPPRESS)
    return top


def parse(argv: Sequence[str]) -> argparse.Namespace:
    args = parser().parse_args(argv)
    if args.command is None:
        raise UsageError("no command given")
    opt = dict(vars(args))  # what was given, before defaults are filled in
    args.json = bool(opt.get("json"))
    args.udp = bool(opt.get("udp"))
    args.host, args.port, args.unix_path = DEFAULT_HOST, DEFAULT_PORT, None
    if "tcp" in opt and "unix" in opt:
        raise UsageError("--tcp and --unix exclude each other")
    hub = os.environ.get("PELLIX_HUB", "")
    if "tcp" not in opt and "unix" not in opt and hub:
        if hub.startswith("tcp:"):
            opt["tcp"] = args.tcp = hub[4:]
        elif hub.startswith("unix:"):
            opt["unix"] = args.unix = hub[5:]
        else:
            raise UsageError(f'PELLIX_HUB wants tcp:HOST:PORT or unix:PATH, not "{hub}"')
    if "tcp" in opt:
        host, colon, port = args.tcp.rpartition(":")
        if not host or not colon or not port:
            raise UsageError(f'--tcp wants HOST:PORT, not "{args.tcp}"')
        args.host, args.port = host, number("the port of --tcp", port, 1, 65535)
    if "unix" in opt:
        if args.udp:
            raise UsageError("--udp sends to the hub's UDP port and cannot go over --unix")
        if not 1 <= len(os.fsencode(args.unix)) <= 107:
            raise UsageError("--unix wants a path of 1 to 107 bytes")
        args.unix_path = args.unix
    words: List[str] = args.words
    args.count, args.timeout = 0, 0.0
    if "count" in opt:
        args.count = number("--count", opt["count"], 1, 1000000000)
    if "timeout" in opt:
        try:
            args.timeout = float(opt["timeout"])
        except ValueError:
            args.timeout = -1.0
        if not 0 < args.timeout <= 1e7:
            raise UsageError(f'--timeout must be a number of seconds above 0, not "{opt["timeout"]}"')
    if args.command in ("status", "monitor"):
        if words:
            raise UsageError(f"{args.command} takes no arguments")
        args.src = ANONYMOUS_ID
        args.ids = [number("--id", x, 0, 0xFF) for x in opt.get("id", [])]
        args.events = [number("--event", x, 0, 0xFFFF) for x in opt.get("event", [])]
        args.cmds = [number("--cmd", x, 0, 0xFFFF) for x in opt.get("cmd", [])]
        return args
    if args.command == "call":
        if not 2 <= len(words) <= 3:
            raise UsageError(f"call takes DEST CMD [DATA] (got {len(words)} argument{'s' * (len(words) != 1)})")
        if len(words) == 3 and "hex" in opt:
            raise UsageError("call: give the data once, as an argument or with --hex")
        args.dest = number("DEST", words[0], 0, 0xFF)
        try:
            check_registration_id(args.dest)
        except Refused:
            raise UsageError("call: DEST must be a module id, 0x00 or 0x02 to 0xe0: nothing else replies") from None
        args.cmd = number("CMD", words[1], 0, 0xFFFF)
        args.payload = os.fsencode(words[2]) if len(words) == 3 else hex_bytes(opt.get("hex", ""))
        if len(args.payload) > MAX_PAYLOAD:
            raise UsageError(f"call: {len(args.payload)} bytes of data do not fit a frame (at most {MAX_PAYLOAD})")
        args.reply_cmd = number("--reply-cmd", opt["reply_cmd"], 0, 0xFFFF) if "reply_cmd" in opt else None
        args.id = number("--id", opt["id"], 0, 0xFF) if "id" in opt else None
        if args.id is not None:
            try:
                check_registration_id(args.id)
            except Refused:
                raise UsageError("--id must be 0x00 or 0x02 to 0xe0: the hub forwards frames to no other id") from None
        args.name = opt.get("name", f"pellix-py-{os.getpid()}")
        args.timeout = args.timeout or 5.0
        return args
    if args.command in ("send", "pub"):
        args.src = number("--src", opt["src"], 0, 0xFF) if "src" in opt else ANONYMOUS_ID
        given = hex_bytes(args.hex) if "hex" in opt else os.fsencode(opt.get("text", ""))
        at = 2 if args.command == "send" else 1
        if len(words) < at or len(words) > at + 1:
            shape = "DEST CMD [DATA]" if args.command == "send" else "EVENT [DATA]"
            raise UsageError(f"{args.command} takes {shape} (got {len(words)} argument{'s' * (len(words) != 1)})")
        if len(words) > at and ("hex" in opt or "text" in opt):
            raise UsageError(f"{args.command}: give the data once, as an argument or with --hex or --text")
        args.payload = os.fsencode(words[at]) if len(words) > at else given
        if args.command == "send":
            args.dest = number("DEST", words[0], 0, 0xFF)
            args.cmd = number("CMD", words[1], 0, 0xFFFF)
            limit = MAX_UDP_PAYLOAD if args.udp else MAX_PAYLOAD
        else:
            args.event = event_number(words[0], True)
            limit = MAX_UDP_PAYLOAD - 2 if args.udp else MAX_EVENT_DATA
        if len(args.payload) > limit:
            raise UsageError(f"{args.command}: {len(args.payload)} bytes of data do not fit a "
                             f"{'datagram' if args.udp else 'frame'} (at most {limit})")
        return args
    args.events = [event_number(word, False) for word in words]
    if "id" not in opt:
        raise UsageError(f"{args.command} needs --id, the module id to register under")
    args.id = number("--id", opt["id"], 0, 0xFF)
    try:
        check_registration_id(args.id)
    except Refused:
        raise UsageError("--id must be 0x00 or 0x02 to 0xe0: the hub forwards frames to no other id") from None
    # The pid makes the default a name no process has (an installed tool's
    # own is "pellix-py"), its first digits within the 15 characters killall
    # compares of a name.
    args.name = opt.get("name", f"pellix-py-{os.getpid()}")
    if not args.name:
        raise UsageError("--name must not be empty")
    return args


class Printer:
    def __init__(self, as_json: bool) -> None:
        self.json = as_json

    def line(self, text: str) -> None:
        sys.stdout.write(text + "\n")
        sys.stdout.flush()

    def obj(self, **members: Any) -> None:
        self.line(json.dumps(members, separators=(",", ":"), ensure_ascii=False))

    def data(self, payload: bytes, **members: Any) -> None:
        text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in payload)
        if self.json:
            return self.obj(**members, size=len(payload), hex=payload.hex(), text=text)
        for at in range(0, len(payload), 16):
            row = "".join(f"{b:02x} " for b in payload[at:at + 16])
            self.line(f"  {at:04x}  {row:<48} {text[at:at + 16]}")

    def message(self, m: Any) -> None:
        if isinstance(m, Frame):
            if not self.json:
                self.line(f"frame  dev 0x{m.dev:02x}  src 0x{m.src:02x}  cmd 0x{m.cmd:04x}  len {m.length}  payload "
                          f"{bytes_text(len(m.payload))}")
            self.data(m.payload, type="frame", dev=m.dev, src=m.src, cmd=m.cmd, len=m.length)
        elif isinstance(m, Event):
            if not self.json:
                self.line(f"event {m.event}  data {bytes_text(len(m.data))}")
            self.data(m.data, type="event", event=m.event)
        elif isinstance(m, Departure):
            self.obj(type="departure", module=m.module) if self.json else \
                self.line(f"departure of module 0x{m.module:02x}")
        elif isinstance(m, ConnectionChange):
            self.obj(type="connection", up=m.up) if self.json else self.line(
                "connection restored, registered and subscribed again" if m.up else "connection lost, reconnecting")


def record_line(out: Printer, r: MonitorRecord) -> None:
    """One monitor record, as pellix-cli monitor prints it."""
    when = datetime.fromtimestamp(r.time_us // 1000000).strftime("%H:%M:%S") + f".{r.time_us % 1000000:06d}"
    if r.kind == MonitorKind.LOST:
        out.obj(type="monitor", kind=r.label, timeUs=r.time_us, time=when, lost=r.lost) if out.json else out.line(
            f"{when} {r.label:<11} {r.lost} copies lost (the monitor could not keep up)")
        return
    if out.json:
        return out.data(r.payload, type="monitor", kind=r.label, timeUs=r.time_us, time=when, dev=r.dev, src=r.src,
                        cmd=r.cmd, length=r.length)
    shown = r.payload[:16]
    cut = len(shown) < r.length
    tail = ""
    if shown:
        text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in shown)
        tail = " " + "".join(f" {b:02x}" for b in shown) + (" ...  " if cut else "  ") + text + ("..." if cut else "")
    out.line(f"{when} {r.label:<11} 0x{r.src:02x} -> 0x{r.dev:02x}  cmd 0x{r.cmd:04x}  {bytes_text(r.length)}{tail}")


def bytes_text(size: int) -> str:
    return f"{size} byte" if size == 1 else f"{size} bytes"


def fail(status: int, message: str) -> int:
    sys.stderr.write(f"pellix: {message}\n")
    sys.stderr.flush()
    return status


def one_shot(args: argparse.Namespace, out: Printer) -> int:
    transport = "udp" if args.udp else "unix" if args.unix_path else "tcp"
    if args.udp:
        with UdpSender(args.host, args.port, args.src) as udp:
            udp.send(args.dest, args.cmd, args.payload) if args.command == "send" else \
                udp.publish(args.event, args.payload)
    else:
        with Client(args.src, register=False, heartbeat=0, host=args.host, port=args.port,
                    unix_path=args.unix_path) as client:
            client.send(args.dest, args.cmd, args.payload) if args.command == "send" else \
                client.publish(args.event, args.payload)
    size = len(args.payload)
    if args.command == "pub":
        out.obj(type="published", event=args.event, size=size, transport=transport) if out.json else out.line(
            f"published event {args.event} with {bytes_text(size)} of data, over {transport}")
    elif out.json:
        out.obj(type="sent", what="frame", dev=args.dest, src=args.src, cmd=args.cmd, size=size, transport=transport)
    else:
        out.line(f"sent frame to 0x{args.dest:02x} from 0x{args.src:02x}, cmd 0x{args.cmd:04x}, "
                 f"{bytes_text(size)} of payload, over {transport}")
    return EXIT_OK


def receiver(args: argparse.Namespace, out: Printer) -> int:
    client = Client(args.id, args.name, host=args.host, port=args.port, unix_path=args.unix_path)
    if args.events:
        client.subscribe(args.events)  # sent once registered
    client.connect()
    stop: List[int] = []
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda number, _frame: stop.append(number))
    where = f"unix socket {args.unix_path}" if args.unix_path else f"{args.host}:{args.port}"
    if out.json:
        out.obj(type="registered", id=args.id, name=args.name, hub=where)
        if args.events:
            out.obj(type="subscribed", events=args.events)
    else:
        out.line(f'registered as 0x{args.id:02x} "{args.name}" at {where}')
        if args.events:
            out.line("subscribed to " + " ".join(str(e) for e in args.events))
    def take(message: Any) -> int:
        if message is None:
            return 0
        out.message(message)
        return 0 if isinstance(message, ConnectionChange) else 1

    received, reason = serve(client, args, stop, take)
    if args.events and client.connected:
        client.unsubscribe(args.events)
    client.close()
    out.obj(type="end", reason=reason, received=received) if out.json else out.line(
        f"stopped ({reason}) after {received} received")
    return EXIT_TIMEOUT if reason == "timeout" and args.count else EXIT_OK


def serve(client: Client, args: argparse.Namespace, stop: List[int], take: Callable[[Any], int]) -> Tuple[int, str]:
    """Hands what arrives to take (which says how many receipts it counted,
    or -1 to end) until a signal, --count or --timeout; (received, reason)."""
    deadline = time.monotonic() + args.timeout if args.timeout else None
    received = 0
    while not stop:
        if args.count and received >= args.count:
            return received, "count"
        left = 0.1 if deadline is None else min(0.1, deadline - time.monotonic())
        if left <= 0:
            return received, "timeout"
        counted = take(client.receive(left))
        if counted < 0:
            return received, "refused"
        received += counted
    return received, "signal"


def where_of(args: argparse.Namespace) -> str:
    return f"unix socket {args.unix_path}" if args.unix_path else f"{args.host}:{args.port}"


def held_ids(document: Dict[str, Any]) -> List[int]:
    return [i for c in document.get("connections", []) if isinstance(c, dict)
            for i in c.get("ids", []) if isinstance(i, int)]


def status(args: argparse.Namespace, out: Printer) -> int:
    with Client(register=False, heartbeat=0, host=args.host, port=args.port, unix_path=args.unix_path) as client:
        document = client.status()
    if out.json:
        out.line(json.dumps(document, separators=(",", ":")))
        return EXIT_OK
    t = document.get("totals", {})
    conns = [c for c in document.get("connections", []) if isinstance(c, dict)]
    out.line(f"pellix {document.get('version', '-')}  up {document.get('uptimeMs', 0) / 1000:.1f}s  connections "
             f"{len(conns)}  monitors {document.get('monitors', '-')}  subscription pairs "
             f"{document.get('subscriptionPairs', '-')}")
    out.line(f"totals: in {t.get('framesIn', '-')} / {t.get('bytesIn', '-')} B  out {t.get('framesOut', '-')} / "
             f"{t.get('bytesOut', '-')} B")
    rows = [["FD", "TRANSPORT", "IDS", "NAME", "PEER", "USER", "IN (frames / bytes)",
             "OUT (frames / bytes)"]]
    for c in conns:
        ids = " ".join(f"0x{i:02x}" for i in c.get("ids", []) if isinstance(i, int)) or "-"
        rows.append([str(c.get("fd", "-")), str(c.get("transport", "-")), ids, str(c.get("name", "-")),
                     str(c.get("peer", "-")), str(c.get("user") or c.get("uid", "-")), f"{c.get('framesIn', '-')} / {c.get('bytesIn', '-')} B",
                     f"{c.get('framesOut', '-')} / {c.get('bytesOut', '-')} B"])
    events = [["EVENT", "SUBSCRIBERS"]] + [[str(e.get("event", "-")), " ".join(
        f"0x{i:02x}" for i in e.get("subscribers", []) if isinstance(i, int))] for e in document.get("events", [])
        if isinstance(e, dict)]
    for table in (rows, events):
        widths = [max(len(printable(r[i])) for r in table) for i in range(len(table[0]))]
        out.line("")
        for r in table:
            out.line("  ".join(printable(v).ljust(w) for v, w in zip(r, widths)).rstrip())
    return EXIT_OK


def printable(text: str) -> str:
    return "".join(c if 0x20 <= ord(c) < 0x7F else "." for c in text)


def passes(args: argparse.Namespace, r: MonitorRecord) -> bool:
    if r.kind == MonitorKind.LOST:
        return True
    if args.ids and r.src not in args.ids and r.dev not in args.ids:
        return False
    if args.cmds and r.cmd not in args.cmds:
        return False
    if args.events:
        return r.cmd == CMD_PUBLISH and len(r.payload) >= 2 and (r.payload[0] | r.payload[1] << 8) in args.events
    return True


def monitor(args: argparse.Namespace, out: Printer) -> int:
    client = Client(register=False, host=args.host, port=args.port, unix_path=args.unix_path)
    client.connect()
    stop = catch_signals()
    try:
        client.monitor(True)
    except HubRefused as e:
        client.close()
        return fail(EXIT_REFUSED, str(e))
    out.obj(type="monitoring", hub=where_of(args)) if out.json else out.line(f"monitoring the hub at {where_of(args)}")
    refusal: List[str] = []

    def take(m: Any) -> int:
        if isinstance(m, MonitorRecord) and m.kind == MonitorKind.REFUSED:
            refusal.append(m.reason)
            return -1
        if isinstance(m, MonitorRecord) and m.kind != MonitorKind.MONITOR_ON and passes(args, m):
            record_line(out, m)
            return 1
        return 0

    received, reason = serve(client, args, stop, take)
    if refusal:
        client.close()
        return fail(EXIT_REFUSED, f"the hub at {where_of(args)} refused the monitor: {refusal[0]}")
    if client.connected:
        client.monitor(False)
    client.close()
    out.obj(type="end", reason=reason, received=received) if out.json else out.line(
        f"stopped ({reason}) after {received} received")
    return EXIT_TIMEOUT if reason == "timeout" and args.count else EXIT_OK


def call(args: argparse.Namespace, out: Printer) -> int:
    with Client(register=False, heartbeat=0, host=args.host, port=args.port, unix_path=args.unix_path) as watcher:
        held = held_ids(watcher.status())
        if args.dest not in held:
            # The hub shares a document for 100 ms: a module that registered
            # just before may be in the next one only.
            time.sleep(0.15)
            held = held_ids(watcher.status())
    if args.dest not in held:
        return fail(EXIT_NOBODY, f"no module is registered under 0x{args.dest:02x}")
    free = [i for i in range(MAX_MODULE_ID, 1, -1) if i not in held]
    module = args.id if args.id is not None else (free[0] if free else None)
    if module is None:
        return fail(EXIT_HUB, "every module id is taken; give --id, the id to register under")
    with Client(module, args.name, host=args.host, port=args.port, unix_path=args.unix_path) as client:
        try:
            reply = client.request(args.dest, args.cmd, args.payload, args.timeout, args.reply_cmd)
        except NoReply:
            with_cmd = f" with cmd 0x{args.reply_cmd:04x}" if args.reply_cmd is not None else ""
            return fail(EXIT_TIMEOUT, f"no reply from 0x{args.dest:02x}{with_cmd} within {args.timeout:g} s")
    if not out.json:
        out.line(f"reply  from 0x{reply.src:02x}  to 0x{reply.dev:02x}  cmd 0x{reply.cmd:04x}  payload "
                 f"{bytes_text(len(reply.payload))}")
    out.data(reply.payload, type="reply", dev=reply.dev, src=reply.src, cmd=reply.cmd)
    return EXIT_OK


def catch_signals() -> List[int]:
    stop: List[int] = []
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda number, _frame: stop.append(number))
    return stop


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        args = parse(sys.argv[1:] if argv is None else argv)
    except UsageError as e:
        return fail(EXIT_USAGE, f"{e} (see {PROG} --help)")
    except SystemExit as e:  # --help, --version
        return int(e.code or 0)
    out = Printer(args.json)
    try:
        run = {"send": one_shot, "pub": one_shot, "call": call, "status": status, "monitor": monitor}
        return run.get(args.command, receiver)(args, out)
    except Refused as e:
        return fail(EXIT_USAGE, str(e))
    except PellixError as e:
        return fail(EXIT_HUB, str(e))


if __name__ == "__main__":
    sys.exit(main())
