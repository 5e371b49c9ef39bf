#!/usr/bin/env python3
"""Checks the relative links of README.md and doc/**/*.md.

    tests/docs/check_links.py [REPOSITORY]     (default: this script's clone)

Every Markdown link or image whose target has no scheme (http:, mailto:, ...)
must name a file or directory that exists, relative to the page (a target
starting with / is taken from the top of the repository, as the forge does),
inside the repository. A #fragment, also a bare one within the page, must be
the anchor of a heading of the target Markdown page: the heading's text
lowercased, punctuation other than - and _ dropped, each space turned into
-, and a repeated anchor given -1, -2 and so on. Links in fenced code blocks
and in inline code are not links. Prints each broken link as
`file:line: target (why)` and exits 1 if there is one."""

import re
import sys
import unicodedata
from pathlib import Path
from typing import Dict, Iterator, List, Tuple
from urllib.parse import unquote

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})")
HEADING = re.compile(r"^ {0,3}(#{1,6})(?:[ \t]+(.*?))?(?:[ \t]+#+)?[ \t]*$")
SETEXT = re.compile(r"^ {0,3}(=+|-+)[ \t]*$")
INLINE_CODE = re.compile(r"(`+)(?:.+?)\1")
# A reference definition: [label]: target
DEFINITION = re.compile(r"^ {0,3}\[[^\]]+\]:[ \t]*(<[^>]*>|\S+)")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")


def prose_lines(text: str) -> Iterator[Tuple[int, str]]:
    """(line number, line) of the lines outside code blocks, fenced or
    indented (four spaces after a blank line)."""
    fence = ""
    after_blank, indented = True, False
    for number, line in enumerate(text.splitlines(), 1):
        opening = FENCE.match(line)
        if fence:
            if opening and opening.group(1)[0] == fence[0] and len(opening.group(1)) >= len(fence) \
                    and not line.strip().strip(fence[0]):
                fence = ""
            continue
        blank = not line.strip()
        indented = (indented or after_blank) and (blank or line.startswith(("    ", "\t")))
        after_blank = blank
        if opening and not indented:
            fence = opening.group(1)
        elif not indented:
            yield number, line


def slug(heading: str) -> str:
    """The anchor the forge gives a heading's text (before de-duplication)."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # links and images: their text
    text = re.sub(r"<[^>]+>", "", text).replace("`", "")
    kept = [c for c in text.lower().strip()
            if c.isalnum() or c in " -_" or unicodedata.category(c)[0] == "M"]
    return "".join(kept).replace(" ", "-")


def anchors(text: str) -> List[str]:
    seen: Dict[str, int] = {}
    result = []
    previous, previous_number = "", 0
    for number, line in prose_lines(text):
        title = None
        atx = HEADING.match(line)
        if atx:
            title = atx.group(2) or ""
        elif SETEXT.match(line) and previous_number == number - 1 and previous.strip() \
                and not HEADING.match(previous):
            title = previous.strip()
        previous, previous_number = line, number
        if title is None:
            continue
        base = slug(title)
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.append(base if count == 0 else f"{base}-{count}")
    return result


def link_targets(line: str) -> Iterator[str]:
    """The targets of the inline links and images, and of a reference
    definition, on one line."""
    definition = DEFINITION.match(line)
    if definition:
        yield definition.group(1).strip("<>")
        return
    start = 0
    while True:
        at = line.find("](", start)
        if at < 0:
            return
        i = at + 2
        if line[i:i + 1] == "<":
            end = line.find(">", i)
            if end < 0:
                return
            yield line[i + 1:end]
            start = end
            continue
        depth, j = 0, i
        while j < len(line) and not (line[j] in " \t" or (line[j] == ")" and depth == 0)):
            depth += {"(": 1, ")": -1}.get(line[j], 0)
            j += 1
        yield line[i:j]
        start = j


def problem(repo: Path, page: Path, target: str, cache: Dict[Path, List[str]]) -> str:
    """Why a target is broken, or "" when it is fine."""
    path_part, _, fragment = target.partition("#")
    path_part = unquote(path_part.split("?")[0])
    if path_part:
        base = repo if path_part.startswith("/") else page.parent
        resolved = (base / path_part.lstrip("/")).resolve()
        if repo.resolve() not in (resolved, *resolved.parents):
            return "outside the repository"
        if not resolved.exists():
            return "no such file or directory"
    else:
        resolved = page.resolve()
    if not fragment or not resolved.is_file() or resolved.suffix.lower() != ".md":
        return ""
    if resolved not in cache:
        cache[resolved] = anchors(resolved.read_text(encoding="utf-8"))
    if unquote(fragment) not in cache[resolved]:
        return f"no heading #{fragment} in {resolved.relative_to(repo.resolve())}"
    return ""


def check(repo: Path) -> Tuple[List[str], int]:
    """The broken links of the pages, and how many links were checked."""
    pages = [repo / "README.md"] + sorted((repo / "doc").glob("**/*.md"))
    cache: Dict[Path, List[str]] = {}
    broken, checked = [], 0
    for page in pages:
        for number, line in prose_lines(page.read_text(encoding="utf-8")):
            for target in link_targets(INLINE_CODE.sub(lambda m: " " * len(m.group(0)), line)):
                if not target or SCHEME.match(target):
                    continue
                checked += 1
                why = problem(repo, page, target, cache)
                if why:
                    broken.append(f"{page.relative_to(repo)}:{number}: {target} ({why})")
    return broken, checked


def main() -> int:
    repo = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[2])
    broken, checked = check(repo)
    for line in broken:
        print(line)
    print(f"{checked} relative links checked, {len(broken)} broken", file=sys.stderr)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
