"""Declarative checks of estimator parameters: one rule per parameter, checked at `fit`."""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

INT32_MAX = 2**31 - 1
UINT64_MAX = 2**64 - 1


@dataclass(frozen=True)
class Interval:
    """Numbers of `kind` ("int" or "real") in [low, high] (None: unbounded);
    `open_low` excludes the lower bound."""

    kind: str
    low: float | None = None
    high: float | None = None
    open_low: bool = False

    def accepts(self, value: Any) -> bool:
        if isinstance(value, bool):
            return False
        if self.kind == "int":
            if not isinstance(value, numbers.Integral):
                return False
        elif not isinstance(value, numbers.Real) or not math.isfinite(value):
            return False
        if self.low is not None and (value < self.low or (self.open_low and value == self.low)):
            return False
        return self.high is None or value <= self.high

    def type_ok(self, value: Any) -> bool:
        if isinstance(value, bool):
            return False
        wanted = numbers.Integral if self.kind == "int" else numbers.Real
        return isinstance(value, wanted)

    def describe(self) -> str:
        name = "an int" if self.kind == "int" else "a finite float"
        low = "-inf" if self.low is None else repr(self.low)
        high = "inf" if self.high is None else repr(self.high)
        left = "(" if self.open_low or self.low is None else "["
        right = ")" if self.high is None else "]"
        return f"{name} in the range {left}{low}, {high}{right}"


@dataclass(frozen=True)
class Options:
    """One of a fixed set of values (strings or None)."""

    values: tuple[Any, ...]

    def accepts(self, value: Any) -> bool:
        return any(value is v or (isinstance(v, str) and value == v) for v in self.values)

    def type_ok(self, value: Any) -> bool:
        return value is None or isinstance(value, str)

    def describe(self) -> str:
        return " or ".join(repr(v) for v in self.values)


@dataclass(frozen=True)
class Degrees:
    """A non-negative int, or a sequence of them (one per input dimension)."""

    high: int

    def accepts(self, value: Any) -> bool:
        one = Interval("int", 0, self.high)
        if _is_sequence(value):
            return len(value) > 0 and all(one.accepts(v) for v in value)
        return one.accepts(value)

    def type_ok(self, value: Any) -> bool:
        if _is_sequence(value):
            return all(isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in value)
        return isinstance(value, numbers.Integral) and not isinstance(value, bool)

    def describe(self) -> str:
        return f"an int in the range [0, {self.high}] or a non-empty sequence of such ints"


@dataclass(frozen=True)
class Accepted:
    """The values `test` accepts, described by `text`; any other value is
    out of range (ValueError), whatever its type."""

    test: Callable[[Any], bool]
    text: str

    def accepts(self, value: Any) -> bool:
        return self.test(value)

    def type_ok(self, value: Any) -> bool:
        return True

    def describe(self) -> str:
        return self.text


def _is_sequence(value: Any) -> bool:
    return (isinstance(value, Sequence) and not isinstance(value, str)) or (
        hasattr(value, "__array__") and getattr(value, "ndim", 0) == 1
    )


Rule = Interval | Options | Degrees | Accepted


def check_params(
    owner: str, params: Mapping[str, Any], rules: Mapping[str, Sequence[Rule]]
) -> None:
    """Raise TypeError (wrong type) or ValueError (out of range) for the first
    parameter that no rule of its list accepts, naming it and what is allowed."""
    for name, allowed in rules.items():
        value = params[name]
        if any(rule.accepts(value) for rule in allowed):
            continue
        wanted = " or ".join(rule.describe() for rule in allowed)
        message = f"The {name!r} parameter of {owner} must be {wanted}. Got {value!r} instead."
        if any(rule.type_ok(value) for rule in allowed):
            raise ValueError(message)
        raise TypeError(message)
