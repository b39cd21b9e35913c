import subprocess
import sys

import pytest

import tessarin
from tessarin import _native

EXCEPTION_NAMES = [
    "TessarinError",
    "DimensionMismatchError",
    "PersistenceError",
    "FilterError",
    "UnsupportedFormatError",
    "CorruptIndexError",
    "InvalidIdentityError",
    "RetrievalCapabilityUnavailableError",
]


def test_module_registers_its_items_in_order():
    public = [name for name in vars(_native) if not name.startswith("__")]
    # The two retrieval database classes arrive with later work, after Index.
    expected = ["Index", "chunk_text", *EXCEPTION_NAMES]
    assert [name for name in public if name in expected] == expected
    assert _native.__name__ == "tessarin._native"
    assert _native.__doc__ == ""


@pytest.mark.parametrize("name", EXCEPTION_NAMES)
def test_exception_classes(name):
    cls = getattr(_native, name)
    assert cls.__module__ == "_native"
    assert cls.__qualname__ == name
    assert cls.__doc__ is None
    expected_base = Exception if name == "TessarinError" else _native.TessarinError
    assert cls.__bases__ == (expected_base,)
    assert getattr(tessarin, name) is cls


def test_package_reexports():
    assert tessarin.chunk_text is _native.chunk_text
    assert tessarin.Index is _native.Index
    assert set(tessarin.__all__) >= {"chunk_text", "TimestampMillis", *EXCEPTION_NAMES}
    for name in tessarin.__all__:
        assert hasattr(tessarin, name)


def test_second_interpreter_is_refused_with_import_error():
    inner = (
        "try:\n"
        "    import tessarin._native\n"
        "except ImportError as error:\n"
        "    print('refused:', error, flush=True)\n"
        "else:\n"
        "    print('imported', flush=True)\n"
    )
    code = (
        "try:\n"
        "    import _interpreters as interpreters\n"
        "except ImportError:\n"
        "    import _xxsubinterpreters as interpreters\n"
        "import tessarin._native\n"
        "interp = interpreters.create()\n"
        f"interpreters.run_string(interp, {inner!r})\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("refused:"), result.stdout
