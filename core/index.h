// The exact vector index: every chunk given to it, one encoded row per chunk, an
// inverted metadata index and a BM25 index over the live chunks. Upserts replace
// documents by id (old chunks become tombstones), searches score every candidate
// exactly, and compaction drops the tombstones. Every change checks first and
// leaves the index unchanged on failure. No internal locking: owners give changes
// exclusive access and let searches share it.
#pragma once

#include <cstddef>        // std::size_t
#include <cstdint>        // std::uint64_t
#include <optional>       // std::optional
#include <span>           // std::span
#include <string>         // std::string
#include <unordered_map>  // std::unordered_map
#include <vector>         // std::vector

#include "core/corpus_index.h"
#include "core/error.h"
#include "core/retrieval_index.h"
#include "core/types.h"

namespace tessarin {

struct IndexConfig {
    std::size_t dimension = 0;
    VectorMetric metric = VectorMetric::Cosine;
    VectorEncoding encoding = VectorEncoding::I8ScalarQuantized;
};

struct CompactionReport {
    std::size_t chunks_before = 0;
    std::size_t chunks_after = 0;
    std::size_t chunks_removed = 0;
    std::size_t estimated_bytes_before = 0;
    std::size_t estimated_bytes_after = 0;
    std::size_t estimated_bytes_reclaimed = 0;
};

/// Twelve components in their fixed order; the total is their (saturating) sum.
struct IndexSizeEstimate {
    std::uint64_t vectors = 0, chunk_ids = 0, document_ids = 0, texts = 0, metadata = 0, tombstone_flags = 0,
                  generations = 0, offsets = 0, bm25 = 0, metadata_index = 0, records = 0, chunk_identities = 0;
    std::uint64_t total() const noexcept;
};

/// Higher score first by the IEEE total order, then the smaller chunk id.
bool compare_scores(float score_a, std::uint64_t id_a, float score_b, std::uint64_t id_b) noexcept;

/// @brief The central in-memory index.
class ExactVectorIndex {
public:
    static Result<ExactVectorIndex> try_with_config(const IndexConfig& config);
    static Result<ExactVectorIndex> from_parts(std::size_t dimension, VectorMetric metric, VectorEncoding encoding,
                                               Bm25Config bm25);
    static Result<ExactVectorIndex> try_with_retrieval_configuration_in_corpus(
        const RetrievalConfiguration& configuration, std::string corpus_id);

    /// Adds or replaces a document; returns the new chunk ids in chunk order.
    Result<std::vector<std::uint64_t>> upsert_document(const Document& document,
                                                       const std::vector<ChunkInput>& chunks);
    /// Adds or replaces a canonical record with its chunks.
    Result<std::vector<std::uint64_t>> upsert_record(Record record, const MetadataMap& projected_metadata,
                                                     const std::vector<RecordChunkInput>& chunks);

    /// The chunk with this id, live or tombstoned.
    const StoredChunk* chunk(std::uint64_t chunk_id) const noexcept { return corpus_.chunk(chunk_id); }

    Result<std::vector<SearchHit>> search(const SearchQuery& query) const;
    Result<std::vector<SearchHit>> search_vector_candidates(std::span<const float> embedding, std::size_t limit,
                                                            const std::optional<Filter>& filter) const;

    /// Tombstones the document's live chunks; returns how many.
    std::size_t delete_document(const std::string& document_id);
    std::size_t delete_record_by_id(const std::string& id, const std::optional<RecordId>& record_id);
    Result<CompactionReport> compact();
    IndexSizeEstimate size_estimate() const noexcept;

    std::size_t dimension() const noexcept { return retrieval_.dimension; }
    std::size_t total_chunk_count() const noexcept { return corpus_.chunks.size(); }
    std::size_t active_chunk_count() const noexcept { return corpus_.active_offsets.size(); }
    std::size_t tombstoned_chunk_count() const noexcept;
    std::uint64_t generation() const noexcept { return corpus_.generation; }

    const CorpusIndex& corpus() const noexcept { return corpus_; }
    const RetrievalIndex& retrieval() const noexcept { return retrieval_; }

private:
    ExactVectorIndex(CorpusIndex corpus, RetrievalIndex retrieval)
        : corpus_(std::move(corpus)), retrieval_(std::move(retrieval)) {}

    void push_embedding(std::span<const float> embedding);
    /// Tombstones the live chunks of `document_id`; returns their count.
    std::size_t tombstone_document(const std::string& document_id);

    CorpusIndex corpus_;
    RetrievalIndex retrieval_;
    // Live offsets per document id, ascending: replacing or deleting a document
    // finds its chunks without scanning the whole chunk sequence.
    std::unordered_map<std::string, std::vector<std::size_t>> live_offsets_by_document_;
};

}  // namespace tessarin
