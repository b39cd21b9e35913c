"""Metadata value conversion and the `where` filter language, through the test-only module."""

import math

import numpy as np
import pytest

from tessarin.types import TimestampMillis

TYPE_MESSAGE = "metadata values must be str, int, float, bool, or TimestampMillis"


class Stamp:
    """Anything carrying the attribute is a timestamp, whatever else it is."""

    def __init__(self, millis):
        self.__tessarin_timestamp_millis__ = millis


class StrStamp(str):
    __tessarin_timestamp_millis__ = 9


class IntSub(int):
    pass


class FloatSub(float):
    pass


class Raising:
    @property
    def __tessarin_timestamp_millis__(self):
        raise RuntimeError("lookup fails")


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("en", "String:en"),
        ("", "String:"),
        (42, "Integer:42"),
        (-(2**63), "Integer:-9223372036854775808"),
        (IntSub(7), "Integer:7"),
        (True, "Boolean:true"),
        (np.bool_(True), None),  # not a Python bool: refused below
        (0.5, "Float:0.5"),
        (FloatSub(2.0), "Float:2.0"),
        (TimestampMillis(5), "TimestampMillis:5"),
        (Stamp(-3), "TimestampMillis:-3"),
        (Stamp(True), "TimestampMillis:1"),
        (StrStamp("x"), "TimestampMillis:9"),
    ],
)
def test_value_rules(testing, value, expected):
    if expected is None:
        with pytest.raises(TypeError, match=f"^{TYPE_MESSAGE}$"):
            testing.describe_value(value)
    else:
        assert testing.describe_value(value) == expected


@pytest.mark.parametrize(
    ("value", "error"),
    [
        (2**63, OverflowError),
        (None, TypeError),
        ([1], TypeError),
        (b"x", TypeError),
        (Raising(), TypeError),  # a raising lookup counts as no attribute
        (Stamp(1.5), TypeError),  # the attribute's own conversion error
        (Stamp(2**64), OverflowError),
        ("\ud800", UnicodeEncodeError),
    ],
)
def test_value_errors(testing, value, error):
    with pytest.raises(error) as caught:
        testing.describe_value(value)
    assert type(caught.value) is error



def test_round_trip_to_python(testing):
    nan = testing.value_roundtrip(math.nan)
    assert math.isnan(nan)
    for value in ["t", 3, -2.5, True, False, TimestampMillis(12)]:
        back = testing.value_roundtrip(value)
        assert back == value and type(back) is type(value)
    assert type(testing.value_roundtrip(IntSub(3))) is int
    assert testing.metadata_roundtrip({"b": 1, "a": "x", "B": True}) == {"B": True, "a": "x", "b": 1}
    assert list(testing.metadata_roundtrip({"b": 1, "a": 2, "B": 3})) == ["B", "a", "b"]


@pytest.mark.parametrize(
    ("where", "tree"),
    [
        ({"lang": "en"}, "Equals(lang, String:en)"),
        ({"a": "en", "y": 2024}, "And(Equals(a, String:en), Equals(y, Integer:2024))"),
        ({"y": {"$lte": 2020, "$eq": 2019}}, "And(Equals(y, Integer:2019), Range(y, -, Integer:2020))"),
        ({"y": {"$gte": 1, "$ne": 3, "$gte": 2}}, "And(NotEquals(y, Integer:3), Range(y, Integer:2, -))"),
        ({"t": {"$in": []}}, "In(t, [])"),
        ({"t": {"$in": ["a", 1, 1.5]}}, "In(t, [String:a, Integer:1, Float:1.5])"),
        ({"x": {"$exists": True}}, "Exists(x)"),
        ({"x": {"$exists": np.bool_(True)}}, "Exists(x)"),
        ({"x": {"$gte": "a"}}, "Range(x, String:a, -)"),  # refused only when evaluated
        ({"$or": []}, "Or()"),
        ({"$and": []}, "And()"),
        ({"$or": [{"a": 1}, {"b": {"$in": [2]}}]}, "Or(Equals(a, Integer:1), In(b, [Integer:2]))"),
        ({"$nor": 1, "$AND": 2}, "And(Equals($nor, Integer:1), Equals($AND, Integer:2))"),
        ({"$and": [{"a": 1}], "b": 2}, "And(And(Equals(a, Integer:1)), Equals(b, Integer:2))"),
    ],
)
def test_parse_trees(testing, where, tree):
    assert testing.parse_filter(where) == tree


