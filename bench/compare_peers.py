"""Tessarin next to the in-process libraries users weigh it against, on the same
synthetic data (fixed seeds), written to bench/RESULTS.md with a latency plot.

Run everything (environment, peers, build, this script) with one command:
    bash bench/run_peers.sh [--quick]
or, inside that environment:
    .venv-bench/bin/python bench/compare_peers.py [--quick] [--results bench/RESULTS.md]

Peers: NumPy (matrix-vector product + argpartition), FAISS (IndexFlatIP;
IndexScalarQuantizer with 8-bit and with fp16 codes), USearch's exact search (f32,
f16, i8), and for BM25 bm25s (numpy and numba backends) and Tantivy. Every
configuration runs in a subprocess of its own, so memory is returned between them
and the resident-size figures start from a clean process. Every engine runs on one
thread; "two threads" means two Python threads sharing one index, each engine still
set to one thread of its own (all of them release the interpreter lock while
searching).
"""

import os

# Before NumPy (and its BLAS) or FAISS (OpenMP) load: one thread each.
for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_variable] = "1"

import argparse  # noqa: E402
import ctypes  # noqa: E402
import datetime  # noqa: E402
import gc  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
D = 384
LIMIT = 10
DATA_SEED, QUERY_SEED, TEXT_SEED = 1, 2, 3
BATCH = 1_000  # documents (one chunk each) per add call
TURN = 10  # queries per engine per turn
ENCODINGS = ("i8", "f16", "bf16", "f32")
USEARCH_THIN = {"connectivity": 2, "expansion_add": 1}
_libc = ctypes.CDLL("libc.so.6")


# ---------------------------------------------------------------------------------
# Data: unit-length Gaussian rows, so inner product is cosine similarity for every
# engine. Generated in blocks from one stream: N = 100,000 is a prefix of 1,000,000.

def unit_rows(count, seed):
    rng = np.random.default_rng(seed)
    rows = np.empty((count, D), dtype=np.float32)
    for start in range(0, count, 100_000):
        block = rows[start:start + 100_000]
        block[:] = rng.standard_normal(block.shape, dtype=np.float32)
        block /= np.linalg.norm(block, axis=1, keepdims=True)
    return rows


def documents(start, stop, vectors):
    return [{"id": f"d{i}", "chunks": [{"text": "chunk text", "embedding": vectors[i]}]}
            for i in range(start, stop)]


def resident_bytes():
    gc.collect()
    _libc.malloc_trim(0)  # freed temporaries go back, for every engine alike
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------------
# Vector search engines: build(vectors) once, then search(query) -> row ids.

class Tessarin:
    def __init__(self, encoding):
        import tessarin
        self.name, self.encoding = "Tessarin", encoding
        self.index = tessarin.Index(D, metric="cosine", encoding=encoding)

    def build(self, vectors):
        for start in range(0, len(vectors), BATCH):
            self.index.add(documents(start, min(start + BATCH, len(vectors)), vectors))

    def search(self, query):
        return self.index.search(query, limit=LIMIT)

    @staticmethod
    def ids(result):
        return [int(hit["document_id"][1:]) for hit in result]


class FaissFlat:
    name, encoding = "FAISS IndexFlatIP", "f32"

    def build(self, vectors):
        import faiss
        faiss.omp_set_num_threads(1)
        self.index = faiss.IndexFlatIP(D)
        self.index.add(vectors)

    def search(self, query):
        return self.index.search(query[None, :], LIMIT)

    @staticmethod
    def ids(result):
        return result[1][0].tolist()


class FaissScalar(FaissFlat):
    def __init__(self, kind):
        self.kind = kind
        self.name = f"FAISS IndexScalarQuantizer {kind}"
        self.encoding = {"QT_8bit": "i8", "QT_fp16": "f16"}[kind]

    def build(self, vectors):
        import faiss
        faiss.omp_set_num_threads(1)
        self.index = faiss.IndexScalarQuantizer(D, getattr(faiss.ScalarQuantizer, self.kind),
                                                faiss.METRIC_INNER_PRODUCT)
        self.index.train(vectors[:100_000])
        self.index.add(vectors)


