"""Every Python block of the README and of the documentation runs as the page shows it."""

from __future__ import annotations

import os
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


# The harness itself: a page that should fail must fail, with the reason named.
OK_PAIR = '''
<!-- process: A -->
```python
import time, quillmere
writer = quillmere.BytesWriter("/pair", entry_length=8, entry_count=4)
while True:
    writer.write(b"12345678")
    time.sleep(0.01)
```

```python
import time, quillmere
reader = quillmere.BytesReader("/pair")
while reader.read() is None:
    time.sleep(0.01)
```
'''
SKIPPED = '''
<!-- skip: next "cannot run" -->
```python
raise SystemExit("ran a skipped block")
```
'''
CHILD_FAILS = '''
<!-- process: A -->
```python
raise ValueError("process A broke")
```

```python
import time
time.sleep(0.5)
```
'''
BLOCK_FAILS = '''
```python
x = 1
```

```python
assert x == 2, "namespace shared, value wrong"
```
'''


@pytest.mark.parametrize("text, fault", [
    (OK_PAIR, None),
    (SKIPPED, None),
    (CHILD_FAILS, "process A broke"),
    (BLOCK_FAILS, "block at line 6: AssertionError: namespace shared, value wrong"),
], ids=["two-processes", "skipped", "child-fails", "block-fails"])
def test_harness_reports_faults(tmp_path: Path, text: str, fault: str | None) -> None:
    page = tmp_path / "page.md"
    page.write_text(text)
    if fault is None:
        PageRun(page).run()
    else:
        with pytest.raises(AssertionError, match=fault):
            PageRun(page).run()


def test_harness_reports_channels_left_behind(tmp_path: Path) -> None:
    page = tmp_path / "page.md"
    page.write_text('```python\nimport quillmere\nquillmere.unlink("/gone")\n'
                    'import os\nfd = os.open("/dev/shm" + "/gone", os.O_CREAT | os.O_RDWR, 0o600)\n'
                    'os.close(fd)\n```\n')
    run = PageRun(page)
    with pytest.raises(AssertionError, match="channels left behind"):
        run.run()
    assert not any(os.path.exists("/dev/shm" + name) for name in run.names)
