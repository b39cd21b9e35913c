#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ unit tests (Release, then again
# under AddressSanitizer and UndefinedBehaviorSanitizer) and the Python tests
# against the installed package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

python="$PWD/.venv/bin/python"
jobs="$(nproc)"
export PATH="$PWD/.venv/bin:$PATH"  # the pinned cmake and ninja

cmake -S . -B build/tests -G Ninja -DTESSARIN_BUILD_TESTS=ON -DPython_EXECUTABLE="$python" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests --parallel "$jobs"
ctest --test-dir build/tests --output-on-failure --parallel "$jobs"

# The test-only extension module lives in build/tests; the real one is installed.
PYTHONPATH="$PWD/build/tests" "$python" -m pytest -q tests/python

cmake -S . -B build/sanitize -G Ninja -DTESSARIN_BUILD_TESTS=ON -DTESSARIN_SANITIZE=ON \
  -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/sanitize --parallel "$jobs" --target tessarin_cpp_tests
ctest --test-dir build/sanitize --output-on-failure --parallel "$jobs"