class USearchExact:
    """An Index searched with exact=True: a scan of the stored rows in the index's
    own type. The graph is built as thin as USearch allows (the exact scan never
    reads it), so a million rows take seconds instead of minutes."""

    def __init__(self, encoding):
        self.name, self.encoding = "USearch exact", encoding

    def build(self, vectors):
        from usearch.index import Index
        self.index = Index(ndim=D, metric="ip", dtype=self.encoding, **USEARCH_THIN)
        self.index.add(np.arange(len(vectors), dtype=np.uint64), vectors, threads=0)

    def search(self, query):
        return self.index.search(query, LIMIT, exact=True, threads=1)

    @staticmethod
    def ids(result):
        return result.keys.tolist()


class NumpyBrute:
    name, encoding = "NumPy (BLAS sgemv + argpartition)", "f32"

    def build(self, vectors):
        self.rows = vectors

    def search(self, query):
        scores = self.rows @ query
        top = np.argpartition(-scores, LIMIT)[:LIMIT]
        return top[np.argsort(-scores[top])]

    @staticmethod
    def ids(result):
        return result.tolist()


def vector_engines(encoding):
    peers = {
        "i8": [FaissScalar("QT_8bit"), USearchExact("i8")],
        "f16": [FaissScalar("QT_fp16"), USearchExact("f16")],
        "bf16": [],  # no peer stores bf16 for an exact search
        "f32": [FaissFlat(), USearchExact("f32"), NumpyBrute()],
    }[encoding]
    return [Tessarin(encoding)] + peers


def exact_scores(vectors, queries):
    """Every query's score against every row in float64: the reference top 10."""
    scores = np.empty((len(queries), len(vectors)), dtype=np.float64)
    q64 = queries.astype(np.float64).T
    for start in range(0, len(vectors), 50_000):
        scores[:, start:start + 50_000] = (vectors[start:start + 50_000].astype(np.float64) @ q64).T
    return scores


def top_ids(scores):
    top = np.argpartition(-scores, LIMIT)[:LIMIT]
    return top[np.argsort(-scores[top], kind="stable")]


