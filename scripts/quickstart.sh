#!/usr/bin/env bash
# Sets everything up and runs the quickstart example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/quickstart.py
