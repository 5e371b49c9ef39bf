"""check_links.py on a small tree of pages: anchors as the forge makes them,
and the broken links it must report."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import check_links  # noqa: E402


@pytest.mark.parametrize("heading, anchor", [
    ("Paths and port", "paths-and-port"),
    ("As it ships (the 1 ms pause)", "as-it-ships-the-1-ms-pause"),
    ("`pellix-cli` and  the_bridge: 3.1.1!", "pellix-cli-and--the_bridge-311"),
    ("[Links](x.md) count by their text", "links-count-by-their-text"),
    ("Größe ÷ Zeit", "größe--zeit"),
])
def test_slug(heading: str, anchor: str) -> None:
    assert check_links.slug(heading) == anchor


def test_anchors_skip_code_and_number_repeats() -> None:
    text = "# Top\n\n## Notes\n\n```sh\n# not a heading\n```\n\n    # nor this\n\nNotes\n-----\n\n## Notes\n"
    assert check_links.anchors(text) == ["top", "notes", "notes-1", "notes-2"]


def test_broken_links_are_reported_with_their_lines(tmp_path: Path) -> None:
    (tmp_path / "doc/img").mkdir(parents=True)
    (tmp_path / "doc/img/a.png").write_bytes(b"")
    (tmp_path / "doc/page.md").write_text("# Page\n\n## Setup\n")
    (tmp_path / "README.md").write_text(
        "# Readme\n"
        "[ok](doc/page.md#setup) ![ok](doc/img/a.png) [ok](#readme) [ok](https://x.org/none) [ok](doc/)\n"
        "`[not a link](nowhere.md)`\n"
        "```\n[not a link](nowhere.md)\n```\n"
        "[gone](doc/none.md) ![old place](img/a.png)\n"
        "[bad anchor](doc/page.md#set-up) [bad here](#nothing) [out](../x.md)\n"
        "[ref]: doc/missing.md\n")
    broken, checked = check_links.check(tmp_path)
    assert checked == 10
    assert [line.split(" (")[0] for line in broken] == [
        "README.md:7: doc/none.md", "README.md:7: img/a.png", "README.md:8: doc/page.md#set-up",
        "README.md:8: #nothing", "README.md:8: ../x.md", "README.md:9: doc/missing.md"]
