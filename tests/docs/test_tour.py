"""The README's tour, run as shown against the real hub.

What the tour (between <!-- tour: begins --> and <!-- tour: ends -->) may
hold, and how it is run:
- each ```console fenced block holds lines `$ COMMAND`, each followed by the
  output lines it shows;
- a command ending in ` &` runs in the background, its standard output and
  error captured apart; `$ wait` waits (at most 15 s) for every background
  command to end, as the tour's end does; any other command runs to its end
  (at most 20 s). Every command must end with status 0;
- before the next command, the test waits (at most 10 s) until every line
  shown so far has appeared, and half a second more, as a reader would;
- when all commands are done, each shown line must match, as a shape, a line
  of the output of its own command or of a background command started
  before it (its own first, then the latest started): each real line is
  used once, and the shown lines of one command match in order within each
  source (the standard output or error of one command);
- shape: trailing spaces go, runs of spaces collapse to one, and every run
  of digits, or of such runs separated by single spaces (a hex dump of a
  process id), becomes one wildcard, so times, sizes, descriptors, ports and
  process ids may differ; a shown line ending in `...` matches any
  continuation; anything else must be equal;
- the hub is the real pellix under its own PELLIX_ROOT on a free port, a
  directory holding pellix-cli comes first on PATH, and PELLIX_HUB names the
  hub (the README's 127.0.0.1:10032 differs from it only in digits);
- the tour uses status, monitor, send, listen, pub and sub."""

import difflib
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests/python"))
from conftest import Daemon, binary  # noqa: E402

README = ROOT / "README.md"
COVERED = {"status", "monitor", "send", "listen", "pub", "sub"}
RUN_TIMEOUT, WAIT_TIMEOUT, SHOWN_TIMEOUT, READING_PAUSE = 20.0, 15.0, 10.0, 0.5


class Step:
    """One `$ COMMAND` of the tour and the lines shown under it."""

    def __init__(self, number: int, command: str) -> None:
        self.number = number
        self.background = command.endswith(" &")
        self.command = command[:-2].rstrip() if self.background else command
        self.shown: List[Tuple[int, str]] = []  # (README line, text)


def parse_tour(text: str) -> List[Step]:
    lines = text.splitlines()
    begin = lines.index("<!-- tour: begins -->")
    end = lines.index("<!-- tour: ends -->")
    steps: List[Step] = []
    in_console = False
    for number, line in enumerate(lines[begin + 1:end], begin + 2):
        if not in_console:
            in_console = line.strip() == "```console"
        elif line.strip() == "```":
            in_console = False
        elif line.startswith("$ "):
            steps.append(Step(number, line[2:].strip()))
        elif steps:
            steps[-1].shown.append((number, line))
    return steps


def shape(line: str) -> str:
    line = re.sub(r" +", " ", line.rstrip())
    return re.sub(r"\d+(?: \d+)*", "#", line)


def fits(shown: str, real: str) -> bool:
    want, have = shape(shown), shape(real)
    if want.endswith("..."):
        return have.startswith(want[:-3].rstrip())
    return want == have


Sources = List[Tuple[str, List[str]]]  # (name, lines), in the order they are tried


def assign(shown_by_step: List[Tuple[List[Tuple[int, str]], Sources]]) -> List[str]:
    """Matches each step's shown lines against its sources; the failures,
    each with the closest unused lines."""
    used = set()
    failures = []
    for shown, sources in shown_by_step:
        cursor: Dict[str, int] = {}
        for number, text in shown:
            found = None
            for name, lines in sources:
                for k in range(cursor.get(name, 0), len(lines)):
                    if (name, k) not in used and fits(text, lines[k]):
                        found = (name, k)
                        break
                if found:
                    break
            if found:
                used.add(found)
                cursor[found[0]] = found[1] + 1
                continue
            unused = [(name, line) for name, lines in sources for k, line in enumerate(lines)
                      if (name, k) not in used]
            unused.sort(key=lambda c: -difflib.SequenceMatcher(None, shape(text), shape(c[1])).ratio())
            candidates = "".join(f"\n      {name}: {line!r}" for name, line in unused[:5]) or " none"
            failures.append(f"README.md:{number}: shown {text!r}\n    closest unused lines:{candidates}")
    return failures


