"""BM25 rankings and scores against an independent implementation, bm25s.

Run after building the benchmarks (bench/README.md) and `pip install bm25s==0.3.16`:
    .venv/bin/python bench/bench_bm25_agreement.py [chunks=30000]

Both sides see the same tokens: every chunk and query goes through our tokenizer,
and bm25s gets the token lists (so it does no splitting, stemming or stop-wording of
its own), with its Lucene variant and our k1 and b. Its idf is ours,
ln(1 + (N - df + 0.5) / (df + 0.5)); its term weight leaves out our (k1 + 1) factor,
so our scores divided by (k1 + 1) must equal its scores up to f32 rounding.

Exits 1 when a ranking differs by more than ties, a score beyond rounding, or the set
of matching chunks at all; so it doubles as a check, but needs bm25s and is not run
by the tests.
"""

import pathlib
import sys
import time

import numpy as np

try:
    import bm25s
except ImportError:
    sys.exit("bm25s is missing: .venv/bin/pip install bm25s==0.3.16")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "build" / "bench"))
import _tessarin_bench  # noqa: E402  (built with the benchmarks)

CHUNKS = int(sys.argv[1]) if len(sys.argv) > 1 else 30_000
QUERIES_PER_LENGTH = 100
QUERY_LENGTHS = (1, 3, 8)
TOP = 10
# Both sides compute in f32 (bm25s partly in f64 before storing f32): a few units in
# the last place per term. Equal-score ties are exact; this bounds everything else.
RELATIVE_TOLERANCE = 1e-5

rng = np.random.default_rng(7)


# ---------------------------------------------------------------------------------
# Corpus: Zipf-distributed words, mostly ASCII, some from other scripts and cases.

def ascii_vocabulary(size):
    syllables = [c + v for c in "bcdfghjklmnprstvwz" for v in "aeiou"] + ["qu", "th", "sh", "ch"]
    words = set()
    while len(words) < size:
        words.add("".join(rng.choice(syllables, size=rng.integers(1, 5))))
    return sorted(words)


ALPHABETS = [
    "αβγδεζηθικλμνξοπρστυφχψωάέήίόύώ" + "ΑΒΓΔΕΖΗΘΙΚΛΜΝΞΟΠΡΣΤΥΦΧΨΩ",  # Greek, final sigma when lowered
    "абвгдежзийклмнопрстуфхцчшщыэюяё" + "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЫЭЮЯ",
    "abcdeéèêëfghiíïjklmnñoóöpqrsßtuúüvwxyzçøåæ" + "ÀÉÎÕÜÇØÅÆ",
    "אבגדהוזחטיכלמנסעפצקרשת",
    "ابتثجحخدذرزسشصضطظعغفقكلمنهوي",
    "कखगघचछजझटठडढतथदधनपफबभमयरलवशसह",
    "가나다라마바사아자차카타파하강산물불",
    "日本語中文字東京大学研究所",  # each character a word of its own
]
# Cases the segmentation and lower-casing must treat as one word (or know to split).
SPECIAL_WORDS = [
    "ΟΔΟΣ", "Ελλάδα", "İstanbul", "STRASSE", "Straße", "ǅemal", "ＦＵＬＬ", "cafe\u0301",
    "naïve", "Zürich", "don't", "O'Neil", "3.14", "1,000", "v2", "x_y", "Москва", "देवनागरी",
    "e-mail", "U.S.A", "東京", "한국어",
]


def unicode_vocabulary(size):
    words = set(SPECIAL_WORDS)
    while len(words) < size:
        alphabet = ALPHABETS[rng.integers(len(ALPHABETS))]
        words.add("".join(rng.choice(list(alphabet), size=rng.integers(2, 8))))
    return sorted(words)


