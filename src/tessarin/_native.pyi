from collections.abc import Sequence
from typing import Any, TypedDict

from tessarin.types import TextChunk, TimestampMillis

MetadataValue = str | int | float | bool | TimestampMillis

class ChunkDict(TypedDict, total=False):
    text: str
    embedding: Sequence[float]
    metadata: dict[str, MetadataValue]

class DocumentDict(TypedDict, total=False):
    id: str
    metadata: dict[str, MetadataValue]
    chunks: list[ChunkDict]

class AddedDocument(TypedDict):
    id: str
    chunk_ids: list[int]

class VectorTrace(TypedDict):
    vector_score: float

class SearchHit(TypedDict):
    chunk_id: int
    document_id: str
    text: str
    metadata: dict[str, MetadataValue]
    score: float
    trace: VectorTrace

class KeywordHit(TypedDict):
    chunk_id: int
    document_id: str
    text: str
    metadata: dict[str, MetadataValue]
    score: float
    matched_terms: list[str]

class HybridTrace(TypedDict):
    alpha: float
    vector_rank: int | None
    keyword_rank: int | None
    normalized_vector_score: float | None
    normalized_keyword_score: float | None
    matched_terms: list[str]

class HybridHit(TypedDict):
    chunk_id: int
    document_id: str
    text: str
    metadata: dict[str, MetadataValue]
    score: float
    vector_score: float | None
    keyword_score: float | None
    matched_terms: list[str]
    trace: HybridTrace

class Index:
    """Index(dimension, metric="cosine", encoding="i8")

    An in-memory exact vector index of documents cut into chunks. metric: "cosine" or
    "dot_product"; encoding: "i8" (default), "f16", "bf16" or "f32".
    """

    def __init__(self, dimension: int, metric: str = "cosine", encoding: str = "i8") -> None: ...
    @property
    def dimension(self) -> int: ...
    @property
    def active_chunk_count(self) -> int: ...
    @property
    def total_chunk_count(self) -> int: ...
    @property
    def tombstoned_chunk_count(self) -> int: ...
    def add(self, documents: list[DocumentDict]) -> list[AddedDocument]:
        """Add or replace documents by id; returns their new chunk ids."""
    def delete_document(self, document_id: str) -> int:
        """Tombstone a document's live chunks; returns how many."""
    def search(
        self, embedding: Sequence[float], *, limit: int = 10, where: dict[str, Any] | None = None
    ) -> list[SearchHit]:
        """The best `limit` live chunks by similarity, optionally filtered by `where`."""
    def keyword_search(
        self, text: str, *, limit: int = 10, where: dict[str, Any] | None = None
    ) -> list[KeywordHit]:
        """The best `limit` live chunks by BM25 score for the words of `text`."""
    def hybrid_search(
        self,
        text: str,
        embedding: Sequence[float],
        *,
        limit: int = 10,
        where: dict[str, Any] | None = None,
        vector_candidates: int | None = None,
        keyword_candidates: int | None = None,
        alpha: float = 0.6,
    ) -> list[HybridHit]:
        """Vector and keyword candidates (50 each by default) fused by min-max
        normalised scores: alpha weighs the vector side, 1 - alpha the keyword side.
        alpha=1 is vector-only, alpha=0 keyword-only."""

def chunk_text(
    text: str,
    *,
    max_characters: int,
    overlap_characters: int = 0,
    strategy: str = "sentence",
) -> list[TextChunk]:
    """Split text into windows of at most max_characters characters.

    The "sentence" strategy moves each cut back to the last sentence end, or else
    the last whitespace, inside the window; "fixed" cuts at exact sizes. Each chunk
    is trimmed of whitespace; start_byte and end_byte are UTF-8 byte offsets.
    """

class TessarinError(Exception): ...
class DimensionMismatchError(TessarinError): ...
class PersistenceError(TessarinError): ...
class FilterError(TessarinError): ...
class UnsupportedFormatError(TessarinError): ...
class CorruptIndexError(TessarinError): ...
class InvalidIdentityError(TessarinError): ...
class RetrievalCapabilityUnavailableError(TessarinError): ...