def test_optional_and_list_forms(testing):
    assert testing.parse_optional_filter(None) is None
    assert testing.parse_optional_filter({"a": 1}) == "Equals(a, Integer:1)"
    assert testing.parse_filter_list([{"a": 1}, {"b": 2}], "$and") == [
        "Equals(a, Integer:1)", "Equals(b, Integer:2)"
    ]
    with pytest.raises(testing.exception_class("FilterError"), match=r"^\$or must be a list$"):
        testing.parse_filter_list((), "$or")


def filter_error(testing):
    return testing.exception_class("FilterError")


# where, exception ("filter" for FilterError), exact message
BAD_WHERE = [
    ([], TypeError, "where must be a dictionary"),
    (None, TypeError, "where must be a dictionary"),
    ({}, "filter", "where filter cannot be empty"),
    ({"lang": {}}, "filter", "field filter cannot be empty"),
    ({5: "a"}, TypeError, "filter keys must be strings"),
    ({"x": {5: "a"}}, TypeError, "filter operators must be strings"),
    ({"y": {"$gt": 5}}, "filter", "unsupported filter operator '$gt'"),
    ({"y": {"$EQ": 5}}, "filter", "unsupported filter operator '$EQ'"),
    ({"t": {"$in": ("a", "b")}}, "filter", "$in value must be a list"),
    ({"t": {"$in": ["a", None]}}, TypeError, TYPE_MESSAGE),
    ({"x": {"$exists": False}}, "filter", "$exists: false is not supported by Tessarin V1 filters"),
    ({"x": {"$exists": 1}}, "filter", "$exists value must be a boolean"),
    ({"$and": [1]}, TypeError, "where must be a dictionary"),
    ({"$and": [{}]}, "filter", "where filter cannot be empty"),
    ({"$or": {"a": 1}}, "filter", "$or must be a list"),
    ({"$and": ({"a": 1},)}, "filter", "$and must be a list"),
    ({"x": [1, 2]}, TypeError, TYPE_MESSAGE),
    ({"x": None}, TypeError, TYPE_MESSAGE),
    ({"x": {"$eq": {"a": 1}}}, TypeError, TYPE_MESSAGE),
    ({"ok": 1, "bad": {"$lt": 1}}, "filter", "unsupported filter operator '$lt'"),
    ({"x": 2**64}, OverflowError, None),
]


@pytest.mark.parametrize(("where", "error", "message"), BAD_WHERE)
def test_bad_where(testing, where, error, message):
    expected = filter_error(testing) if error == "filter" else error
    with pytest.raises(expected) as caught:
        testing.parse_filter(where)
    assert type(caught.value) is expected
    if message is not None:
        assert str(caught.value) == message


def test_hostile_where_inputs(testing):
    deep = {"a": 1}
    for _ in range(5000):
        deep = {"$and": [deep]}
    with pytest.raises(filter_error(testing), match="nested more than 128 levels"):
        testing.parse_filter(deep)
    ok = {"a": 1}
    for _ in range(128):
        ok = {"$or": [ok]}
    assert testing.parse_filter(ok).count("Or(") == 128

    big = {"x": {"$in": list(range(200_000))}}
    assert testing.parse_filter(big).startswith("In(x, [Integer:0, Integer:1")

    class OddDict(dict):
        def __iter__(self):
            raise AssertionError("the parser reads the dict's own entries")

        def items(self):
            raise AssertionError("the parser reads the dict's own entries")

    assert testing.parse_filter(OddDict(a=1)) == "Equals(a, Integer:1)"

    # Python code run during conversion empties the containers being walked.
    values = []

    class Mutator:
        @property
        def __tessarin_timestamp_millis__(self):
            values.clear()
            where.clear()
            return 1

    values.extend([Mutator(), "b", "c"])
    where = {"x": {"$in": values}, "y": 2}
    assert testing.parse_filter(where) == (
        "And(In(x, [TimestampMillis:1, String:b, String:c]), Equals(y, Integer:2))"
    )


