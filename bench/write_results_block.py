#!/usr/bin/env python3
"""Puts the benchmark's tables into the performance page.

    bench/write_results_block.py RESULTS_MD PAGE           rewrite the block
    bench/write_results_block.py RESULTS_MD PAGE --check   check it

The block of PAGE between "<!-- results: begin (written by bench/run.sh) -->"
and "<!-- results: end -->" gets the whole of RESULTS_MD (the report of
`pellix-bench report`) but its title, the first paragraph when it is no
table: the page has its own. bench/run.sh calls this after a full run into
doc/performance/. --check fails when a table row of the block is not a row
of RESULTS_MD, that is when the page shows a figure that was not measured."""

import sys
from pathlib import Path
from typing import List

BEGIN = "<!-- results: begin (written by bench/run.sh) -->"
END = "<!-- results: end -->"


def report_body(results: str) -> str:
    """The report without its title."""
    paragraphs = results.strip("\n").split("\n\n")
    if paragraphs and not paragraphs[0].startswith("|"):
        paragraphs = paragraphs[1:]
    return "\n\n".join(paragraphs)


def split(page: str) -> List[str]:
    """The page before the block, the block, and the rest (from END on)."""
    if page.count(BEGIN) != 1 or page.count(END) != 1 or page.index(BEGIN) > page.index(END):
        raise ValueError(f"the page needs one {BEGIN} and one {END} after it")
    head, rest = page.split(BEGIN, 1)
    block, tail = rest.split(END, 1)
    return [head + BEGIN, block, END + tail]


def rewrite(page: str, results: str) -> str:
    head, _, tail = split(page)
    return f"{head}\n{report_body(results)}\n{tail}"


def unmeasured_rows(page: str, results: str) -> List[str]:
    rows = {line.strip() for line in results.splitlines() if line.startswith("|")}
    return [line for line in split(page)[1].splitlines() if line.startswith("|") and line.strip() not in rows]


def main() -> int:
    if len(sys.argv) not in (3, 4) or sys.argv[3:] not in ([], ["--check"]):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    results_path, page_path = Path(sys.argv[1]), Path(sys.argv[2])
    results, page = results_path.read_text(encoding="utf-8"), page_path.read_text(encoding="utf-8")
    if sys.argv[3:] == ["--check"]:
        stray = unmeasured_rows(page, results)
        for row in stray:
            print(f"{page_path}: not in {results_path}: {row}", file=sys.stderr)
        return 1 if stray else 0
    page_path.write_text(rewrite(page, results), encoding="utf-8")
    print(f"{page_path}: the results block now holds {results_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