def build_corpus(chunks):
    vocabulary = ascii_vocabulary(30_000) + unicode_vocabulary(600)
    rng.shuffle(vocabulary)  # other scripts land at every frequency rank
    ranks = np.arange(1, len(vocabulary) + 1)
    weights = 1.0 / ranks**1.07
    weights /= weights.sum()
    # Mean 50 words; lengths vary for b to matter, with a few very short chunks.
    lengths = np.where(rng.random(chunks) < 0.02, rng.integers(1, 6, size=chunks), rng.integers(20, 81, size=chunks))
    draws = rng.choice(len(vocabulary), size=int(lengths.sum()), p=weights)
    punctuation = np.array([" ", " ", " ", " ", ", ", ". ", "; ", " - ", "\n"])
    texts, at = [], 0
    for length in lengths:
        ids = draws[at:at + length]
        at += length
        seps = rng.choice(punctuation, size=length)
        words = [vocabulary[i].capitalize() if rng.random() < 0.05 else vocabulary[i] for i in ids]
        texts.append("".join(w + s for w, s in zip(words, seps)))
    # Chunks without a single word still count in N and in the mean length.
    for i in rng.choice(chunks, size=max(1, chunks // 300), replace=False):
        texts[i] = rng.choice(["", " ", "-- ... !!", "\u2014 \u00bf? \U0001F600 \u3002"])
    return texts, vocabulary, weights


def build_queries(vocabulary, weights, present):
    """Half the queries draw terms by corpus frequency, half uniformly over the words
    that occur (mostly rare ones, so idf differences matter)."""
    present_ids = np.flatnonzero(present)
    queries = []
    for length in QUERY_LENGTHS:
        for k in range(QUERIES_PER_LENGTH):
            if k % 2 == 0:
                ids = rng.choice(len(vocabulary), size=length, p=weights)
            else:
                ids = rng.choice(present_ids, size=length)
            queries.append((length, " ".join(vocabulary[i].upper() if rng.random() < 0.1 else vocabulary[i] for i in ids)))
    return queries


# ---------------------------------------------------------------------------------

def reference_top(scores, top):
    """bm25s's ranking with equal scores in ascending chunk id, as ours orders them."""
    matched = np.flatnonzero(scores > 0)
    order = np.lexsort((matched, -scores[matched]))
    return matched[order][:top], matched


def classify(ours, reference, scores):
    """'identical', 'tie' (positions differ only between chunks bm25s scores equally),
    'rounding' (scores equal within the tolerance) or 'broken'."""
    ours_ids = np.array([chunk for chunk, _ in ours], dtype=np.int64)
    if len(ours_ids) == len(reference) and np.array_equal(ours_ids, reference):
        return "identical"
    if len(ours_ids) != len(reference):
        return "broken"
    mine, theirs = scores[ours_ids], scores[reference]
    if np.array_equal(mine, theirs):
        return "tie"
    if np.all(np.abs(mine - theirs) <= RELATIVE_TOLERANCE * theirs):
        return "rounding"
    return "broken"


def main():
    defaults = _tessarin_bench.bm25_defaults()
    k1, b = defaults["k1"], defaults["b"]
    k1_plus_one = float(np.float32(k1) + np.float32(1.0))  # the factor as our f32 code forms it
    print(f"bm25s {bm25s.__version__}; ours k1 = {k1:.7g}, b = {b:.7g}, "
          f"stop words: {len(defaults['stop_words'])}")

    texts, vocabulary, weights = build_corpus(CHUNKS)
    corpus_tokens = [_tessarin_bench.tokenize(text) for text in texts]
    corpus_terms = set()
    for tokens in corpus_tokens:
        corpus_terms.update(tokens)
    present = np.array([any(t in corpus_terms for t in _tessarin_bench.tokenize(w)) for w in vocabulary])
    queries = build_queries(vocabulary, weights, present)
    print(f"corpus: {len(texts)} chunks ({sum(not t for t in corpus_tokens)} without a word), "
          f"{sum(map(len, corpus_tokens))} tokens, {len(corpus_terms)} distinct "
          f"({sum(any(ord(c) > 127 for c in t) for t in corpus_terms)} non-ASCII); "
          f"queries: {len(queries)} ({', '.join(f'{n}-term' for n in QUERY_LENGTHS)})")

    start = time.perf_counter()
    retriever = bm25s.BM25(method="lucene", k1=k1, b=b)
    retriever.index(corpus_tokens, show_progress=False)
    query_texts = [text for _, text in queries]
    ours_top = _tessarin_bench.bm25_search(texts, query_texts, TOP)
    ours_all = _tessarin_bench.bm25_search(texts, query_texts, None)
    print(f"indexed and searched both in {time.perf_counter() - start:.1f} s")

    outcomes = {length: {"identical": 0, "tie": 0, "rounding": 0, "broken": 0} for length in QUERY_LENGTHS}
    failures = []
    worst_top, worst_all = 0.0, 0.0
    tied_within, tied_at_cut, repeated, repeat_changes = 0, 0, 0, 0
    for (length, text), top, every in zip(queries, ours_top, ours_all):
        tokens = _tessarin_bench.tokenize(text)
        distinct = list(dict.fromkeys(tokens))  # ours scores each distinct query term once
        scores = retriever.get_scores(distinct).astype(np.float64)
        reference, matched = reference_top(scores, TOP)

        outcome = classify(top, reference, scores)
        outcomes[length][outcome] += 1
        if outcome == "broken":
            failures.append(f"ranking differs: {text!r}: ours {[c for c, _ in top]}, bm25s {reference.tolist()}")

        # The bounded search must be the head of the unbounded one.
        if top != every[:TOP]:
            failures.append(f"limit {TOP} is not the head of the full result: {text!r}")
        every_ids = np.array([chunk for chunk, _ in every], dtype=np.int64)
        if not np.array_equal(np.sort(every_ids), matched):
            failures.append(f"matching chunks differ: {text!r}: ours {len(every_ids)}, bm25s {len(matched)}")
            continue
        ours_scores = np.array([score for _, score in every]) / k1_plus_one
        errors = np.abs(ours_scores - scores[every_ids]) / scores[every_ids]
        worst_all = max(worst_all, float(errors.max(initial=0.0)))
        worst_top = max(worst_top, float(errors[:TOP].max(initial=0.0)))

        top_scores = [score for _, score in every[:TOP + 1]]
        tied_within += len(set(top_scores[:TOP])) < len(top_scores[:TOP])
        tied_at_cut += len(top_scores) > TOP and top_scores[TOP - 1] == top_scores[TOP]
        if len(distinct) < len(tokens):
            repeated += 1
            with_repeats, _ = reference_top(retriever.get_scores(tokens).astype(np.float64), TOP)
            repeat_changes += not np.array_equal(with_repeats, reference)

    print(f"\ntop-{TOP} agreement (ours ordered by score then ascending chunk id; bm25s by its score, "
          f"equal scores the same way)")
    print(f"{'query terms':>12} {'queries':>8} {'identical':>10} {'ties only':>10} {'rounding':>9} {'broken':>7}")
    for length in QUERY_LENGTHS:
        o = outcomes[length]
        print(f"{length:>12} {sum(o.values()):>8} {o['identical']:>10} {o['tie']:>10} {o['rounding']:>9} {o['broken']:>7}")
    total = {key: sum(o[key] for o in outcomes.values()) for key in ("identical", "tie", "rounding", "broken")}
    print(f"{'all':>12} {len(queries):>8} {total['identical']:>10} {total['tie']:>10} {total['rounding']:>9} "
          f"{total['broken']:>7}")
    print(f"queries whose top {TOP} holds equal scores: {tied_within}; with a tie across rank {TOP}: {tied_at_cut}")
    print(f"\nscores: ours / (k1 + 1) against bm25s, max relative error: top {TOP} {worst_top:.3g}, "
          f"every matching chunk {worst_all:.3g} (tolerance {RELATIVE_TOLERANCE:g})")
    print(f"queries with a repeated term: {repeated}; ours scores a term once however often the query "
          f"repeats it, bm25s once per repeat: given the repeats, its top {TOP} would differ for {repeat_changes}")

    if worst_all > RELATIVE_TOLERANCE:
        failures.append(f"score error {worst_all:.3g} beyond {RELATIVE_TOLERANCE:g}")
    for failure in failures[:20]:
        print("FAIL:", failure)
    if failures:
        print(f"{len(failures)} failures")
        return 1
    print("agreement: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
