"""Exact search and ingest through the Python API.

Run after `bash scripts/setup.sh` and building the benchmarks (bench/README.md):
    .venv/bin/python bench/bench_index_python.py [N]

Prints: search latency from Python (int8, f32) next to the raw int8 kernel scanning
as many rows in the same run, queries/s with one and two Python threads searching
one Index (the interpreter lock is released during the scan), and ingest rates with
one document per `add` call, embeddings as NumPy arrays and as Python lists.
"""

import pathlib
import statistics
import sys
import threading
import time

import numpy as np

import tessarin

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "build" / "bench"))
import _tessarin_bench  # noqa: E402  (built with the benchmarks)

N = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
D = 384
rng = np.random.default_rng(1)


def build(encoding, vectors):
    index = tessarin.Index(D, encoding=encoding)
    batch = 10_000
    for start in range(0, len(vectors), batch):
        index.add(
            [
                {"id": f"d{i}", "chunks": [{"text": "chunk text", "embedding": vectors[i]}]}
                for i in range(start, min(start + batch, len(vectors)))
            ]
        )
    return index


def median_ms(fn, repeats=15):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append((time.perf_counter() - start) * 1e3)
    return statistics.median(times)


def queries_per_second(index, queries, threads):
    per_thread = len(queries) // threads

    def work(k):
        for q in queries[k * per_thread:(k + 1) * per_thread]:
            index.search(q, limit=10)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return per_thread * threads / (time.perf_counter() - start)


vectors = rng.standard_normal((N, D), dtype=np.float32)
queries = list(rng.standard_normal((40, D), dtype=np.float32))
def median_pair_ms(first, second, repeats=15):
    """Medians of two workloads timed alternately, so both see the same machine."""
    a, b = [], []
    for _ in range(repeats):
        a.append(median_ms(first, 1))
        b.append(median_ms(second, 1))
    return statistics.median(a), statistics.median(b)


for encoding in ("i8", "f32"):
    index = build(encoding, vectors)
    if encoding == "i8":
        codes = rng.integers(-128, 128, size=(N, D), dtype=np.int8)
        code_query = rng.integers(-128, 128, size=D, dtype=np.int8)
        ms, raw = median_pair_ms(lambda: index.search(queries[0], limit=10),
                                 lambda: _tessarin_bench.scan_int8(codes, code_query))
        del codes
    else:
        raw = None
        ms = median_ms(lambda: index.search(queries[0], limit=10))
    one = queries_per_second(index, queries, 1)
    two = queries_per_second(index, queries, 2)
    print(f"{encoding:>4} N={N} d={D}: search {ms:.2f} ms from Python; "
          f"{one:.1f} q/s with 1 thread, {two:.1f} q/s with 2 threads ({two / one:.2f}x)")
    if raw is not None:
        print(f"  raw int8 kernel ({_tessarin_bench.kernel_name()}) over {N} rows in the same run: "
              f"{raw:.2f} ms; Python search / raw = {ms / raw:.2f}")
    del index

for count in (100_000, min(N, 1_000_000)):
    for form in ("numpy", "list"):
        index = tessarin.Index(D)
        data = vectors[:count] if form == "numpy" else None
        start = time.perf_counter()
        for i in range(count):
            embedding = data[i] if form == "numpy" else vectors[i].tolist()
            index.add([{"id": f"d{i}", "chunks": [{"text": "chunk text", "embedding": embedding}]}])
        elapsed = time.perf_counter() - start
        print(f"ingest {count} chunks, one document per add, {form}: {count / elapsed:,.0f} chunks/s")
        del index
