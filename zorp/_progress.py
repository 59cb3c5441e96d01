"""Progress messages of a fit: one line per stage, for `verbose`.

A fit with `verbose` on prints its stages on stderr, as scikit-learn's
estimators print theirs, each line starting "[zorp] ". The command line
routes the same messages to its status line instead, through `sink`.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from contextvars import ContextVar

# Where the messages of fits in this context go instead of stderr (the
# command line's status line); None: stderr.
sink: ContextVar[Callable[[str], None] | None] = ContextVar("zorp_progress_sink", default=None)


def _to_stderr(message: str) -> None:
    stream = sys.stderr  # looked up per message, so that a redirection applies
    if stream is None:
        return
    try:
        print(f"[zorp] {message}", file=stream, flush=True)
    except (OSError, ValueError):
        pass  # a closed or broken stderr ends the messages, not the fit


class Progress:
    """Messages up to `level`: 1 the stages, the degree candidates and the
    choices; 2 also the robust fit's inner choices."""

    def __init__(self, level: int) -> None:
        self.level = level
        self.write = sink.get() or _to_stderr

    def __call__(self, message: str, level: int = 1) -> None:
        if level <= self.level:
            self.write(message)


def say(progress: Progress | None, message: str, level: int = 1) -> None:
    """`message` when there is a `progress` at `level` or above."""
    if progress is not None:
        progress(message, level)
