"""Timing helpers shared by the benchmark scripts (run on demand, never in tests)."""

import time
from collections.abc import Callable, Sequence


def best_of(fn: Callable[[], object], repeats: int) -> float:
    """Best wall time of single calls, in seconds, over `repeats` calls."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def best_time(fn: Callable[[], object], repeat: int = 5, min_time: float = 0.05) -> float:
    """Best wall time of one call, in seconds, over `repeat` rounds of enough calls."""
    fn()  # warm-up
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    number = max(1, int(min_time / max(once, 1e-9)))
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def fmt_time(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.1f} ns"


def compare(
    title: str,
    cases: Sequence[tuple[str, Callable[[], object], dict[str, Callable[[], object]]]],
    repeat: int = 5,
) -> None:
    """Print a table timing zorp against each named peer, with the speed-up ratio.

    Each case is (label, zorp_call, {peer_name: peer_call}). A ratio above 1 means
    zorp is faster than that peer.
    """
    print(f"\n{title}")
    print(f"{'case':<28}{'zorp':>12}  {'peer':<34}{'peer time':>12}{'ratio':>9}")
    for label, ours, peers in cases:
        t_ours = best_time(ours, repeat)
        first = True
        for name, peer in peers.items():
            t_peer = best_time(peer, repeat)
            shown = fmt_time(t_ours) if first else ""
            print(
                f"{label if first else '':<28}{shown:>12}  {name:<34}"
                f"{fmt_time(t_peer):>12}{t_peer / t_ours:8.2f}x"
            )
            first = False
