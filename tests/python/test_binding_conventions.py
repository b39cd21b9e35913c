"""The binding layer's shared conventions, reached through the test-only module."""

import array
import math
import os
import pathlib
import threading

import numpy as np
import pytest

# Kind number, class name (None: built-in ValueError), exact message.
CORE_ERRORS = [
    (0, "InvalidIdentityError",
     "invalid ChunkKey 'a': must be unique within one record generation"),
    (1, "TessarinError", "invalid canonical record value at 'meta.x': floats must be finite"),
    (2, "DimensionMismatchError",
     "invalid vector dimension: expected 384, got 768; use the same embedding model for "
     "indexing and queries"),
    (3, "TessarinError", "missing embedding: record r1 chunk c1"),
    (4, "FilterError", "invalid range filter for metadata field 'year'"),
    (5, "UnsupportedFormatError", "unsupported vector encoding 'BinaryQuantized'"),
    (6, "RetrievalCapabilityUnavailableError",
     "hybrid retrieval state is unavailable; rebuild or reload the database from its "
     "canonical corpus"),
    (7, "PersistenceError",
     "persistence read failed for '/nowhere': No such file or directory. Check that the index "
     "path exists and is readable when loading, or that its parent directory is writable when "
     "saving"),
    (8, None, "invalid query parameter 'alpha': must be within [0, 1]"),
    (9, "UnsupportedFormatError", "invalid index format: vector count and dimension overflow"),
    (10, "CorruptIndexError",
     "corrupt index file 'chunks.bin': sha256 mismatch. Restore the index from a known-good "
     "copy, or rebuild and replace the index directory"),
]


@pytest.mark.parametrize(("kind", "class_name", "message"), CORE_ERRORS)
def test_core_error_reaches_its_class_with_its_text(testing, kind, class_name, message):
    expected = ValueError if class_name is None else testing.exception_class(class_name)
    with pytest.raises(expected) as caught:
        testing.raise_core_error(kind)
    assert type(caught.value) is expected
    assert caught.value.args == (message,)
    base = testing.exception_class("TessarinError")
    # A bad query parameter is a plain ValueError, outside the module's hierarchy.
    assert isinstance(caught.value, base) == (class_name is not None)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 0.1


@pytest.mark.parametrize(
    ("value", "expected"),
    [(0, 0), (7, 7), (2**64 - 1, 2**64 - 1), (True, 1), (Index(5), 5), (np.int64(3), 3)],
)
def test_count_accepts_integers(testing, value, expected):
    assert testing.to_count(value) == expected


@pytest.mark.parametrize(
    ("value", "error", "prefix"),
    [
        (-1, OverflowError, ""),
        (2**64, OverflowError, ""),
        (1.0, TypeError, "argument 'limit': "),
        ("3", TypeError, "argument 'limit': "),
        (None, TypeError, "argument 'limit': "),
        (Index("x"), TypeError, "argument 'limit': "),
    ],
)
def test_count_errors(testing, value, error, prefix):
    with pytest.raises(error) as caught:
        testing.to_count(value)
    assert type(caught.value) is error
    assert str(caught.value).startswith(prefix)
    if error is TypeError:
        assert len(str(caught.value)) > len(prefix)


def test_text_conversion(testing):
    class Sub(str):
        pass

    assert testing.to_text("héllo ✓") == "héllo ✓"
    assert testing.to_text(Sub("x")) == "x"
    with pytest.raises(TypeError, match=r"^argument 'text': expected str, got bytes$"):
        testing.to_text(b"x")
    with pytest.raises(UnicodeEncodeError):
        testing.to_text("bad \ud800 surrogate")


def test_f32_rounds_to_nearest_single(testing):
    assert testing.to_f32(0.1) == float(np.float32(0.1))
    assert testing.to_f32(1) == 1.0
    assert testing.to_f32(Floaty()) == float(np.float32(0.1))
    assert testing.to_f32("0.5") == 0.5  # whatever float() accepts
    assert testing.to_f32(1e300) == math.inf
    with pytest.raises(TypeError, match=r"^argument 'alpha': "):
        testing.to_f32(None)
    with pytest.raises(ValueError):
        testing.to_f32("not a number")


def test_bool_accepts_python_and_numpy_booleans_only(testing):
    assert testing.to_bool(True) is True
    assert testing.to_bool(False) is False
    assert testing.to_bool(np.bool_(True)) is True
    assert testing.to_bool(np.bool_(False)) is False
    for value in (1, 0, None, "yes"):
        with pytest.raises(TypeError, match=r"^argument 'include_bm25': expected bool"):
            testing.to_bool(value)


def test_path_conversion(testing, tmp_path):
    assert testing.to_path("some/dir") == b"some/dir"
    assert testing.to_path(pathlib.Path("a") / "b") == b"a/b"
    assert testing.to_path(tmp_path) == os.fsencode(tmp_path)
    # Undecodable file names arrive as surrogate escapes and go back to their bytes.
    assert testing.to_path("caf\udce9") == b"caf\xe9"
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        testing.to_path(b"raw/bytes")
    with pytest.raises(TypeError, match=r"^argument 'path': "):
        testing.to_path(3)


def test_embedding_conversion_paths_agree(testing):
    rng = np.random.default_rng(7)
    values = rng.normal(size=37) * 10.0 ** rng.integers(-40, 40, size=37)
    expected = [float(np.float32(v)) for v in values]
    sources = [
        values.tolist(),
        tuple(values.tolist()),
        values,  # float64 buffer
        values.astype(np.float32),  # float32 buffer
        values[::-1][::-1],  # a view with its own strides
        np.ascontiguousarray(np.stack([values, values]).T)[:, 0],  # strided column
        array.array("d", values),
        memoryview(array.array("f", values)),
        [np.float32(v) for v in values],
    ]
    for source in sources:
        assert testing.to_embedding(source) == expected, type(source)
    assert testing.to_embedding([]) == []
    assert testing.to_embedding([1, True, Floaty()]) == [1.0, 1.0, float(np.float32(0.1))]


@pytest.mark.parametrize(
    ("value", "error"),
    [
        ("1.0", TypeError),
        (42, TypeError),
        ({1.0: 1}, TypeError),
        ([1.0, None], TypeError),
        ([1.0, "x"], ValueError),
        (np.zeros((2, 2)), TypeError),
    ],
)
def test_embedding_errors(testing, value, error):
    with pytest.raises(error) as caught:
        testing.to_embedding(value)
    assert type(caught.value) is error
    if error is TypeError:
        assert str(caught.value).startswith("argument 'embedding': ")


def test_borrow_flag_refuses_conflicting_calls(testing):
    probe = testing.BorrowProbe()
    writer = threading.Thread(target=probe.hold, args=(True,))
    writer.start()
    try:
        while probe.inside() == 0:
            threading.Event().wait(0.001)
        with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
            probe.read()
        with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
            probe.write()
    finally:
        probe.let_go()
        writer.join()
    # Released on the way out: both kinds of access work again.
    assert probe.read() == 1
    assert probe.write() == 2


def test_shared_borrows_run_together_and_block_writers(testing):
    probe = testing.BorrowProbe()
    readers = [threading.Thread(target=probe.hold, args=(False,)) for _ in range(2)]
    for reader in readers:
        reader.start()
    try:
        while probe.inside() < 2:
            threading.Event().wait(0.001)
        assert probe.read() == 1
        with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
            probe.write()
    finally:
        probe.let_go()
        for reader in readers:
            reader.join()
    assert probe.write() == 2
