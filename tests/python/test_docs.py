"""Every Python block of the README and of the documentation runs as the page shows it."""

from __future__ import annotations

from pathlib import Path

import pytest

pytest.importorskip("sybil", reason="sybil is not installed")

from doc_blocks import PageRun  # noqa: E402  (needs sybil)

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def test_pages_are_found() -> None:
    assert len(PAGES) > 10, PAGES


@pytest.mark.parametrize("page", PAGES, ids=[page.name for page in PAGES])
def test_page_blocks_run(page: Path) -> None:
    PageRun(page).run()