class Run:
    """One command of the tour in bash, its output in two files."""

    def __init__(self, step: Step, env: Dict[str, str], work: Path, index: int) -> None:
        self.step = step
        self.name = step.command
        self.files = (work / f"{index}.out", work / f"{index}.err")
        with open(self.files[0], "wb") as out, open(self.files[1], "wb") as err:
            self.proc = subprocess.Popen(["bash", "-c", step.command], stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL, env=env, cwd=work, start_new_session=True)

    def sources(self, complete: bool) -> Sources:
        """Standard output and error; without complete, only whole lines."""
        result = []
        for path, stream in zip(self.files, ("stdout", "stderr")):
            text = path.read_text(errors="replace")
            if not complete and not text.endswith("\n"):
                text = text[:text.rfind("\n") + 1]
            result.append((f"`{self.name}` of line {self.step.number} ({stream})", text.splitlines()))
        return result

    def finish(self, timeout: float) -> Optional[str]:
        """Waits for the end; why it failed, if it did."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)  # our own child's group
            self.proc.wait()
            return f"README.md:{self.step.number}: `{self.name}` did not end within {timeout:.0f} s"
        if status != 0:
            err = self.files[1].read_text(errors="replace").strip()
            return f"README.md:{self.step.number}: `{self.name}` ended with status {status}: {err}"
        return None


def run_tour(steps: List[Step], env: Dict[str, str], work: Path) -> List[str]:
    failures: List[str] = []
    runs: List[Tuple[Step, Optional[Run]]] = []
    background: List[Run] = []

    def matching(complete: bool) -> List[Tuple[List[Tuple[int, str]], Sources]]:
        result = []
        for i, (step, run) in enumerate(runs):
            own = run.sources(complete) if run else []
            earlier = [s for _, r in reversed(runs[:i]) if r and r.step.background for s in r.sources(complete)]
            result.append((step.shown, own + earlier))
        return result

    def wait_background() -> None:
        deadline = time.monotonic() + WAIT_TIMEOUT
        for run in background:
            failure = run.finish(max(0.1, deadline - time.monotonic()))
            if failure:
                failures.append(failure)
        background.clear()

    try:
        for index, step in enumerate(steps):
            run = None
            if step.command == "wait":
                wait_background()
            else:
                run = Run(step, env, work, index)
                if step.background:
                    background.append(run)
                else:
                    failure = run.finish(RUN_TIMEOUT)
                    if failure:
                        failures.append(failure)
            runs.append((step, run))
            deadline = time.monotonic() + SHOWN_TIMEOUT
            while assign(matching(False)) and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(READING_PAUSE)
        wait_background()
    finally:
        for run in background:
            if run.proc.poll() is None:
                os.killpg(run.proc.pid, signal.SIGKILL)
                run.proc.wait()
    return failures + assign(matching(True))


@pytest.mark.parametrize("shown, real, fit", [
    ("up 3.2s  connections 1", "up 12.75s connections 1", True),
    # a process id of another length in a name and in its hex dump
    ("16 bytes  70 2d 32 38 39 35 38  p-28958", "14 bytes  70 2d 35 31 32  p-512", True),
    ("at 127.0.0.1:10032", "at 127.0.0.1:41234", True),
    ("3 bytes  00 00 10  ...", "3 bytes  00 00 10  ...", True),
    ("published   0x01 -> 0xe1 ...", "published 0x01 -> 0xe1  cmd 0x0005", True),
    ("over tcp", "over udp", False),
    ("src 0xfe", "src 0xfd", False),
    ("subscribed to 100", "subscribed to 100 and more", False),
])
def test_shapes(shown: str, real: str, fit: bool) -> None:
    assert fits(shown, real) == fit


def test_each_real_line_serves_once_own_output_first() -> None:
    own = ("own", ["stopped after 1 received"])
    earlier = ("earlier", ["stopped after 6 received", "x"])
    shown = [(1, "stopped after 1 received"), (2, "stopped after 1 received"), (3, "x")]
    assert assign([(shown, [own, earlier])]) == []
    assert len(assign([(shown + [(4, "x")], [own, earlier])])) == 1
    # in order within a source: x cannot come before the line above it
    failures = assign([([(1, "x"), (2, "stopped after 6 received")], [earlier])])
    assert len(failures) == 1 and "README.md:2:" in failures[0]


def test_tour_uses_every_command() -> None:
    steps = parse_tour(README.read_text(encoding="utf-8"))
    used = {step.command.split()[1] for step in steps if step.command.startswith("pellix-cli ")}
    assert COVERED <= used, f"the tour does not show {sorted(COVERED - used)}"
    assert all(step.shown or step.command == "wait" for step in steps)


def test_readme_tour_runs_as_shown() -> None:
    steps = parse_tour(README.read_text(encoding="utf-8"))
    hub = Daemon(binary("PELLIX_TEST_BINARY"))
    try:
        hub.start()
        work = Path(tempfile.mkdtemp(prefix="tour-", dir=hub.root))
        bin_dir = work / "bin"
        bin_dir.mkdir()
        (bin_dir / "pellix-cli").symlink_to(binary("PELLIX_TEST_CLI"))
        env = dict(os.environ, PATH=f"{bin_dir}:{os.environ.get('PATH', '/usr/bin:/bin')}",
                   PELLIX_HUB=f"tcp:127.0.0.1:{hub.port}", PELLIX_ROOT=hub.root)
        failures = run_tour(steps, env, work)
        assert not failures, "the tour differs from the README:\n" + "\n".join(failures)
    finally:
        hub.cleanup()
