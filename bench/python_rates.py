#!/usr/bin/env python3
"""How fast the Python SDK publishes and receives 32-byte events through a
hub: the blocking Client and the AsyncClient, one run each.

Starts the built daemon under a temporary PELLIX_ROOT on a free loopback
port with servePauseUs 0 (so the hub's pause is not what is measured), a
publisher process and a subscriber in this process, and prints one line per
client kind: publications/s at the publisher, deliveries/s at the
subscriber (first to last), and end to end (publisher start to last
delivery). Every event must arrive once and in order.

    bench/python_rates.py [--pellix build/pellix] [--count 50000]
"""

import argparse
import asyncio
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

from pellix import AsyncClient, Client, Event  # noqa: E402

EVENT = 77
SIZE = 32


def payload(n: int) -> bytes:
    return n.to_bytes(4, "little") * (SIZE // 4)


def publish_blocking(port: int, count: int) -> float:
    with Client(register=False, heartbeat=0, port=port) as c:
        start = time.perf_counter()
        for n in range(count):
            c.publish(EVENT, payload(n))
        return time.perf_counter() - start


async def publish_async(port: int, count: int) -> float:
    async with AsyncClient(register=False, heartbeat=0, port=port) as c:
        start = time.perf_counter()
        for n in range(count):
            await c.publish(EVENT, payload(n))
        return time.perf_counter() - start


def check(n: int, m) -> None:
    if m != Event(EVENT, payload(n)):
        raise SystemExit(f"event {n} arrived as {m!r}")


def receive_blocking(port: int, count: int, publisher) -> tuple:
    with Client(0x51, "bench-py-sub", port=port, queue_size=count) as c:
        c.subscribe([EVENT])
        c.poll(0.2)
        started = time.perf_counter()
        pub = publisher()
        first = None
        for n in range(count):
            m = c.receive(10)
            first = first or time.perf_counter()
            check(n, m)
        return started, first, time.perf_counter(), pub


async def receive_async(port: int, count: int, publisher) -> tuple:
    async with AsyncClient(0x52, "bench-py-async-sub", port=port, queue_size=count) as c:
        await c.subscribe([EVENT])
        await asyncio.sleep(0.2)
        started = time.perf_counter()
        pub = publisher()
        first = None
        for n in range(count):
            m = await c.receive(10)
            first = first or time.perf_counter()
            check(n, m)
        return started, first, time.perf_counter(), pub


def free_port() -> int:
    while True:
        with socket.socket() as t, socket.socket(type=socket.SOCK_DGRAM) as u:
            t.bind(("0.0.0.0", 0))
            try:
                u.bind(("0.0.0.0", t.getsockname()[1]))
                return t.getsockname()[1]
            except OSError:
                continue


def main() -> None:
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pellix", default=os.path.join(here, "..", "build", "pellix"))
    parser.add_argument("--count", type=int, default=50000)
    parser.add_argument("--publisher", choices=["blocking", "async"], help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.publisher:  # the child: publish, print the time taken
        took = publish_blocking(args.port, args.count) if args.publisher == "blocking" else \
            asyncio.run(publish_async(args.port, args.count))
        print(took)
        return

    root = tempfile.mkdtemp(prefix="pellix-pybench-")
    os.makedirs(os.path.join(root, "work/data/log"))
    os.makedirs(os.path.join(root, "tmp"))
    port = free_port()
    with open(os.path.join(root, "work/pellixPara.json"), "w") as f:
        json.dump({"tcpListenPort": port, "servePauseUs": 0, "tcpBindAddress": "127.0.0.1"}, f)
    hub = subprocess.Popen([args.pellix], env=dict(os.environ, PELLIX_ROOT=root), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    try:
        for _ in range(200):
            if os.path.exists(os.path.join(root, "tmp/qm_sock")):
                break
            time.sleep(0.02)
        time.sleep(0.1)
        print(f"{args.count} events of {SIZE} bytes, one publisher process, one subscriber")
        for kind in ("blocking", "async"):
            def publisher():
                return subprocess.Popen([sys.executable, __file__, "--publisher", kind, "--port", str(port),
                                         "--count", str(args.count)], stdout=subprocess.PIPE, text=True)
            if kind == "blocking":
                started, first, last, pub = receive_blocking(port, args.count, publisher)
            else:
                started, first, last, pub = asyncio.run(receive_async(port, args.count, publisher))
            publish_time = float(pub.communicate()[0])
            print(f"{kind:8}  published {args.count / publish_time:9,.0f}/s  received "
                  f"{(args.count - 1) / (last - first):9,.0f}/s  end to end {args.count / (last - started):9,.0f}/s")
    finally:
        hub.terminate()
        hub.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