def two_thread_ms(engine, queries):
    """Two Python threads on one index, each taking every other query; wall time
    per query."""
    def work(part):
        for query in part:
            engine.search(query)

    workers = [threading.Thread(target=work, args=(queries[k::2],)) for k in range(2)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return (time.perf_counter() - start) * 1e3 / len(queries)


def run_vector(n, encoding, query_count):
    vectors = unit_rows(n, DATA_SEED)
    queries = unit_rows(query_count, QUERY_SEED)
    engines = vector_engines(encoding)
    for engine in engines:
        engine.build(vectors)
    for engine in engines:  # first touches, lazy set-ups, page faults
        for query in queries[:3]:
            engine.search(query)
    # Engines take turns of TURN queries, so all of them see the same machine over the
    # run. Within a turn an engine serves a stream of queries, its own rows as warm as
    # the caches allow; the first query of a turn follows the other engines' scans
    # ("cold"), which at N = 100,000 makes a difference on a large last-level cache.
    warm = {engine.name: [] for engine in engines}
    cold = {engine.name: [] for engine in engines}
    results = {engine.name: [] for engine in engines}
    for first in range(0, query_count, TURN):
        for engine in engines:
            for query in queries[first:first + TURN]:
                start = time.perf_counter()
                result = engine.search(query)
                elapsed = (time.perf_counter() - start) * 1e3
                (warm if len(results[engine.name]) % TURN else cold)[engine.name].append(elapsed)
                results[engine.name].append(engine.ids(result))
    two = {engine.name: two_thread_ms(engine, queries) for engine in engines}
    del engines
    gc.collect()

    scores = exact_scores(vectors, queries)
    reference = [top_ids(row) for row in scores]
    out = []
    for name, lists in results.items():
        hits = [len(set(ids) & set(ref.tolist())) for ids, ref in zip(lists, reference)]
        entry = {"engine": name, "encoding": encoding, "n": n, "queries": query_count,
                 "ms": statistics.median(warm[name]), "ms_cold": statistics.median(cold[name]),
                 "ms_two_threads": two[name], "recall": sum(hits) / (LIMIT * len(hits))}
        if name == "Tessarin" and encoding == "f32":
            entry["exact"] = exactness(lists, reference, scores)
        out.append(entry)
    return out


def exactness(lists, reference, scores):
    """Queries whose top 10 is the float64 one in order, and those equal to it but
    for rows whose float64 scores are within float32 rounding of each other."""
    identical = tied = 0
    for ids, ref, row in zip(lists, reference, scores):
        if list(ids) == ref.tolist():
            identical += 1
            continue
        ours = row[np.asarray(ids)]
        theirs = row[ref]
        if len(ids) == LIMIT and np.all(np.abs(ours - theirs) <= 1e-6 * np.abs(theirs).max()):
            tied += 1
    return {"identical": identical, "ties": tied, "queries": len(lists)}


# ---------------------------------------------------------------------------------
# Ingest and memory: one configuration per process; resident bytes after the build
# minus before it (the source rows already resident), divided by N.

def run_ingest(n, config):
    vectors = unit_rows(n, DATA_SEED)
    texts = None
    kind, _, encoding = config.partition(":")
    if kind == "tessarin":
        import tessarin
        before = resident_bytes()
        index = tessarin.Index(D, metric="cosine", encoding=encoding)
        elapsed = 0.0
        for start in range(0, n, BATCH):
            batch = documents(start, min(start + BATCH, n), vectors)
            started = time.perf_counter()
            index.add(batch)
            elapsed += time.perf_counter() - started
        del batch
    elif kind in ("faiss-flat", "faiss-sq8"):
        import faiss
        faiss.omp_set_num_threads(1)
        before = resident_bytes()
        if kind == "faiss-flat":
            index = faiss.IndexFlatIP(D)
        else:
            index = faiss.IndexScalarQuantizer(D, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_INNER_PRODUCT)
            index.train(vectors[:100_000])  # not timed: once per index, before any add
        texts, elapsed = {}, 0.0
        for start in range(0, n, BATCH):
            stop = min(start + BATCH, n)
            started = time.perf_counter()
            index.add(vectors[start:stop])
            texts.update((i, (f"d{i}", "chunk text")) for i in range(start, stop))
            elapsed += time.perf_counter() - started
    elif kind in ("usearch", "usearch-thin"):
        from usearch.index import Index
        before = resident_bytes()
        index = Index(ndim=D, metric="ip", dtype=encoding, **(USEARCH_THIN if kind == "usearch-thin" else {}))
        elapsed = 0.0
        for start in range(0, n, BATCH):
            stop = min(start + BATCH, n)
            keys = np.arange(start, stop, dtype=np.uint64)
            started = time.perf_counter()
            index.add(keys, vectors[start:stop], threads=1)
            elapsed += time.perf_counter() - started
    else:
        raise ValueError(config)
    after = resident_bytes()
    return {"config": config, "n": n, "chunks_per_second": n / elapsed,
            "resident_bytes_per_chunk": (after - before) / n}


# ---------------------------------------------------------------------------------
# BM25: ~50 Zipf-distributed lower-case ASCII words per chunk, separated by single
# spaces, with no stop word in the vocabulary, so that our tokenizer, bm25s's
# pattern and Tantivy's default tokenizer split every text into the same tokens
# (checked on a sample below).

def bm25_corpus(n):
    import _tessarin_bench
    rng = np.random.default_rng(TEXT_SEED)
    stop_words = set(_tessarin_bench.bm25_defaults()["stop_words"])
    syllables = [c + v for c in "bcdfghjklmnprstvwz" for v in "aeiou"]
    words = set()
    while len(words) < 50_000:
        word = "".join(rng.choice(syllables, size=rng.integers(1, 5)))
        if word not in stop_words:
            words.add(word)
    vocabulary = sorted(words)
    rng.shuffle(vocabulary)  # word length says nothing about frequency
    weights = 1.0 / np.arange(1, len(vocabulary) + 1) ** 1.07
    weights /= weights.sum()
    lengths = rng.integers(30, 71, size=n)
    draws = rng.choice(len(vocabulary), size=int(lengths.sum()), p=weights).astype(np.int32)
    ends = np.cumsum(lengths)
    texts = [" ".join(map(vocabulary.__getitem__, draws[end - length:end].tolist()))
             for end, length in zip(ends, lengths)]
    # Half the queries by corpus frequency (long posting lists), half uniformly over
    # the words that occur (mostly rare ones).
    present = np.flatnonzero(np.bincount(draws, minlength=len(vocabulary)))
    queries = {}
    for length in (1, 3, 8):
        queries[length] = [
            " ".join(vocabulary[i] for i in (rng.choice(len(vocabulary), size=length, p=weights)
                                             if k % 2 == 0 else rng.choice(present, size=length)))
            for k in range(100)
        ]
    return texts, queries


def run_bm25(n):
    import _tessarin_bench
    import bm25s
    import tantivy
    import tessarin

    texts, queries = bm25_corpus(n)
    defaults = _tessarin_bench.bm25_defaults()
    stop_words = list(defaults["stop_words"])
    for text in texts[:200]:
        assert _tessarin_bench.tokenize(text) == text.split(), "tokenizers would differ"
    build = {}

    build["Tessarin BM25 index alone (bench module)"] = _tessarin_bench.bm25_build_seconds(texts)

    start = time.perf_counter()
    index = tessarin.Index(4, metric="dot_product", encoding="f32")
    embedding = np.ones(4, dtype=np.float32)
    for first in range(0, n, BATCH):
        index.add([{"id": f"d{i}", "chunks": [{"text": texts[i], "embedding": embedding}]}
                   for i in range(first, min(first + BATCH, n))])
    build["Tessarin Index.add (d = 4 embeddings too)"] = time.perf_counter() - start

    start = time.perf_counter()
    corpus_tokens = bm25s.tokenize(texts, stopwords=stop_words, show_progress=False)
    retriever = bm25s.BM25(k1=defaults["k1"], b=defaults["b"], method="lucene", backend="numpy")
    retriever.index(corpus_tokens, show_progress=False)
    build["bm25s tokenize + index"] = time.perf_counter() - start
    del corpus_tokens

    start = time.perf_counter()
    schema_builder = tantivy.SchemaBuilder()
    schema_builder.add_text_field("body", stored=False, tokenizer_name="default", index_option="freq")
    schema = schema_builder.build()
    tantivy_index = tantivy.Index(schema)  # in memory
    writer = tantivy_index.writer(heap_size=1_000_000_000, num_threads=1)
    for text in texts:
        writer.add_document(tantivy.Document(body=text))
    writer.commit()
    writer.wait_merging_threads()
    tantivy_index.reload()
    build["Tantivy add_document + commit (1 writer thread)"] = time.perf_counter() - start
    searcher = tantivy_index.searcher()

    def bm25s_search(backend):
        def search(text):
            retriever.backend = backend
            tokens = bm25s.tokenize([text], stopwords=stop_words, return_ids=False, show_progress=False)
            return retriever.retrieve(tokens, k=LIMIT, show_progress=False, n_threads=0)
        return search

    def tantivy_search(text):
        return searcher.search(tantivy_index.parse_query(text, ["body"]), LIMIT, count=False)

    engines = {
        "Tessarin keyword_search": lambda text: index.keyword_search(text, limit=LIMIT),
        "bm25s (numpy backend)": bm25s_search("numpy"),
        "bm25s (numba backend)": bm25s_search("numba"),
        "Tantivy (count=False)": tantivy_search,
    }
    out = {"n": n, "build_seconds": build, "query_ms": {}, "query_ms_p90": {}, "overlap_with_bm25s": {}}
    for length, texts_of_length in queries.items():
        for search in engines.values():  # warm-up, and numba's compilation
            for text in texts_of_length[:3]:
                search(text)
        times = {name: [] for name in engines}
        for text in texts_of_length:
            for name, search in engines.items():
                start = time.perf_counter()
                search(text)
                times[name].append((time.perf_counter() - start) * 1e3)
        out["query_ms"][length] = {name: statistics.median(t) for name, t in times.items()}
        out["query_ms_p90"][length] = {name: float(np.percentile(t, 90)) for name, t in times.items()}
        # The same ranking function on the same tokens: the top 10s should agree
        # (bm25s breaks equal scores its own way).
        overlap = []
        for text in texts_of_length:
            ours = {int(hit["document_id"][1:]) for hit in index.keyword_search(text, limit=LIMIT)}
            theirs = set(bm25s_search("numpy")(text).documents[0].tolist())
            overlap.append(len(ours & theirs) / max(1, len(theirs)))
        out["overlap_with_bm25s"][length] = statistics.mean(overlap)
    return out


# ---------------------------------------------------------------------------------
# Driver

def worker(kind, *args):
    if kind == "vector":
        return run_vector(int(args[0]), args[1], int(args[2]))
    if kind == "ingest":
        return run_ingest(int(args[0]), args[1])
    if kind == "bm25":
        return run_bm25(int(args[0]))
    raise ValueError(kind)


def in_subprocess(*args):
    label = " ".join(str(a) for a in args)
    print(f"  {label} ...", file=sys.stderr, flush=True)
    started = time.perf_counter()
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "build" / "bench-peers"), env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, __file__, "--worker", *map(str, args)], env=env,
                          stdout=subprocess.PIPE, check=True, text=True)
    print(f"    {time.perf_counter() - started:.0f} s", file=sys.stderr, flush=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def machine():
    info = {}
    for line in open("/proc/cpuinfo"):
        key, _, value = line.partition(":")
        info.setdefault(key.strip(), value.strip())
    flags = set(info.get("flags", "").split())
    isa = " ".join(f for f in ("avx2", "avx512f", "avx512_vnni", "avx512_bf16", "avx512_fp16", "amx_int8") if f in flags)
    model = (f"{info.get('model name', platform.processor())} (family {info.get('cpu family')}, "
             f"model {info.get('model')}; {isa})")
    memory = next(int(line.split()[1]) for line in open("/proc/meminfo") if line.startswith("MemTotal"))
    return f"{model}, {os.cpu_count()} cores, {memory / 2**20:.0f} GiB RAM, {platform.system()} {platform.release()}"


def versions():
    from importlib.metadata import version
    names = ("tessarin", "numpy", "faiss-cpu", "usearch", "bm25s", "numba", "tantivy")
    return ", ".join(f"{name} {version(name)}" for name in names)


def commit():
    try:
        return subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def ratio(ours, theirs):
    """Tessarin's time over the peer's: at most 1.00 means Tessarin is as fast."""
    return f"{ours / theirs:.2f}"


def render(measured, plot_name):
    vector, ingest, bm25 = measured["vector"], measured["ingest"], measured["bm25"]
    sizes, quick = measured["sizes"], measured["quick"]
    lines = []
    add = lines.append
    command = "bash bench/run_peers.sh" + (" --quick" if quick else "")
    other = "full run, N = 100,000 and 1,000,000: `bash bench/run_peers.sh`" if quick else \
        "N = 100,000 only: `bash bench/run_peers.sh --quick`"
    add("# Tessarin next to its peers")
    add("")
    add(f"- Date: {measured['date']}; commit {measured['commit']}")
    add(f"- Machine: {measured['machine']}")
    add(f"- Versions: {measured['versions']}")
    add(f"- Reproduce: `{command}` ({other})")
    add("")
    add("Synthetic data with fixed seeds: unit-length Gaussian rows (d = 384; inner product is "
        "cosine similarity for every engine), the same rows and queries for every engine. "
        "Each configuration runs in a fresh subprocess. Every engine on one thread: "
        "OMP/OpenBLAS/MKL threads = 1 before NumPy loads, `faiss.omp_set_num_threads(1)`, "
        "USearch `threads=1`. **Ratio = Tessarin time / peer time** for the same encoding: "
        "at most 1.00 means Tessarin is as fast or faster.")
    add("")
    lines += targets(measured)
    add("## Exact vector search, limit 10")
    add("")
    add(f"Milliseconds per query. Engines take turns of {TURN} queries. *1 thread*: the median "
        f"over the queries of a turn but its first, one engine serving a stream of queries; "
        f"*cold*: the median over the first query of each turn, which follows the other engines' "
        f"scans (at N = 100,000 the rows otherwise stay partly in this machine's last-level "
        f"cache). *2 threads*: two Python threads sharing one index, each engine still on one "
        f"thread of its own; wall time / queries. Two threads gain only where memory bandwidth "
        f"is left over, and what this virtual machine gets varies from run to run (f32 at "
        f"N = 1,000,000 with two threads took from 44 to 81 ms per query over three runs); its two "
        f"cores do not share execution units (two processes each run the cache-resident int8 "
        f"kernel at full speed). Recall@10 against the exact top 10 computed in float64.")
    add("")
    add("| N | Encoding | Engine | 1 thread ms | Ratio | cold ms | Ratio | 2 threads ms/query | Ratio | Recall@10 |")
    add("|---|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for entry in vector:
        ours = next(e for e in vector if e["n"] == entry["n"] and e["encoding"] == entry["encoding"]
                    and e["engine"] == "Tessarin")
        is_ours = entry is ours
        add(f"| {entry['n']:,} | {entry['encoding']} | {entry['engine']} | {entry['ms']:.2f} | "
            f"{'' if is_ours else ratio(ours['ms'], entry['ms'])} | {entry['ms_cold']:.2f} | "
            f"{'' if is_ours else ratio(ours['ms_cold'], entry['ms_cold'])} | {entry['ms_two_threads']:.2f} | "
            f"{'' if is_ours else ratio(ours['ms_two_threads'], entry['ms_two_threads'])} | "
            f"{entry['recall']:.3f} |")
    add("")
    for entry in vector:
        if "exact" in entry:
            exact = entry["exact"]
            add(f"- Tessarin f32 at N = {entry['n']:,}: top 10 identical to the float64 one, in order, "
                f"for {exact['identical']} of {exact['queries']} queries; "
                f"{exact['ties']} more differ only between rows tied within float32 rounding.")
    add("- USearch exact: `Index(ndim=384, metric=\"ip\", dtype=encoding, connectivity=2, "
        "expansion_add=1)` searched with `search(query, 10, exact=True, threads=1)`, a scan of "
        "the stored rows (the thin graph only makes `add` fast; the scan never reads it). Its "
        "i8 codes are trunc(x * 127) per dimension, without a per-row scale, hence its lower "
        "recall. USearch does not go faster with two Python threads (the table), nor with "
        "`threads=2` on a single query (checked apart from this run: 1.87 against 1.89 ms, "
        "i8, N = 100,000). FAISS with `omp_set_num_threads(2)` on a single query is slower than "
        "with one thread here (checked apart: 40 against 10.5 ms, IndexFlatIP, N = 100,000), so "
        "its two-thread figure too is two Python threads. "
        "FAISS SQ: trained on the first 100,000 rows, inner product. "
        "bf16 has no peer here that stores it.")
    add("")
    add(f"![Single-thread latency against N]({plot_name})")
    add("")
    add("## BM25 keywords, limit 10")
    add("")
    add("Chunks of 30 to 70 words (mean 50) drawn from a 50,000-word Zipf vocabulary "
        "(exponent 1.07) of lower-case ASCII words without stop words, one space apart, so "
        "every engine's tokenizer yields the same tokens. 100 queries per length, half drawn "
        "by corpus frequency, half uniformly from the vocabulary. bm25s: Lucene variant with "
        "our k1 and b, queries tokenized by `bm25s.tokenize` inside the timing; Tantivy: "
        "in-memory index, default tokenizer, frequencies without positions, "
        "`searcher.search(query, 10, count=False)`, query parsing inside the timing. "
        "Tessarin's `keyword_search` also returns each hit's text, metadata and matched terms.")
    add("")
    add("Query cells: median ms (90th percentile ms); ratio cells: of the medians (of the 90th percentiles).")
    add("")
    add("| N | Engine | Build s | 1 term | Ratio | 3 terms | Ratio | 8 terms | Ratio |")
    add("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for run in bm25:
        build = run["build_seconds"]
        medians, p90s = run["query_ms"], run["query_ms_p90"]
        builds = {"Tessarin keyword_search": ["Tessarin Index.add (d = 4 embeddings too)",
                                              "Tessarin BM25 index alone (bench module)"],
                  "bm25s (numpy backend)": ["bm25s tokenize + index"],
                  "bm25s (numba backend)": [],
                  "Tantivy (count=False)": ["Tantivy add_document + commit (1 writer thread)"]}
        for name in next(iter(medians.values())):
            cells = []
            for length in medians:
                ours = "Tessarin keyword_search"
                cells.append(f"{medians[length][name]:.3f} ({p90s[length][name]:.2f})")
                cells.append("" if name == ours else
                             f"{ratio(medians[length][ours], medians[length][name])} "
                             f"({ratio(p90s[length][ours], p90s[length][name])})")
            seconds = " / ".join(f"{build[b]:.1f}" for b in builds[name]) or "(same index)"
            add(f"| {run['n']:,} | {name} | {seconds} | " + " | ".join(cells) + " |")
    add("")
    add("Tessarin's build figure is `Index.add` of every chunk (which also stores a 4-number "
        "embedding, the text and a document record per chunk) / the BM25 index alone "
        "(`bm25_build_seconds` in the bench module, texts already in C++ strings).")
    for run in bm25:
        overlap = ", ".join(f"{length}-term queries {value:.3f}" for length, value in run["overlap_with_bm25s"].items())
        add(f"- N = {run['n']:,}: mean top-10 overlap of Tessarin with bm25s: {overlap}.")
    add("")
    add("## Ingest and memory")
    add("")
    add(f"`add` in batches of {BATCH:,} documents of one chunk each, embeddings as NumPy float32 rows; "
        "only the add calls are timed (FAISS: `add` plus filling a Python dict of ids and texts). "
        "Resident bytes per chunk: RSS after the build minus RSS before it (source rows already "
        "resident, `malloc_trim` before each reading), divided by N, in a fresh process per "
        "configuration. Tessarin keeps a document id, the text and a record per chunk; FAISS's "
        "figure includes its dict of the same ids and texts; USearch's index is its HNSW graph "
        "plus the vectors.")
    add("")
    add("| N | Configuration | Chunks/s | Resident bytes/chunk |")
    add("|---|---|---:|---:|")
    for entry in ingest:
        add(f"| {entry['n']:,} | {entry['config']} | {entry['chunks_per_second']:,.0f} | "
            f"{entry['resident_bytes_per_chunk']:,.0f} |")
    add("")
    add(f"`usearch` is an Index with its default graph parameters, whose `add` builds the HNSW "
        f"graph (one thread: a few thousand chunks/s), measured for i8 at N = {min(sizes):,} only; "
        f"`usearch-thin` is the exact-search configuration above (connectivity 2, expansion 1).")
    return "\n".join(lines) + "\n"


def targets(measured):
    """The checks the comparison exists for, read off the figures below: at the
    largest N, Tessarin's search against the fastest peer on the same encoding, and
    its keyword search against bm25s's faster backend."""
    n = max(measured["sizes"])
    lines = [f"## Targets at N = {n:,}", "",
             "| Target | Tessarin | Fastest peer | Ratio | Met |", "|---|---:|---|---:|---|"]
    vector = [e for e in measured["vector"] if e["n"] == n]
    for encoding in ENCODINGS:
        ours = next(e for e in vector if e["encoding"] == encoding and e["engine"] == "Tessarin")
        peers = [e for e in vector if e["encoding"] == encoding and e["engine"] != "Tessarin"]
        for key, label in (("ms", "1 thread"), ("ms_cold", "1 thread, cold"), ("ms_two_threads", "2 threads")):
            if not peers:
                continue
            best = min(peers, key=lambda e: e[key])
            value = ours[key] / best[key]
            lines.append(f"| {encoding} vector search, {label}: ratio <= 1 | {ours[key]:.2f} ms | "
                         f"{best['engine']} {best[key]:.2f} ms | {value:.2f} | {'yes' if value <= 1 else '**no**'} |")
    run = next(r for r in measured["bm25"] if r["n"] == n)
    for key, label in (("query_ms", "median"), ("query_ms_p90", "90th percentile")):
        for length, times in run[key].items():
            ours = times["Tessarin keyword_search"]
            name = min((k for k in times if k.startswith("bm25s")), key=times.get)
            value = ours / times[name]
            lines.append(f"| BM25 {length}-term query, {label}: ratio <= 1 against bm25s | {ours:.3f} ms | "
                         f"{name} {times[name]:.3f} ms | {value:.2f} | {'yes' if value <= 1 else '**no**'} |")
    return lines + [""]


def plot(vector, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = [("i8",), ("f16", "bf16"), ("f32",)]
    engines = sorted({entry["engine"] for entry in vector}, key=lambda name: (name != "Tessarin", name))
    colours = dict(zip(engines, plt.rcParams["axes.prop_cycle"].by_key()["color"]))
    sizes = sorted({entry["n"] for entry in vector})
    figure, axes = plt.subplots(1, len(panels), figsize=(13, 4.8), sharey=True)
    for axis, encodings in zip(axes, panels):
        for encoding in encodings:
            for engine in engines:
                points = sorted((e["n"], e["ms"]) for e in vector if e["engine"] == engine and e["encoding"] == encoding)
                if points:
                    axis.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                              color=colours[engine], linestyle="-" if encoding != "bf16" else ":",
                              linewidth=2.5 if engine == "Tessarin" else 1.5, label=f"{engine} ({encoding})")
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xticks(sizes, [f"{n:,}" for n in sizes])
        axis.minorticks_off()
        axis.set_title(" / ".join(encodings))
        axis.set_xlabel("N (rows, d = 384)")
        axis.grid(True, alpha=0.3)
        axis.legend(fontsize=7, loc="upper left")
    axes[0].set_ylabel("ms per query (median, one thread)")
    figure.suptitle("Exact single-query vector search, limit 10")
    figure.tight_layout()
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="N = 100,000 only")
    parser.add_argument("--results", default=str(ROOT / "bench" / "RESULTS.md"))
    parser.add_argument("--render-only", action="store_true",
                        help="rewrite the results and the plot from the saved measurements (peers_results.json)")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        print(json.dumps(worker(*options.worker)))
        return

    results = pathlib.Path(options.results)
    raw = results.with_name("peers_results.json")
    plot_path = results.with_name("peers_latency.png")
    started = time.perf_counter()
    if options.render_only:
        measured = json.loads(raw.read_text())
    else:
        measured = measure(options.quick)
        raw.write_text(json.dumps(measured, indent=1) + "\n")
    plot(measured["vector"], plot_path)
    text = render(measured, plot_path.name)
    results.write_text(text)
    print(text)
    written = f"{results} and {plot_path} from {raw}" if options.render_only else f"{results}, {plot_path} and {raw}"
    print(f"Written {written} in {(time.perf_counter() - started) / 60:.1f} minutes.", file=sys.stderr)


def measure(quick):
    sizes = (100_000,) if quick else (100_000, 1_000_000)
    measured = {"date": datetime.date.today().isoformat(), "commit": commit(), "machine": machine(),
                "versions": f"{versions()}, Python {platform.python_version()}", "quick": quick,
                "sizes": sizes, "vector": [], "ingest": [], "bm25": []}
    for n in sizes:
        for encoding in ENCODINGS:
            measured["vector"] += in_subprocess("vector", n, encoding, 200 if n <= 100_000 else 100)
    for n in sizes:
        configs = [f"tessarin:{e}" for e in ENCODINGS] + ["faiss-flat", "faiss-sq8"]
        configs += [f"usearch-thin:{e}" for e in ("i8", "f16", "f32")]
        if n == min(sizes):
            configs.append("usearch:i8")  # minutes each at one thread: one is enough to show it
        for config in configs:
            measured["ingest"].append(in_subprocess("ingest", n, config))
    measured["bm25"] = [in_subprocess("bm25", n) for n in sizes]
    return measured


if __name__ == "__main__":
    main()
