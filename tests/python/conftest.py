"""Fixtures of the Python SDK's tests: the real pellix daemon under a
temporary PELLIX_ROOT and a free port, as tests/support/DaemonProcess.cpp
starts it, pellix-cli beside it, a stand-in hub that answers with what a
test gives, and clients closed after each test.

CTest passes the binaries in PELLIX_TEST_BINARY and PELLIX_TEST_CLI; without
them the tests that need a daemon are skipped and the codec's still run."""

import json
import os
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Iterator, List, Optional

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

READY_TIMEOUT = 15.0
START_ATTEMPTS = 5


def _binds(kind: int, port: int) -> int:
    with socket.socket(socket.AF_INET, kind) as s:
        try:
            s.bind(("0.0.0.0", port))  # where the daemon binds
        except OSError:
            return 0
        return s.getsockname()[1]


def pick_free_port() -> int:
    """A port on which both TCP and UDP were free a moment ago."""
    for _ in range(50):
        port = _binds(socket.SOCK_STREAM, 0)
        if port and _binds(socket.SOCK_DGRAM, port):
            return port
    raise RuntimeError("no free port")


class Daemon:
    """The real pellix binary as a child process under its own root:
    <root>/work/pellixPara.json, <root>/work/data/log, <root>/tmp. Killed
    and reaped when the test ends, whatever stopped it."""

    def __init__(self, binary: str) -> None:
        self.binary = binary
        self.root = tempfile.mkdtemp(prefix="pellix-py-")
        os.makedirs(os.path.join(self.root, "work/data/log"))
        os.makedirs(os.path.join(self.root, "tmp"))
        self.config = os.path.join(self.root, "work/pellixPara.json")
        self.unix_path = os.path.join(self.root, "tmp/qm_sock")
        self.port = 0
        self.proc: Optional[subprocess.Popen] = None
        self.runs = 0

    def _stderr(self) -> str:
        return Path(self.root, f"stderr-{self.runs}.txt").read_text(errors="replace")

    def _spawn(self) -> None:
        self.runs += 1
        env = dict(os.environ, PELLIX_ROOT=self.root)
        with open(os.path.join(self.root, f"stdout-{self.runs}.txt"), "wb") as out, \
                open(os.path.join(self.root, f"stderr-{self.runs}.txt"), "wb") as err:
            self.proc = subprocess.Popen([self.binary], env=env, stdout=out, stderr=err, stdin=subprocess.DEVNULL)

    def _owns(self, table: str, listening: bool) -> bool:
        """Whether the daemon itself holds a socket on its port in /proc's table."""
        assert self.proc is not None
        fd_dir = f"/proc/{self.proc.pid}/fd"
        inodes = set()
        for name in os.listdir(fd_dir):
            try:
                target = os.readlink(os.path.join(fd_dir, name))
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
        with open(f"/proc/{self.proc.pid}/net/{table}") as lines:
            next(lines)
            for line in lines:
                fields = line.split()
                if int(fields[1].split(":")[1], 16) == self.port and (not listening or fields[3] == "0A") \
                        and fields[9] in inodes:
                    return True
        return False

    def _wait_ready(self) -> bool:
        deadline = time.monotonic() + READY_TIMEOUT
        while time.monotonic() < deadline:
            assert self.proc is not None
            if self.proc.poll() is not None or "bind error" in self._stderr():
                return False
            try:
                unix_ready = stat.S_ISSOCK(os.stat(self.unix_path).st_mode)
                if unix_ready and self._owns("tcp", True) and self._owns("udp", False):
                    return True
            except OSError:
                pass
            time.sleep(0.005)
        return False

    def start(self) -> "Daemon":
        """Picks a free port, writes it to the configuration file and starts
        the daemon; another port when someone took this one meanwhile."""
        for _ in range(START_ATTEMPTS):
            self.port = pick_free_port()
            Path(self.config).write_text(json.dumps({"tcpListenPort": self.port}) + "\n")
            self._spawn()
            if self._wait_ready():
                return self
            clash = "bind error" in self._stderr()
            self.kill()
            if not clash:
                break
        raise RuntimeError(f"the daemon did not get ready: {self._stderr()}")

    def restart(self) -> None:
        """Starts again on the same port and configuration."""
        self._spawn()
        if not self._wait_ready():
            raise RuntimeError(f"the daemon did not get ready again: {self._stderr()}")

    def stop(self, sig: int = signal.SIGTERM) -> Optional[int]:
        assert self.proc is not None
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()  # our own child, by its pid
            self.proc.wait()

    def cleanup(self) -> None:
        self.kill()
        shutil.rmtree(self.root, ignore_errors=True)


