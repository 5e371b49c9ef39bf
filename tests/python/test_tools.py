"""pellix-cli's tools against the real hub and the programs a device engineer
uses beside it: a capture read back by tshark with the dissector, a live
loopback capture decoded, call answered and timed out (the Python twin's
too), send to an id nobody holds, the OpenMetrics text under Debian's
parser, data from standard input, PELLIX_HUB, the bash completion and the
manual pages."""

import json
import re
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import List, Optional

import pytest

from conftest import Daemon, binary

ROOT = Path(__file__).resolve().parents[2]
DISSECTOR = ROOT / "contrib/wireshark/pellix.lua"
COMPLETION = ROOT / "packaging/pellix-cli.bash-completion"


def run_tool(tool: str, *args: str, stdin: Optional[bytes] = None, env: Optional[dict] = None,
             timeout: float = 20) -> subprocess.CompletedProcess:
    """pellix-cli ("cli") or python -m pellix ("py") to its end."""
    head = [binary("PELLIX_TEST_CLI")] if tool == "cli" else [sys.executable, "-m", "pellix"]
    return subprocess.run(head + list(args), input=stdin, capture_output=True, timeout=timeout,
                          env=env if env is not None else dict(os.environ))


def at(hub: Daemon) -> List[str]:
    return ["--tcp", f"127.0.0.1:{hub.port}"]


