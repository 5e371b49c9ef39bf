"""The scripts that write measured figures into the pages: the packaged sizes
(scripts/sizes.py) and the benchmark's tables (bench/write_results_block.py),
on copies of the real pages; and the benchmark block of doc/performance.md
against the committed measurement."""

import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "scripts"), str(ROOT / "bench")]
import sizes  # noqa: E402
import write_results_block as results  # noqa: E402

OPERATIONS = (ROOT / "doc/operations.md").read_text(encoding="utf-8")
PERFORMANCE = (ROOT / "doc/performance.md").read_text(encoding="utf-8")
MEASURED = (ROOT / "doc/performance/results.md").read_text(encoding="utf-8")
AMD64 = {row: size for (_, row), size in zip(sizes.ITEMS, [270_000, 210_000, 300_000, 5_800_000])}


def test_sizes_write_one_column_and_keep_the_other() -> None:
    arm64_before = {row: cells.get("arm64") for row, cells in sizes.read_table(OPERATIONS).items()}
    page = sizes.write_table(OPERATIONS, "amd64", AMD64)
    assert page.startswith(OPERATIONS.split(sizes.BEGIN)[0]) and page.endswith(OPERATIONS.split(sizes.END)[1])
    table = sizes.read_table(page)
    assert table["`pellix`"]["amd64"] == "270 KB (270 000 bytes)"
    assert table["`libpellix_client.a` (with debug information)"]["amd64"] == "5.8 MB (5 800 000 bytes)"
    for row, cell in arm64_before.items():
        assert table[row]["arm64"] == cell
    assert sizes.stale(page, "amd64", AMD64) == []
    assert sizes.write_table(page, "amd64", AMD64) == page


@pytest.mark.parametrize("factor, stale", [(1.04, False), (0.96, False), (1.06, True), (0.94, True)])
def test_sizes_check_allows_five_percent(factor: float, stale: bool) -> None:
    page = sizes.write_table(OPERATIONS, "amd64", AMD64)
    grown = dict(AMD64, **{"`pellix-cli`": round(AMD64["`pellix-cli`"] * factor)})
    assert bool(sizes.stale(page, "amd64", grown)) == stale


def test_sizes_parse_rounded_and_exact_cells() -> None:
    assert sizes.parse("5.7 MB") == 5_700_000
    assert sizes.parse("266 KB (265 976 bytes)") == 265_976
    assert sizes.parse("–") is None


def test_results_block_gets_the_report_without_its_title() -> None:
    page = results.rewrite(PERFORMANCE, "Title\n\n| a | b |\n|---|---|\n| 1 | 2 |\n\nMeasured today.\n")
    head, block, tail = results.split(page)
    assert block == "\n| a | b |\n|---|---|\n| 1 | 2 |\n\nMeasured today.\n"
    assert (head, tail) == tuple(results.split(PERFORMANCE)[::2])
    assert results.rewrite(page, MEASURED) == results.rewrite(PERFORMANCE, MEASURED)
    assert results.unmeasured_rows(results.rewrite(PERFORMANCE, MEASURED), MEASURED) == []
    with pytest.raises(ValueError):
        results.split(PERFORMANCE.replace(results.END, ""))


def test_performance_page_shows_only_measured_figures() -> None:
    assert results.unmeasured_rows(PERFORMANCE, MEASURED) == []
    row = [line for line in results.split(PERFORMANCE)[1].splitlines() if line.startswith("|")][-1]
    edited = PERFORMANCE.replace(row, row + " 1 |")
    assert len(results.unmeasured_rows(edited, MEASURED)) == 1
