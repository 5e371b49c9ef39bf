#!/usr/bin/env python3
"""The sizes of the programs and the SDK as the Debian packages ship them,
against the table of doc/operations.md between its markers.

    scripts/sizes.py BUILD_DIR [--write] [--doc FILE]

Reads BUILD_DIR/packages/*.deb (made by cpack): the sizes of usr/bin/pellix,
pellix-cli, pellix-bridge (stripped, as installed) and
usr/lib/libpellix_client.a, and the packages' architecture. Without --write
it checks that the table's column for that architecture is within 5 % of
them, and fails printing the table to paste; with --write (or
PELLIX_WRITE_SIZES=1) it writes that column, keeping the others."""

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional

ROOT = Path(__file__).resolve().parents[1]
BEGIN = "<!-- sizes: begin (written by the package scripts) -->"
END = "<!-- sizes: end -->"
ARCHITECTURES = ["arm64", "amd64"]
# (path in the package, the table's row)
ITEMS = [("./usr/bin/pellix", "`pellix`"),
         ("./usr/bin/pellix-cli", "`pellix-cli`"),
         ("./usr/bin/pellix-bridge", "`pellix-bridge`"),
         ("./usr/lib/libpellix_client.a", "`libpellix_client.a` (with debug information)")]
TOLERANCE = 0.05


def measure(build: Path) -> "tuple[str, Dict[str, int]]":
    """The packages' architecture and the size of each item by its row."""
    debs = sorted((build / "packages").glob("*.deb"))
    if not debs:
        sys.exit(f"sizes: no packages in {build}/packages (cpack makes them)")
    architectures = set()
    sizes: Dict[str, int] = {}
    rows = dict(ITEMS)
    for deb in debs:
        architectures.add(subprocess.run(["dpkg-deb", "-f", str(deb), "Architecture"], check=True,
                                         capture_output=True, text=True).stdout.strip())
        listing = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True, capture_output=True, text=True).stdout
        for line in listing.splitlines():
            fields = line.split()  # mode owner size date time path
            if len(fields) >= 6 and fields[5] in rows:
                sizes[rows[fields[5]]] = int(fields[2])
    missing = [row for _, row in ITEMS if row not in sizes]
    if len(architectures) != 1 or missing:
        sys.exit(f"sizes: packages of {sorted(architectures)}, missing {missing}")
    return architectures.pop(), sizes


def cell(size: int) -> str:
    rough = f"{size / 1e6:.1f} MB" if size >= 1_000_000 else f"{round(size / 1000)} KB"
    return f"{rough} ({size:,} bytes)".replace(",", " ")


def parse(cell_text: str) -> Optional[int]:
    """The bytes a cell gives: exact in brackets, or rounded in KB or MB."""
    exact = re.search(r"\(([\d ]+) bytes\)", cell_text)
    if exact:
        return int(exact.group(1).replace(" ", ""))
    rough = re.match(r"\s*([\d.]+) (KB|MB)", cell_text)
    if rough:
        return round(float(rough.group(1)) * (1000 if rough.group(2) == "KB" else 1_000_000))
    return None


def read_table(doc: str) -> Dict[str, Dict[str, str]]:
    """The block's cells, by row and architecture."""
    block = doc[doc.index(BEGIN) + len(BEGIN):doc.index(END)]
    lines = [line.strip().strip("|").split("|") for line in block.splitlines() if line.startswith("|")]
    if len(lines) < 2:
        return {}
    header = [c.strip() for c in lines[0]]
    return {cells[0].strip(): {header[i]: c.strip() for i, c in enumerate(cells) if i > 0 and i < len(header)}
            for cells in lines[2:]}


def write_table(doc: str, architecture: str, sizes: Dict[str, int]) -> str:
    """doc with the block's column for the architecture written."""
    table = read_table(doc)
    columns = ARCHITECTURES + sorted({a for row in table.values() for a in row} - set(ARCHITECTURES))
    if architecture not in columns:
        columns.append(architecture)
    lines = ["| | " + " | ".join(columns) + " |", "|---" * (len(columns) + 1) + "|"]
    for _, row in ITEMS:
        cells = dict(table.get(row, {}), **{architecture: cell(sizes[row])})
        lines.append(f"| {row} | " + " | ".join(cells.get(c, "–") for c in columns) + " |")
    head, rest = doc.split(BEGIN, 1)
    return head + BEGIN + "\n" + "\n".join(lines) + "\n" + END + rest.split(END, 1)[1]


def stale(doc: str, architecture: str, sizes: Dict[str, int]) -> List[str]:
    """The rows whose figure for the architecture is off by more than 5 %."""
    table = read_table(doc)
    result = []
    for _, row in ITEMS:
        written = parse(table.get(row, {}).get(architecture, ""))
        if written is None or abs(sizes[row] - written) > TOLERANCE * written:
            result.append(f"{row}: {table.get(row, {}).get(architecture, 'nothing')} written, "
                          f"{sizes[row]} bytes measured")
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("--write", action="store_true", default=os.environ.get("PELLIX_WRITE_SIZES") == "1")
    parser.add_argument("--doc", type=Path, default=ROOT / "doc/operations.md")
    args = parser.parse_args()
    architecture, sizes = measure(args.build)
    doc = args.doc.read_text(encoding="utf-8")
    fresh = write_table(doc, architecture, sizes)
    if args.write:
        args.doc.write_text(fresh, encoding="utf-8")
        print(f"sizes: {architecture} written to {args.doc}")
        return 0
    problems = stale(doc, architecture, sizes)
    if not problems:
        print(f"sizes: the {architecture} figures of {args.doc} are within 5 % of the packages'")
        return 0
    block = fresh[fresh.index(BEGIN):fresh.index(END) + len(END)]
    print(f"sizes: the {architecture} figures of {args.doc} are stale:\n  " + "\n  ".join(problems)
          + f"\nPaste this block (or run again with --write, or PELLIX_WRITE_SIZES=1):\n{block}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
