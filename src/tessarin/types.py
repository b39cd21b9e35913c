"""Value types that Tessarin stores in chunk metadata."""

from __future__ import annotations

import datetime as _dt
import functools
import operator
from typing import TypedDict

__all__ = ["TextChunk", "TimestampMillis"]

_I64_MIN = -(2**63)
_I64_MAX = 2**63 - 1
_EPOCH = _dt.datetime(1970, 1, 1, tzinfo=_dt.timezone.utc)


@functools.total_ordering
class TimestampMillis:
    """A point in time as whole milliseconds since the Unix epoch.

    Metadata values of this type are kept apart from plain integers: a filter on
    ``TimestampMillis(5)`` does not match the integer ``5`` by equality, while range
    filters compare both by value.
    """

    __slots__ = ("__tessarin_timestamp_millis__",)
    __tessarin_timestamp_millis__: int

    def __init__(self, millis: int) -> None:
        if isinstance(millis, bool):
            raise TypeError("TimestampMillis takes an integer of milliseconds, not bool")
        try:
            value = operator.index(millis)
        except TypeError:
            raise TypeError(
                f"TimestampMillis takes an integer of milliseconds, not {type(millis).__name__}"
            ) from None
        if not _I64_MIN <= value <= _I64_MAX:
            raise OverflowError(f"TimestampMillis {value} does not fit a signed 64-bit integer")
        object.__setattr__(self, "__tessarin_timestamp_millis__", value)

    @classmethod
    def from_datetime(cls, moment: _dt.datetime) -> TimestampMillis:
        """The timestamp of an aware datetime, truncated to whole milliseconds."""
        if moment.tzinfo is None:
            raise ValueError("TimestampMillis.from_datetime needs an aware datetime (with tzinfo)")
        delta = moment - _EPOCH
        return cls((delta.days * 86_400 + delta.seconds) * 1000 + delta.microseconds // 1000)

    @property
    def millis(self) -> int:
        """Milliseconds since the Unix epoch."""
        return self.__tessarin_timestamp_millis__

    def to_datetime(self) -> _dt.datetime:
        """The moment as an aware UTC datetime."""
        return _EPOCH + _dt.timedelta(milliseconds=self.__tessarin_timestamp_millis__)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("TimestampMillis is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("TimestampMillis is immutable")

    def __eq__(self, other: object) -> bool:
        if isinstance(other, TimestampMillis):
            return self.millis == other.millis
        return NotImplemented

    def __lt__(self, other: object) -> bool:
        if isinstance(other, TimestampMillis):
            return self.millis < other.millis
        return NotImplemented

    def __hash__(self) -> int:
        return hash((TimestampMillis, self.millis))

    def __repr__(self) -> str:
        return f"TimestampMillis({self.millis})"

    def __reduce__(self) -> tuple[type[TimestampMillis], tuple[int]]:
        return (TimestampMillis, (self.millis,))


class TextChunk(TypedDict):
    """One window returned by ``chunk_text``; the offsets are UTF-8 byte offsets."""

    text: str
    start_byte: int
    end_byte: int
