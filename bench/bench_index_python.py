"""Exact search and ingest through the Python API.

Run after `bash scripts/setup.sh`:  .venv/bin/python bench/bench_index_python.py [N]

Prints: search latency from Python (int8, f32), queries/s with one and two Python
threads searching one Index (the interpreter lock is released during the scan),
and ingest rates with one document per `add` call, embeddings as NumPy arrays and
as Python lists.
"""

import statistics
import sys
import threading
import time

import numpy as np

import tessarin

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
for encoding in ("i8", "f32"):
    index = build(encoding, vectors)
    ms = median_ms(lambda: index.search(queries[0], limit=10))
    one = queries_per_second(index, queries, 1)
    two = queries_per_second(index, queries, 2)
    print(f"{encoding:>4} N={N} d={D}: search {ms:.2f} ms from Python; "
          f"{one:.1f} q/s with 1 thread, {two:.1f} q/s with 2 threads ({two / one:.2f}x)")
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