NAN = math.nan
# where, metadata, expected
MATCHES = [
    ({"a": "en", "y": 2024}, {"a": "en", "y": 2024}, True),
    ({"a": "en", "y": 2024}, {"a": "en"}, False),
    ({"n": 1}, {"n": 1.0}, False),  # kinds never mix
    ({"n": 1}, {"n": True}, False),
    ({"n": 1}, {"n": TimestampMillis(1)}, False),
    ({"n": TimestampMillis(1)}, {"n": TimestampMillis(1)}, True),
    ({"f": 0.0}, {"f": -0.0}, True),
    ({"f": NAN}, {"f": NAN}, False),
    ({"x": {"$ne": 1}}, {}, True),
    ({"x": {"$ne": 1}}, {"x": 1.0}, True),
    ({"x": {"$ne": 1}}, {"x": "text"}, True),
    ({"x": {"$ne": 1}}, {"x": 1}, False),
    ({"x": {"$ne": NAN}}, {"x": NAN}, True),
    ({"t": {"$in": []}}, {"t": "a"}, False),
    ({"t": {"$in": ["a", "b"]}}, {"t": "b"}, True),
    ({"t": {"$in": ["a", "b"]}}, {}, False),
    ({"$or": []}, {"a": 1}, False),
    ({"$and": []}, {}, True),
    ({"x": {"$exists": True}}, {"x": False}, True),
    ({"x": {"$exists": True}}, {"y": 1}, False),
    ({"x": {"$gte": 1, "$lte": 3}}, {"x": 2}, True),
    ({"x": {"$gte": 1, "$lte": 3}}, {"x": 2.5}, True),
    ({"x": {"$gte": 1, "$lte": 3}}, {"x": TimestampMillis(3)}, True),
    ({"x": {"$gte": 1, "$lte": 3}}, {"x": "2"}, False),
    ({"x": {"$gte": 1, "$lte": 3}}, {"x": 3.5}, False),
    ({"x": {"$gte": 1, "$lte": 3}}, {}, False),
    ({"x": {"$gte": 3.0}}, {"x": 3}, True),
    ({"x": {"$lte": float(2**53)}}, {"x": 2**53 + 1}, True),  # numeric view rounds to 2**53
    ({"x": {"$gte": 1}}, {"x": NAN}, True),  # NaN never excluded
    ({"x": {"$gte": NAN, "$lte": NAN}}, {"x": 5}, True),
    ({"x": {"$gte": -math.inf}}, {"x": -1e308}, True),
    ({"x": {"$gte": "a"}}, {"x": "b"}, False),  # text value: no numeric view, no error
    ({"x": {"$lte": True}}, {}, False),
]


@pytest.mark.parametrize(("where", "metadata", "expected"), MATCHES)
def test_matching(testing, where, metadata, expected):
    assert testing.matches(where, metadata) is expected


@pytest.mark.parametrize(
    ("where", "metadata"),
    [
        ({"x": {"$gte": "a"}}, {"x": 1}),
        ({"x": {"$lte": True}}, {"x": 1.5}),
        ({"x": {"$gte": 0, "$lte": "z"}}, {"x": 1}),
        ({"$or": [{"y": 1}, {"x": {"$gte": "a"}}]}, {"x": 1}),
    ],
)
def test_range_with_text_or_boolean_bound_fails_on_a_number(testing, where, metadata):
    with pytest.raises(filter_error(testing)) as caught:
        testing.matches(where, metadata)
    assert str(caught.value) == "invalid range filter for metadata field 'x'"


def test_evaluation_stops_before_a_bad_bound(testing):
    # The lower bound excludes the value, so the bad upper bound is never examined;
    # a true earlier child of $or wins before the bad one.
    assert testing.matches({"x": {"$gte": 5, "$lte": "z"}}, {"x": 1}) is False
    assert testing.matches({"$or": [{"y": 1}, {"x": {"$gte": "a"}}]}, {"x": 1, "y": 1}) is True


def test_metadata_dictionaries(testing):
    class Sub(dict):
        pass

    assert list(testing.parse_metadata(Sub(b=1, a=TimestampMillis(2)))) == ["a", "b"]
    assert testing.parse_metadata({}) == {}
    for value, error, message in [
        ({"a": 1, 2: "b"}, TypeError, "metadata keys must be strings"),
        (None, TypeError, "metadata must be a dictionary"),
        ([("a", 1)], TypeError, "metadata must be a dictionary"),
        ({"a": [1]}, TypeError, TYPE_MESSAGE),
        ({"a": 2**63}, OverflowError, None),
    ]:
        with pytest.raises(error) as caught:
            testing.parse_metadata(value)
        assert type(caught.value) is error
        if message:
            assert str(caught.value) == message
    assert testing.optional_metadata({}) == {}
    assert testing.optional_metadata({"metadata": {"k": "v"}}) == {"k": "v"}
    with pytest.raises(TypeError, match="^metadata must be a dictionary$"):
        testing.optional_metadata({"metadata": None})
    assert testing.required_item({"id": "x"}, "id") == "x"
    with pytest.raises(KeyError) as caught:
        testing.required_item({}, "id")
    assert caught.value.args == ("missing required key 'id'",)
