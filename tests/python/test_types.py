import datetime as dt
import pickle

import pytest

from tessarin.types import TimestampMillis


def test_value_semantics():
    t = TimestampMillis(1_700_000_000_123)
    assert t.__tessarin_timestamp_millis__ == 1_700_000_000_123 == t.millis
    assert t == TimestampMillis(1_700_000_000_123)
    assert t != TimestampMillis(0)
    assert t != 1_700_000_000_123  # a timestamp is not an integer
    assert hash(t) == hash(TimestampMillis(1_700_000_000_123))
    assert len({t, TimestampMillis(1_700_000_000_123), TimestampMillis(1)}) == 2
    assert TimestampMillis(1) < TimestampMillis(2)
    assert repr(t) == "TimestampMillis(1700000000123)"
    assert pickle.loads(pickle.dumps(t)) == t
    with pytest.raises(AttributeError):
        t.__tessarin_timestamp_millis__ = 5


@pytest.mark.parametrize(
    ("value", "error"),
    [(1.5, TypeError), ("5", TypeError), (True, TypeError), (None, TypeError),
     (2**63, OverflowError), (-(2**63) - 1, OverflowError)],
)
def test_rejects_what_is_not_a_signed_64_bit_integer(value, error):
    with pytest.raises(error):
        TimestampMillis(value)


def test_extremes_and_datetimes():
    assert TimestampMillis(2**63 - 1).millis == 2**63 - 1
    assert TimestampMillis(-(2**63)).millis == -(2**63)
    moment = dt.datetime(2024, 2, 29, 12, 30, 15, 987_654, tzinfo=dt.timezone.utc)
    t = TimestampMillis.from_datetime(moment)
    assert t.millis == 1_709_209_815_987
    assert t.to_datetime() == moment.replace(microsecond=987_000)
    before_epoch = dt.datetime(1969, 12, 31, 23, 59, 59, 999_500, tzinfo=dt.timezone.utc)
    assert TimestampMillis.from_datetime(before_epoch).millis == -1
    with pytest.raises(ValueError, match="aware"):
        TimestampMillis.from_datetime(dt.datetime(2024, 1, 1))
