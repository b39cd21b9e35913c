import numpy as np
import pytest

import tessarin
from tessarin import Index, TimestampMillis


def doc(id, *vectors, metadata=None, texts=None):
    chunks = []
    for i, vector in enumerate(vectors):
        chunks.append({"text": (texts or {}).get(i, f"chunk {i} of {id}"), "embedding": vector})
    document = {"id": id, "chunks": chunks}
    if metadata is not None:
        document["metadata"] = metadata
    return document


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((4, "euclidean"), ValueError, "unsupported metric 'euclidean'; expected 'cosine' or 'dot_product'"),
        ((4, "cosine", "f64"), ValueError,
         "unsupported encoding 'f64'; expected 'f32', 'f16', 'bf16', 'i8', or 'binary'"),
        ((4, "cosine", "binary"), tessarin.UnsupportedFormatError,
         "unsupported vector encoding 'BinaryQuantized'"),
        ((-1,), OverflowError, None),
        ((4.0,), TypeError, "argument 'dimension': "),
        ((4, None), TypeError, "argument 'metric': "),
    ],
)
def test_construction_errors(args, error, message):
    with pytest.raises(error) as caught:
        Index(*args)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value).startswith(message)


@pytest.mark.parametrize(
    ("metric", "encoding"),
    [("COSINE", "I8_Scalar_Quantized"), ("Dot-Product", "f16"), ("dotproduct", "BF16"), ("dot_product", "f32")],
)
def test_names_are_ascii_case_insensitive(metric, encoding):
    index = Index(2, metric, encoding)
    assert index.add([doc("a", [1.0, 0.0])]) == [{"id": "a", "chunk_ids": [0]}]
    assert index.search([1.0, 0.0])[0]["chunk_id"] == 0


def test_document_lifecycle_and_results():
    index = Index(3)
    assert index.add([]) == []
    assert index.add([{"id": "empty", "chunks": [], "content": "ignored"}]) == [
        {"id": "empty", "chunk_ids": []}
    ]
    added = index.add(
        [
            doc("a", [1, 0, 0], (0.0, 1.0, 0.0), np.array([0, 0, 1], dtype=np.float32),
                metadata={"lang": "en", "year": 2024}),
            doc("a", [1, 1, 0]),  # the same id twice: the second replaces the first
        ]
    )
    assert added == [{"id": "a", "chunk_ids": [0, 1, 2]}, {"id": "a", "chunk_ids": [3]}]
    assert (index.total_chunk_count, index.active_chunk_count, index.tombstoned_chunk_count) == (4, 1, 3)
    assert index.dimension == 3

    index.add([doc("b", [1, 0, 0], [0, 1, 0], [0, 0, 1],
                   metadata={"lang": "fr", "when": TimestampMillis(5)})])
    hits = index.search([1, 0, 0], limit=2)
    assert [h["chunk_id"] for h in hits] == [4, 3]
    hit = hits[0]
    assert list(hit) == ["chunk_id", "document_id", "text", "metadata", "score", "trace"]
    assert hit["document_id"] == "b" and hit["text"] == "chunk 0 of b"
    assert hit["metadata"] == {"lang": "fr", "when": TimestampMillis(5)}
    assert hit["trace"] == {"vector_score": hit["score"]}
    assert index.search([1, 0, 0], limit=0) == []
    assert index.search([1, 0, 0], where=None) == index.search([1, 0, 0])
    assert [h["chunk_id"] for h in index.search([1, 0, 0], where={"lang": "fr"})] == [4, 5, 6]
    # The replaced "a" carried the metadata; its replacement has none.
    assert index.search([1, 0, 0], where={"year": 2024}) == []
    assert index.search([1, 0, 0], where={"lang": {"$in": []}}) == []

    assert index.delete_document("missing") == 0
    assert index.delete_document("b") == 3
    assert (index.total_chunk_count, index.active_chunk_count) == (7, 1)


