import importlib

import pytest


@pytest.fixture(scope="session")
def testing():
    """The test-only extension module built beside the real one (scripts/test.sh)."""
    try:
        return importlib.import_module("_tessarin_testing")
    except ImportError:
        pytest.skip("_tessarin_testing is not built; run scripts/test.sh")
