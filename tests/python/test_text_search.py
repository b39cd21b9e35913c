import math
import struct

import pytest

import tessarin
from tessarin import Index

F32_0_6 = struct.unpack("f", struct.pack("f", 0.6))[0]  # 0.6000000238418579

KEYWORD_KEYS = ["chunk_id", "document_id", "text", "metadata", "score", "matched_terms"]
HYBRID_KEYS = ["chunk_id", "document_id", "text", "metadata", "score", "vector_score", "keyword_score",
               "matched_terms", "trace"]
TRACE_KEYS = ["alpha", "vector_rank", "keyword_rank", "normalized_vector_score", "normalized_keyword_score",
              "matched_terms"]


@pytest.fixture
def fruit():
    """Chunk i has the embedding [i, 1], so vector search ranks 4, 3, 2, 1, 0 for [1, 0]."""
    index = Index(2, metric="dot_product", encoding="f32")
    texts = ["apple banana", "apple apple apple", "banana", "apple cherry", "apple"]
    index.add([
        {"id": f"doc{i}", "metadata": {"k": "b" if i == 1 else "a", "n": i},
         "chunks": [{"text": text, "embedding": [float(i), 1.0]}]}
        for i, text in enumerate(texts)
    ])
    return index


def test_keyword_hits(fruit):
    hits = fruit.keyword_search("Apple")
    assert [h["chunk_id"] for h in hits] == [1, 4, 0, 3]
    first = hits[0]
    assert list(first) == KEYWORD_KEYS
    assert first["document_id"] == "doc1"
    assert first["text"] == "apple apple apple"
    assert first["metadata"] == {"k": "b", "n": 1}
    assert first["matched_terms"] == ["apple"]
    assert hits[0]["score"] > hits[1]["score"] > hits[2]["score"] == hits[3]["score"]
    assert [h["chunk_id"] for h in fruit.keyword_search("apple", limit=2)] == [1, 4]
    # Narrowed by the metadata index, and not narrowable (an infinite bound): both
    # give the best matching chunks, not the best chunks then filtered.
    assert [h["chunk_id"] for h in fruit.keyword_search("apple", limit=2, where={"k": "a"})] == [4, 0]
    unnarrowable = {"$or": [{"n": {"$lte": 0, "$gte": -math.inf}}, {"n": {"$gte": 2}}]}
    assert [h["chunk_id"] for h in fruit.keyword_search("apple", limit=2, where=unnarrowable)] == [4, 0]
    assert fruit.keyword_search("") == []
    assert fruit.keyword_search("apple", limit=0) == []
    assert fruit.keyword_search("durian") == []
    fruit.delete_document("doc1")
    assert [h["chunk_id"] for h in fruit.keyword_search("apple")] == [4, 0, 3]


def test_hybrid_defaults_and_hit_shape(fruit):
    hits = fruit.hybrid_search("banana", [1.0, 0.0])
    # Vector side scores 0..4, normalised i/4; keyword side finds 2 then 0.
    assert [h["chunk_id"] for h in hits] == [2, 4, 3, 1, 0]
    top = hits[0]
    assert list(top) == HYBRID_KEYS
    assert list(top["trace"]) == TRACE_KEYS
    assert top["vector_score"] == 2.0
    assert top["matched_terms"] == top["trace"]["matched_terms"] == ["banana"]
    assert top["trace"]["alpha"] == F32_0_6
    assert (top["trace"]["vector_rank"], top["trace"]["keyword_rank"]) == (3, 1)
    assert top["trace"]["normalized_vector_score"] == 0.5
    assert top["trace"]["normalized_keyword_score"] == 1.0
    f32 = lambda x: struct.unpack("f", struct.pack("f", x))[0]  # noqa: E731
    assert top["score"] == f32(f32(F32_0_6 * 0.5) + f32(f32(1 - F32_0_6) * 1.0))
    vector_only = hits[1]
    assert vector_only["keyword_score"] is None
    assert vector_only["matched_terms"] == []
    assert vector_only["trace"]["keyword_rank"] is None
    assert vector_only["trace"]["normalized_keyword_score"] is None
    assert vector_only["score"] == F32_0_6

    # None is the default candidate count; small counts cut each side.
    assert fruit.hybrid_search("banana", [1, 0], vector_candidates=None, keyword_candidates=None) == hits
    one_each = fruit.hybrid_search("banana", [1, 0], vector_candidates=1, keyword_candidates=1)
    assert [h["chunk_id"] for h in one_each] == [4, 2]  # each alone on its side: 0.6 against 0.4
    assert [h["chunk_id"] for h in fruit.hybrid_search("banana", [1, 0], limit=2)] == [2, 4]
    filtered = fruit.hybrid_search("apple", [1, 0], where={"k": "b"})
    assert [h["chunk_id"] for h in filtered] == [1]