@pytest.mark.parametrize(
    ("documents", "error", "message"),
    [
        (({"id": "a", "chunks": []},), TypeError, "documents must be a list of document dictionaries"),
        ([1], TypeError, "each document must be a dictionary"),
        ([{"chunks": []}], KeyError, "missing required key 'id'"),
        ([{"id": 5, "chunks": []}], TypeError, None),
        ([{"id": "a"}], KeyError, "missing required key 'chunks'"),
        ([{"id": "a", "chunks": ()}], TypeError, "'chunks' must be a list"),
        ([{"id": "a", "chunks": [1]}], TypeError, "each chunk must be a dictionary"),
        ([{"id": "a", "chunks": [{"embedding": [1, 2]}]}], KeyError, "missing required key 'text'"),
        ([{"id": "a", "chunks": [{"text": "t"}]}], KeyError, "missing required key 'embedding'"),
        ([{"id": "a", "chunks": [{"text": "t", "embedding": "0.1, 0.2"}]}], TypeError,
         "'embedding' must be a sequence of floats"),
        ([{"id": "a", "chunks": [{"text": "t", "embedding": [1, "x"]}]}], TypeError,
         "'embedding' must be a sequence of floats"),
        ([{"id": "a", "metadata": None, "chunks": []}], TypeError, "metadata must be a dictionary"),
        ([{"id": "a", "chunks": [{"text": "t", "embedding": [1, 2], "metadata": {"k": [1]}}]}], TypeError,
         "metadata values must be str, int, float, bool, or TimestampMillis"),
    ],
)
def test_add_conversion_errors_change_nothing(documents, error, message):
    index = Index(2)
    with pytest.raises(error) as caught:
        index.add([doc("first", [1, 0])] + list(documents) if isinstance(documents, list) else documents)
    assert type(caught.value) is error
    if message is not None:
        assert caught.value.args[0] == message
    assert index.total_chunk_count == 0


def test_core_errors_keep_earlier_documents():
    index = Index(2)
    with pytest.raises(tessarin.DimensionMismatchError) as caught:
        index.add([doc("a", [1, 0]), doc("b", [1, 0, 0]), doc("c", [0, 1])])
    assert str(caught.value) == (
        "invalid vector dimension: expected 2, got 3; use the same embedding model for indexing and queries"
    )
    assert index.total_chunk_count == 1
    with pytest.raises(tessarin.DimensionMismatchError):
        index.add([doc("e", [])])
    with pytest.raises(tessarin.InvalidIdentityError, match="invalid RecordId '': must contain 1-512 UTF-8 bytes"):
        index.add([doc("", [1, 0])])
    with pytest.raises(tessarin.InvalidIdentityError, match="invalid FieldName '1abc'"):
        index.add([doc("m", [1, 0], metadata={"1abc": 1})])
    index.add([{"id": "m", "chunks": [{"text": "t", "embedding": [1, 0], "metadata": {"1abc": 1}}]}])
    assert index.active_chunk_count == 2


def test_search_errors():
    index = Index(4)
    with pytest.raises(tessarin.DimensionMismatchError, match="expected 4, got 3"):
        index.search([1, 2, 3], limit=0)
    with pytest.raises(TypeError, match="^argument 'embedding': "):
        index.search("1234")
    with pytest.raises(TypeError, match="^argument 'limit': "):
        index.search([1, 2, 3, 4], limit=1.5)
    with pytest.raises(OverflowError):
        index.search([1, 2, 3, 4], limit=-1)
    with pytest.raises(tessarin.FilterError, match="^where filter cannot be empty$"):
        index.search([1, 2, 3, 4], where={})
    index.add([doc("a", [1, 0, 0, 0], metadata={"x": 1})])
    with pytest.raises(tessarin.FilterError, match="^invalid range filter for metadata field 'x'$"):
        index.search([1, 0, 0, 0], where={"x": {"$gte": "a"}})
    with pytest.raises(TypeError):
        index.search([1, 0, 0, 0], 5)  # limit is keyword-only
    assert len(index.search([1, 0, 0, 0], limit=2**64 - 1)) == 1


@pytest.mark.parametrize("encoding", ["i8", "f16", "bf16", "f32"])
def test_non_finite_embeddings_and_identifier_limits(encoding):
    nan, inf = float("nan"), float("inf")
    index = Index(3, encoding=encoding)
    index.add([doc("nan", [nan, 1, 0]), doc("inf", [inf, 1, 0]), doc("big", [3e38, 3e38, 0]),
               doc("ok", [1, 0, 0])])
    hits = index.search([1, 0, 0], limit=10)
    assert len(hits) == 4
    assert {h["document_id"] for h in hits} == {"nan", "inf", "big", "ok"}
    assert all(isinstance(h["score"], float) for h in hits)
    assert len(index.search([nan, 0, 0], limit=2)) == 2

    index.add([doc("x" * 512, [1, 0, 0]), doc("\U0001F600" * 128, [0, 1, 0])])
    with pytest.raises(tessarin.InvalidIdentityError, match="must contain 1-512 UTF-8 bytes"):
        index.add([doc("x" * 513, [1, 0, 0])])
    assert index.active_chunk_count == 6
