"""Tessarin: an embeddable, exact retrieval engine.

Chunks of text with their embeddings and flat metadata are searched by vector
similarity, BM25 keywords or a fusion of both, filtered by a small ``where``
dictionary language, all in memory and scored exactly.
"""

from tessarin._native import (
    CorruptIndexError,
    DimensionMismatchError,
    FilterError,
    Index,
    InvalidIdentityError,
    PersistenceError,
    RetrievalCapabilityUnavailableError,
    TessarinError,
    UnsupportedFormatError,
    chunk_text,
)
from tessarin.types import TextChunk, TimestampMillis

__all__ = [
    "CorruptIndexError",
    "DimensionMismatchError",
    "FilterError",
    "Index",
    "InvalidIdentityError",
    "PersistenceError",
    "RetrievalCapabilityUnavailableError",
    "TessarinError",
    "TextChunk",
    "TimestampMillis",
    "UnsupportedFormatError",
    "chunk_text",
]

__version__ = "0.1.0"
