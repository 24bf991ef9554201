"""Runs the fenced Python blocks of a Markdown page, in order, in one namespace per page.

- `<!-- skip: next "why" -->` on the line before a block skips it (Sybil's own directive).
- `<!-- process: A -->` on the line before a block runs that block in a child interpreter of
  its own, as a second program would; the blocks after it run here at the same time. The
  child gets Ctrl-C (SIGINT) when the page is done, and the page fails if it ended with an
  error on its own, or did not end within a few seconds of the Ctrl-C.
- Every channel name written as a string literal (`"/sensor-frames"`) gets a suffix unique
  to this run of the page, in the child's blocks as in the page's own, so that runs on one
  host never meet. Names the page leaves behind fail it, and are removed either way.
- Every block, in either process, must finish within BLOCK_TIMEOUT seconds.
"""

from __future__ import annotations

import gc
import os
import re
import signal
import subprocess
import sys
import uuid
from collections.abc import Iterator
from pathlib import Path
from types import FrameType
from unittest import SkipTest

from sybil import Document, Example, Region
from sybil.evaluators.python import pad
from sybil.parsers.markdown import SkipParser
from sybil.parsers.markdown.lexers import FencedCodeBlockLexer

import quillmere

BLOCK_TIMEOUT = 120
STOP_TIMEOUT = 20.0

CHILD_MARK = re.compile(r"<!--\s*process:\s*(\w+)\s*-->")
# A channel name as a whole string literal: one leading slash, no other.
CHANNEL_LITERAL = re.compile(r"""(["'])(/[A-Za-z0-9_.-]+)\1""")
# Compiles the padded source under the page's path, so that tracebacks show its lines.
CHILD_RUNNER = "import sys; exec(compile(sys.argv[2], sys.argv[1], 'exec'), {'__name__': '__main__'})"


class _Timeout(Exception):
    pass


def _on_alarm(signum: int, frame: FrameType | None) -> None:
    raise _Timeout(f"a block ran longer than {BLOCK_TIMEOUT} s")


class PageRun:
    """One run of one page: its namespace, its child processes and its channel names."""

    def __init__(self, path: Path) -> None:
        self.path = path
        self.suffix = f"-qm-doc-{os.getpid()}-{uuid.uuid4().hex[:8]}"
        self.names: set[str] = set()
        self.children: list[tuple[int, subprocess.Popen[str]]] = []

    def unique(self, source: str) -> str:
        def rename(match: re.Match[str]) -> str:
            name = match.group(2) + self.suffix
            self.names.add(name)
            return f"{match.group(1)}{name}{match.group(1)}"

        return CHANNEL_LITERAL.sub(rename, source)

    def blocks(self, document: Document) -> Iterator[Region]:
        for lexed in FencedCodeBlockLexer("python")(document):
            line_before = document.text[: lexed.start].rstrip("\n").rpartition("\n")[2]
            child = CHILD_MARK.fullmatch(line_before.strip()) is not None
            yield Region(lexed.start, lexed.end, lexed.lexemes["source"],
                         self.start_child if child else self.run_here)

    def source(self, example: Example) -> str:
        return pad(self.unique(example.parsed), example.line + example.parsed.line_offset)

    def run_here(self, example: Example) -> None:
        code = compile(self.source(example), example.path, "exec", dont_inherit=True)
        previous = signal.signal(signal.SIGALRM, _on_alarm)
        signal.alarm(BLOCK_TIMEOUT)
        try:
            exec(code, example.namespace)
        finally:
            signal.alarm(0)
            signal.signal(signal.SIGALRM, previous)

    def start_child(self, example: Example) -> None:
        child = subprocess.Popen(
            [sys.executable, "-c", CHILD_RUNNER, example.path, self.source(example)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.children.append((example.line, child))

    def check_children(self) -> list[str]:
        """Interrupts every child still running; returns what went wrong with any of them."""
        faults = []
        for line, child in self.children:
            ended_alone = child.poll() is not None
            if not ended_alone:
                child.send_signal(signal.SIGINT)
            try:
                output, _ = child.communicate(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                child.kill()
                output, _ = child.communicate()
                faults.append(f"the block at line {line} did not stop on Ctrl-C:\n{output}")
                continue
            interrupted = not ended_alone and child.returncode == -signal.SIGINT
            if child.returncode != 0 and not interrupted:
                faults.append(f"the block at line {line} failed ({child.returncode}):\n{output}")
        return faults

    def left_behind(self) -> list[str]:
        """Removes the page's channels; returns those that were still there."""
        left = [name for name in sorted(self.names) if os.path.exists("/dev/shm" + name)]
        for name in self.names:
            quillmere.unlink(name)
        return left

    def run(self) -> None:
        document = Document.parse(str(self.path), SkipParser(), self.blocks)
        document.namespace["__name__"] = "__main__"
        faults: list[str] = []
        try:
            for example in document.examples():
                try:
                    example.evaluate()
                except SkipTest:
                    continue
                except BaseException as error:
                    raise AssertionError(f"{self.path.name}, block at line {example.line}: "
                                         f"{type(error).__name__}: {error}") from error
        except AssertionError as error:
            faults.append(str(error))
        finally:
            document.namespace.clear()
            gc.collect()
            faults += self.check_children()
            left = self.left_behind()
            if left:
                faults.append(f"channels left behind: {left}")
        assert not faults, "\n".join(faults)