def tshark(capture: Path, *args: str) -> List[List[str]]:
    """The fields asked for, one list a packet, as the dissector decodes them."""
    tool = shutil.which("tshark")
    assert tool, "tshark is missing (scripts/setup.sh installs it)"
    r = subprocess.run([tool, "-X", f"lua_script:{DISSECTOR}", "-r", str(capture), "-T", "fields", "-E",
                        "separator=|", *args], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert "Lua" not in r.stderr, r.stderr
    return [line.split("|") for line in r.stdout.splitlines()]


def test_capture_is_read_back_by_tshark_with_the_dissector(hub: Daemon, client, tmp_path: Path) -> None:
    path = tmp_path / "hub.pcapng"
    capture = subprocess.Popen([binary("PELLIX_TEST_CLI"), "capture", "--write", str(path), "--count", "3",
                                "--timeout", "15", "--json", *at(hub)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    try:
        assert json.loads(capture.stdout.readline())["type"] == "capturing"
        started = time.time()
        client(0x10, "cap-module")
        assert run_tool("cli", "send", "0x10", "0x42", "--hex", "aa bb", "--no-check", *at(hub)).returncode == 0
        assert run_tool("cli", "pub", "7", "seven", *at(hub)).returncode == 0
        out, err = capture.communicate(timeout=20)
    finally:
        capture.kill()
    assert capture.returncode == 0, err
    assert json.loads(out.splitlines()[-1]) == {"type": "end", "reason": "count", "received": 3}
    rows = tshark(path, "-e", "frame.time_epoch", "-e", "pellix.monitor.kind", "-e", "pellix.src", "-e",
                  "pellix.dst", "-e", "pellix.cmd", "-e", "pellix.command", "-e", "pellix.len", "-e", "pellix.name",
                  "-e", "pellix.event", "-e", "pellix.payload")
    assert [r[1:] for r in rows] == [
        ["3", "0x10", "0x01", "0x0001", "register", "16", "cap-module", "", "6361702d6d6f64756c65"],
        ["1", "0xfe", "0x10", "0x0042", "", "8", "", "", "aabb"],
        ["2", "0xfe", "0xe1", "0x0005", "publish", "13", "", "7", "0700736576656e"],
    ]
    # Each packet at the time the hub routed its frame.
    assert all(started - 1 < float(r[0]) < time.time() + 1 for r in rows), rows


def test_capture_refused_like_monitor(hub: Daemon, tmp_path: Path) -> None:
    Path(hub.config).write_text(json.dumps({"tcpListenPort": hub.port, "maxMonitors": 0}) + "\n")
    hub.stop()
    hub.restart()
    path = tmp_path / "refused.pcapng"
    r = run_tool("cli", "capture", "--write", str(path), *at(hub))
    assert r.returncode == 4 and b"refused the monitor" in r.stderr, r.stderr
    assert not path.exists(), "no empty file left behind"


def start_tcpdump(path: Path, port: int) -> subprocess.Popen:
    """tcpdump on loopback, once it listens; the test is skipped where it
    cannot capture (it needs CAP_NET_RAW)."""
    tool = shutil.which("tcpdump") or "/usr/sbin/tcpdump"
    if not os.access(tool, os.X_OK):
        pytest.fail("tcpdump is missing (scripts/setup.sh installs it)")
    dump = subprocess.Popen([tool, "-i", "lo", "-U", "--immediate-mode", "-w", str(path),
                             f"tcp port {port} or udp port {port}"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    assert dump.stderr is not None
    said = b""
    deadline = time.monotonic() + 10
    while b"listening on" not in said:
        if dump.poll() is not None or time.monotonic() > deadline:
            dump.kill()
            said += dump.stderr.read()
            pytest.skip(f"no live capture on lo here: {said.decode(errors='replace').strip()}")
        if select.select([dump.stderr], [], [], 0.1)[0]:
            said += os.read(dump.stderr.fileno(), 4096)
    # "listening" can come before the first packets are taken: heartbeats by
    # datagram until one is in the file (past its 24-byte header).
    from pellix.frame import CMD_HEARTBEAT, HUB_ID, build_frame
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        while not path.exists() or path.stat().st_size <= 24:
            if dump.poll() is not None or time.monotonic() > deadline + 10:
                pytest.fail(f"tcpdump took nothing: {said.decode(errors='replace')}")
            probe.sendto(build_frame(HUB_ID, 0xFE, CMD_HEARTBEAT), ("127.0.0.1", port))
            time.sleep(0.05)
    return dump


def test_live_loopback_capture_is_decoded(hub: Daemon, client, tmp_path: Path) -> None:
    path = tmp_path / "live.pcap"
    dump = start_tcpdump(path, hub.port)
    try:
        listener = client(0x10, "live-module")
        listener.subscribe([5])
        listener.status()  # the subscription is in when the hub answers after it
        # The largest frame: more than the loopback's segments, put together again.
        assert run_tool("cli", "send", "0x10", "0x42", "--file", "-", *at(hub), stdin=b"L" * 65529).returncode == 0
        assert run_tool("cli", "pub", "5", "--udp", "by datagram", *at(hub)).returncode == 0
        got = {type(m).__name__: m for m in (listener.receive(5), listener.receive(5))}
        assert len(got["Frame"].payload) == 65529 and got["Event"].data == b"by datagram"
    finally:
        time.sleep(0.5)  # what the kernel holds for tcpdump still reaches the file
        dump.send_signal(signal.SIGINT)  # our own child
        dump.wait(10)
    rows = tshark(path, "-o", f"pellix.port:{hub.port}", "-Y", "pellix", "-e", "pellix.src", "-e", "pellix.dst",
                  "-e", "pellix.cmd", "-e", "pellix.len", "-e", "pellix.name", "-e", "pellix.event")
    assert ["0x10", "0x01", "0x0001", "17", "live-module", ""] in rows, rows
    assert ["0x10", "0xe1", "0x0006", "9", "", "5"] in rows, rows
    assert rows.count(["0xfe", "0x10", "0x0042", "65535", "", ""]) == 2, "to the hub and on to 0x10"
    assert ["0xfe", "0xe1", "0x0005", "19", "", "5"] in rows, "the datagram"
    assert ["0xe1", "0x10", "0x0005", "19", "", "5"] in rows, "its delivery"


@pytest.mark.parametrize("tool", ["cli", "py"])
def test_call_answered_timed_out_and_nobody_there(hub: Daemon, tool: str) -> None:
    from pellix import Client
    answerer = Client(0x42, "answerer", port=hub.port)
    answerer.on_frame = lambda f: answerer.send(f.src, 0x11, f.payload[::-1]) if f.cmd == 0x10 else None
    answerer.connect()
    serving = threading.Thread(target=answerer.run)
    serving.start()
    prefix = "pellix-cli" if tool == "cli" else "pellix"
    try:
        r = run_tool(tool, "call", "0x42", "0x10", "ping", "--reply-cmd", "0x11", "--json", *at(hub))
        assert r.returncode == 0, r.stderr
        reply = json.loads(r.stdout)
        assert reply["dev"] not in (0x42, 0xFE)
        del reply["dev"]
        assert reply == {"type": "reply", "src": 0x42, "cmd": 0x11, "size": 4, "hex": "676e6970", "text": "gnip"}

        r = run_tool(tool, "call", "0x42", "0x20", "--timeout", "0.5", *at(hub))
        assert (r.returncode, r.stderr.decode()) == (3, f"{prefix}: no reply from 0x42 within 0.5 s\n")
        r = run_tool(tool, "call", "0x43", "0x10", *at(hub))
        assert (r.returncode, r.stderr.decode()) == (5, f"{prefix}: no module is registered under 0x43\n")
    finally:
        answerer.stop()
        serving.join()
        answerer.close()


def test_asyncio_request(hub: Daemon, client) -> None:
    import asyncio
    from pellix import AsyncClient, NoReply
    echo = client(0x42, "echo")

    async def scenario() -> None:
        async with AsyncClient(0x30, "async-asker", port=hub.port) as asker:
            asker_task = asyncio.ensure_future(asker.request(0x42, 0x10, b"ping", timeout=5, reply_cmd=0x11))
            await asyncio.sleep(0.2)
            asked = echo.receive(5)  # blocks the loop a moment: the request is out already
            echo.send(0x30, 0x12, b"not this one")
            echo.send(0x30, 0x11, asked.payload[::-1])
            reply = await asker_task
            assert (reply.src, reply.cmd, reply.payload) == (0x42, 0x11, b"gnip")
            assert (await asker.receive(5)).payload == b"not this one"
            try:
                await asker.request(0x42, 0x10, timeout=0.2)
                raise AssertionError("no NoReply")
            except NoReply as e:
                assert str(e) == "no reply from 0x42 within 0.2 s"
    asyncio.run(asyncio.wait_for(scenario(), 20))


def test_send_says_when_nobody_receives(hub: Daemon, client) -> None:
    r = run_tool("cli", "send", "0x99", "1", "x", *at(hub))
    assert (r.returncode, r.stdout, r.stderr) == (5, b"", b"pellix-cli: no module is registered under 0x99\n")
    r = run_tool("cli", "--json", "send", "0xe5", "0x42", "x", *at(hub))
    assert r.returncode == 5
    assert json.loads(r.stderr)["status"] == 5 and json.loads(r.stderr)["type"] == "error"
    assert run_tool("cli", "send", "0xe1", "5", "--hex", "0500", *at(hub)).returncode == 0, "a publication by hand"
    assert run_tool("cli", "send", "0x99", "1", "x", "--no-check", *at(hub)).returncode == 0
    module = client(0x20, "receiver")
    assert run_tool("cli", "send", "0x20", "1", "x", *at(hub)).returncode == 0
    assert module.receive(5).payload == b"x"


def test_openmetrics_text_passes_the_parser(hub: Daemon, client) -> None:
    from prometheus_client.openmetrics.parser import text_string_to_metric_families
    module = client(0x10, 'metrics "module"')
    module.subscribe([3])
    module.status()
    r = run_tool("cli", "status", "--openmetrics", *at(hub))
    assert r.returncode == 0, r.stderr
    text = r.stdout.decode()
    assert text.endswith("# EOF\n")
    families = {f.name: f for f in text_string_to_metric_families(text)}
    assert families["pellix"].type == "info" and families["pellix"].samples[0].labels["version"]
    totals = families["pellix_received_frames"]
    assert totals.type == "counter" and totals.samples[0].name == "pellix_received_frames_total"
    ours = [s for s in families["pellix_connection_received_frames"].samples if s.labels["module"] == "0x10"]
    assert len(ours) == 1 and ours[0].labels["transport"] == "tcp" and "metrics" in ours[0].labels["name"]
    assert ours[0].value >= 3, "registration, subscription, status request"
    events = {s.labels["event"]: s.value for s in families["pellix_event_subscribers"].samples}
    assert events == {"3": 1}
    assert families["pellix_uptime_seconds"].type == "gauge"


def test_data_from_standard_input_and_the_hub_from_pellix_hub(hub: Daemon, client, tmp_path: Path) -> None:
    module = client(0x20, "stdin-target")
    data = bytes(range(256))
    env = dict(os.environ, PELLIX_HUB=f"tcp:127.0.0.1:{hub.port}")
    r = run_tool("cli", "send", "0x20", "0x42", "--file", "-", stdin=data, env=env)
    assert r.returncode == 0, r.stderr
    assert module.receive(5).payload == data
    (tmp_path / "data.bin").write_bytes(b"from a file")
    env["PELLIX_HUB"] = f"unix:{hub.unix_path}"
    r = run_tool("cli", "send", "0x20", "0x42", "--file", str(tmp_path / "data.bin"), env=env)
    assert r.stdout.endswith(b"11 bytes of payload, over unix\n"), r.stderr
    assert module.receive(5).payload == b"from a file"
    # An option wins; a value that names no hub is refused.
    env["PELLIX_HUB"] = "unix:/nonexistent/socket"
    assert run_tool("cli", "send", "0x20", "1", "x", *at(hub), env=env).returncode == 0
    env["PELLIX_HUB"] = "udp:127.0.0.1:1"
    r = run_tool("cli", "status", env=env)
    assert r.returncode == 2 and b"PELLIX_HUB wants tcp:HOST:PORT or unix:PATH" in r.stderr
    r = run_tool("cli", "send", "0x20", "1", "--file", "-", stdin=b"y" * 65530, *at(hub))
    assert r.returncode == 2 and b"passes 65529 bytes" in r.stderr
    env["PELLIX_HUB"] = f"tcp:127.0.0.1:{hub.port}"
    r = run_tool("py", "status", "--json", env=env)
    assert r.returncode == 0 and "version" in json.loads(r.stdout), r.stderr


def test_python_twin_monitors(hub: Daemon, client) -> None:
    module = client(0x10, "watched")
    monitor = subprocess.Popen([sys.executable, "-m", "pellix", "monitor", "--id", "0x10", "--count", "1", "--json",
                                *at(hub)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert monitor.stdout is not None
        assert json.loads(monitor.stdout.readline())["type"] == "monitoring"
        assert run_tool("cli", "send", "0x10", "0x42", "hi", *at(hub)).returncode == 0
        out, err = monitor.communicate(timeout=10)
    finally:
        monitor.kill()
    assert monitor.returncode == 0, err
    lines = [json.loads(x) for x in out.splitlines()]
    assert lines[0]["kind"] == "forwarded" and lines[0]["text"] == "hi" and lines[0]["dev"] == 0x10
    assert lines[1] == {"type": "end", "reason": "count", "received": 1}
    assert module.receive(5).payload == b"hi"


def test_bash_completion(hub: Daemon, client) -> None:
    client(0x10, "completed")
    cli_dir = os.path.dirname(binary("PELLIX_TEST_CLI"))
    script = f"""
        source {COMPLETION}
        complete -p pellix-cli
        COMP_WORDS=(pellix-cli ca); COMP_CWORD=1; _pellix_cli; echo "${{COMPREPLY[*]}}"
        COMP_WORDS=(pellix-cli capture --w); COMP_CWORD=2; _pellix_cli; echo "${{COMPREPLY[*]}}"
        COMP_WORDS=(pellix-cli send --tcp 127.0.0.1:{hub.port} ''); COMP_CWORD=4; _pellix_cli; echo "${{COMPREPLY[*]}}"
    """
    env = dict(os.environ, PATH=cli_dir + os.pathsep + os.environ.get("PATH", ""))
    r = subprocess.run(["bash", "--norc", "--noprofile", "-c", script], capture_output=True, text=True, env=env,
                       timeout=20)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["complete -F _pellix_cli pellix-cli", "call capture", "--write", "0x10"]


@pytest.mark.parametrize("page,word", [("pellix.8", "PELLIX_ROOT"), ("pellix-cli.1", "capture"),
                                       ("pellix-bridge.8", "metrics")])
def test_manual_pages_render(page: str, word: str) -> None:
    where = os.environ.get("PELLIX_TEST_MAN_DIR")
    if not where:
        pytest.skip("PELLIX_TEST_MAN_DIR does not name the built pages (CTest sets it)")
    for name in (page, page + ".gz"):
        r = subprocess.run(["man", "--warnings", "-l", str(Path(where) / name)], capture_output=True, text=True,
                           env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"), timeout=30)
        assert (r.returncode, r.stderr) == (0, ""), name
        text = re.sub(".\x08", "", r.stdout)  # overstruck bold and underline, as a terminal shows them
        assert word in text and "SEE ALSO" in text, name