def test_hybrid_alpha_switches_sides(fruit):
    vector_only = fruit.hybrid_search("apple", [1, 0], alpha=1)
    assert [h["chunk_id"] for h in vector_only] == [4, 3, 2, 1, 0]
    assert all(h["keyword_score"] is None and h["matched_terms"] == [] for h in vector_only)
    assert vector_only[0]["trace"]["alpha"] == 1.0
    # Keyword-only never looks at the embedding's length.
    keyword_only = fruit.hybrid_search("banana", [1, 2, 3], alpha=0)
    assert [h["chunk_id"] for h in keyword_only] == [2, 0]
    assert all(h["vector_score"] is None and h["trace"]["vector_rank"] is None for h in keyword_only)
    assert all(h["trace"]["normalized_vector_score"] is None for h in keyword_only)
    with pytest.raises(tessarin.DimensionMismatchError, match="expected 2, got 3"):
        fruit.hybrid_search("banana", [1, 2, 3], alpha=0.5)


ALPHA_MESSAGE = ("invalid query parameter 'alpha': alpha must be finite and between 0 and 1; "
                 "use 1 for vector-only or 0 for BM25-only")


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda i: i.hybrid_search("t", [1, 0], alpha=1.5), ValueError, ALPHA_MESSAGE),
        (lambda i: i.hybrid_search("t", [1, 0], alpha=math.nan), ValueError, ALPHA_MESSAGE),
        (lambda i: i.hybrid_search("t", [1, 0], alpha=-0.1), ValueError, ALPHA_MESSAGE),
        # Rounded to f32 first: 1 + 2**-30 becomes exactly 1.
        (lambda i: i.hybrid_search("t", [1, 0], alpha=1 + 2**-30), None, None),
        # The alpha is refused before the embedding is looked at.
        (lambda i: i.hybrid_search("t", [1], alpha=2), ValueError, ALPHA_MESSAGE),
        (lambda i: i.hybrid_search(5, [1, 0]), TypeError, "argument 'text': "),
        (lambda i: i.hybrid_search("t", "ab"), TypeError, "argument 'embedding': "),
        (lambda i: i.hybrid_search("t", [1, 0], limit=-1), OverflowError, None),
        (lambda i: i.hybrid_search("t", [1, 0], vector_candidates=1.0), TypeError, "argument 'vector_candidates': "),
        (lambda i: i.hybrid_search("t", [1, 0], keyword_candidates="5"), TypeError,
         "argument 'keyword_candidates': "),
        (lambda i: i.hybrid_search("t", [1, 0], alpha=None), TypeError, "argument 'alpha': "),
        (lambda i: i.hybrid_search("t", [1, 0], where={}), tessarin.FilterError, "where filter cannot be empty"),
        (lambda i: i.hybrid_search("t", [1, 0], where={"n": {"$gte": "x"}}), tessarin.FilterError,
         "invalid range filter for metadata field 'n'"),
        (lambda i: i.keyword_search(5), TypeError, "argument 'text': "),
        (lambda i: i.keyword_search("t", limit=None), TypeError, "argument 'limit': "),
        (lambda i: i.keyword_search("t", where=[]), TypeError, "where must be a dictionary"),
        (lambda i: i.keyword_search("t", 5), TypeError, None),  # limit is keyword-only
    ],
)
def test_argument_errors(fruit, call, error, message):
    if error is None:
        call(fruit)
        return
    with pytest.raises(error) as caught:
        call(fruit)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value).startswith(message)


def test_signatures_in_docstrings():
    assert Index.keyword_search.__doc__.splitlines()[0] == "keyword_search(text, *, limit=10, where=None)"
    assert Index.hybrid_search.__doc__.splitlines()[0] == (
        "hybrid_search(text, embedding, *, limit=10, where=None, vector_candidates=None, "
        "keyword_candidates=None, alpha=0.6)")
