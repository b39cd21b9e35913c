"""A first look at Tessarin: cut a document into chunks ready for embedding."""

import tessarin
from tessarin import TimestampMillis

document = (
    "Tessarin keeps every chunk in memory and scores it exactly. "
    "Saved indexes are checksummed snapshots, published by an atomic rename! "
    "Does it need a server? No: it runs inside your Python process."
)

chunks = tessarin.chunk_text(document, max_characters=80, overlap_characters=10)
for number, chunk in enumerate(chunks):
    print(f"chunk {number} bytes {chunk['start_byte']}-{chunk['end_byte']}: {chunk['text']!r}")

# Metadata timestamps are their own type, distinct from plain integers.
published = TimestampMillis(1_767_225_600_000)
print("published:", published, published.to_datetime().isoformat())

# Every error of the engine derives from tessarin.TessarinError; bad arguments raise
# the usual built-in exceptions with a message naming the problem.
try:
    tessarin.chunk_text(document, max_characters=10, overlap_characters=10)
except ValueError as error:
    print("refused:", error)

# An index of chunks with embeddings from your own model (tiny made-up vectors here).
index = tessarin.Index(3, metric="cosine", encoding="i8")
index.add(
    [
        {
            "id": "guide",
            "metadata": {"lang": "en", "published": published},
            "chunks": [
                {"text": chunk["text"], "embedding": vector}
                for chunk, vector in zip(chunks, [[0.9, 0.1, 0.0], [0.1, 0.9, 0.1], [0.0, 0.2, 0.9]])
            ],
        },
        {"id": "note", "metadata": {"lang": "de"}, "chunks": [{"text": "Hallo", "embedding": [0.8, 0.2, 0.1]}]},
    ]
)
for hit in index.search([1.0, 0.0, 0.0], limit=2, where={"lang": "en"}):
    print(f"{hit['score']:.3f} {hit['document_id']}: {hit['text'][:40]!r}")
print("chunks:", index.active_chunk_count)

# Keyword search ranks chunks by BM25 over their words; hybrid search fuses a vector
# search and a keyword search (alpha weighs the vector side, 1 - alpha the keywords).
for hit in index.keyword_search("exactly in memory", limit=2):
    print(f"bm25 {hit['score']:.3f} {hit['matched_terms']}: {hit['text'][:40]!r}")
for hit in index.hybrid_search("atomic rename", [0.1, 0.9, 0.1], limit=2, alpha=0.5):
    trace = hit["trace"]
    print(f"hybrid {hit['score']:.3f} (vector rank {trace['vector_rank']}, "
          f"keyword rank {trace['keyword_rank']}): {hit['text'][:40]!r}")