class FakeHub:
    """A stand-in for the hub on loopback, as tests/client/FakeHub.h: TCP and
    UDP on one port number of its own. It answers the first request (a
    connection's first bytes, or a datagram: then one datagram a frame) with
    the frames given, and keeps the datagrams it received."""

    def __init__(self, answer: bytes) -> None:
        from pellix.frame import split_frames
        self.frames, self.datagrams = split_frames([answer]), []
        for _ in range(20):
            self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.udp.bind(("127.0.0.1", 0))
            self.port = self.udp.getsockname()[1]
            try:
                self.tcp = socket.create_server(("127.0.0.1", self.port))
                break
            except OSError:
                self.udp.close()
        self._thread = threading.Thread(target=self._serve, args=(answer,), daemon=True)
        self._thread.start()

    def _serve(self, answer: bytes) -> None:
        ready = select.select([self.tcp, self.udp], [], [], 10)[0]
        if self.udp in ready:
            data, sender = self.udp.recvfrom(65536)
            self.datagrams.append(data)
            for frame in self.frames:
                self.udp.sendto(frame, sender)
        elif ready:
            with self.tcp.accept()[0] as conn:
                conn.recv(65536)
                conn.sendall(answer)
                conn.recv(1)  # until the client is done

    def close(self) -> None:
        self._thread.join(10)
        self.tcp.close()
        self.udp.close()


@pytest.fixture
def fake_hub() -> Iterator[Callable[[bytes], FakeHub]]:
    """fake_hub(answer) -> a FakeHub, closed when the test ends."""
    made: List[FakeHub] = []

    def make(answer: bytes) -> FakeHub:
        made.append(FakeHub(answer))
        return made[-1]
    yield make
    for hub in made:
        hub.close()


def binary(variable: str) -> str:
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{variable} does not name the built program (CTest sets it)")
    return path


@pytest.fixture
def hub() -> Iterator[Daemon]:
    daemon = Daemon(binary("PELLIX_TEST_BINARY"))
    try:
        yield daemon.start()
    finally:
        daemon.cleanup()


@pytest.fixture
def clients() -> Iterator[List]:
    """Clients made by a test; closed when it ends."""
    made: List = []
    yield made
    for c in made:
        c.close()


@pytest.fixture
def client(hub: Daemon, clients: List) -> Callable:
    """client(module_id, name, **settings) -> a connected Client of the hub."""
    from pellix import Client

    def make(*args, **kwargs):
        c = Client(*args, port=hub.port, **kwargs)
        clients.append(c)
        return c.connect()
    return make


class Program:
    """pellix-cli or python -m pellix, run by a test, killed at its end."""

    def __init__(self, command: List[str]) -> None:
        env = dict(os.environ, PYTHONPATH=str(Path(__file__).resolve().parents[2] / "python"))
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.buffer = b""  # output read by line() and not yet returned

    def line(self, timeout: float = 10.0) -> dict:
        """The next --json line as an object."""
        assert self.proc.stdout is not None
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError(f"no output line in time; so far {self.buffer!r}")
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError(f"the program ended; its last output {self.buffer!r}")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return json.loads(line)

    def finish(self, timeout: float = 10.0) -> "tuple[int, List[dict], str]":
        out, err = self.proc.communicate(timeout=timeout)
        lines = (self.buffer + out).decode().splitlines()
        return self.proc.returncode, [json.loads(x) for x in lines], err.decode()

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


@pytest.fixture
def run() -> Iterator[Callable[..., Program]]:
    """run("cli" or "py", *arguments) -> a running Program."""
    started: List[Program] = []

    def start(which: str, *args: str) -> Program:
        head = [binary("PELLIX_TEST_CLI")] if which == "cli" else [sys.executable, "-m", "pellix"]
        started.append(Program(head + list(args)))
        return started[-1]
    yield start
    for p in started:
        p.kill()
