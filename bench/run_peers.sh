#!/usr/bin/env bash
# Tessarin against NumPy, FAISS, USearch, bm25s and Tantivy: one command.
#   bash bench/run_peers.sh [--quick]
# Sets up its own environment, .venv-bench (the Debian packages and pinned build
# tools of scripts/setup.sh, the package built from this tree, and the peers pinned
# in bench/requirements-peers.txt), builds the bench module, then runs
# bench/compare_peers.py, which writes bench/RESULTS.md and bench/peers_latency.png.
# Its own environment keeps the peers out of .venv and keeps a reinstall there from
# changing what is being measured. The full run (N up to 1,000,000) takes about 12
# minutes on 2 cores and peaks at about 7 GB of memory; --quick stops at N = 100,000.
set -euo pipefail
cd "$(dirname "$0")/.."

export TESSARIN_VENV=.venv-bench
bash scripts/setup.sh
python="$PWD/.venv-bench/bin/python"
"$python" -m pip install --quiet -r bench/requirements-peers.txt

# The bench module (tokenizer, BM25-only build) from this tree, in a build
# directory of its own.
PATH="$PWD/.venv-bench/bin:$PATH" cmake -S . -B build/bench-peers -G Ninja -DTESSARIN_BUILD_BENCHMARKS=ON \
  -DPython_EXECUTABLE="$python" -DCMAKE_BUILD_TYPE=Release >/dev/null
PATH="$PWD/.venv-bench/bin:$PATH" cmake --build build/bench-peers --target _tessarin_bench >/dev/null

exec "$python" bench/compare_peers.py "$@"
