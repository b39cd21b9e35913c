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
