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
#include <string_view>    // std::string_view
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

/// One chunk found by either side of a hybrid search, while the two lists are fused.
struct HybridCandidate {
    std::uint64_t chunk_id = 0;
    std::string document_id;
    std::optional<std::size_t> vector_rank;   ///< 1-based
    std::optional<std::size_t> keyword_rank;  ///< 1-based
    std::optional<float> vector_score;
    std::optional<float> keyword_score;
    std::vector<std::string> matched_terms;
    std::optional<float> normalized_vector_score;
    std::optional<float> normalized_keyword_score;
    float fused_score = 0.0f;
};

/// `InvalidFormat` naming the first fusion setting out of range.
Status validate_hybrid_fusion(const HybridFusion& fusion);
/// Fills the normalised and fused scores in place (validating the fusion first).
Status score_hybrid_candidates(std::vector<HybridCandidate>& candidates, const HybridFusion& fusion);
/// The order of the fused list: higher fused score (IEEE total order), then a
/// present and smaller vector rank, then keyword rank, then the smaller chunk id.
bool compare_hybrid_candidates(const HybridCandidate& a, const HybridCandidate& b) noexcept;

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

    /// The chunk with this id, live or tombstoned; valid until the next change.
    std::optional<ChunkView> chunk(std::uint64_t chunk_id) const noexcept { return corpus_.chunk(chunk_id); }

    Result<std::vector<SearchHit>> search(const SearchQuery& query) const;
    Result<std::vector<SearchHit>> search_vector_candidates(std::span<const float> embedding, std::size_t limit,
                                                            const std::optional<Filter>& filter) const;

    Result<std::vector<KeywordHit>> keyword_search(const KeywordQuery& query) const;
    /// BM25 hits over live chunks matching `filter`, best first, at most `limit`.
    Result<std::vector<KeywordHit>> keyword_search_candidates(std::string_view text, std::size_t limit,
                                                              const std::optional<Filter>& filter) const;
    /// A vector and a keyword candidate list fused into one ranking.
    Result<std::vector<HybridHit>> hybrid_search(const HybridQuery& query) const;

    /// Tombstones the document's live chunks; returns how many.
    std::size_t delete_document(const std::string& document_id);
    std::size_t delete_record_by_id(const std::string& id, const std::optional<RecordId>& record_id);
    Result<CompactionReport> compact();
    IndexSizeEstimate size_estimate() const noexcept;

    std::size_t dimension() const noexcept { return retrieval_.dimension; }
    std::size_t total_chunk_count() const noexcept { return corpus_.size(); }
    std::size_t active_chunk_count() const noexcept { return corpus_.active_offsets().size(); }
    std::size_t tombstoned_chunk_count() const noexcept { return corpus_.tombstoned_count(); }
    std::uint64_t generation() const noexcept { return corpus_.corpus_generation(); }

    const CorpusState& corpus() const noexcept { return corpus_; }
    /// The record and identity checks every save runs.
    Status validate_record_state() const { return corpus_.validate(); }
    const RetrievalIndex& retrieval() const noexcept { return retrieval_; }

private:
    // Lets unit tests reach states only a loaded file produces (an index without
    // keyword state, a chunk gone stale).
    friend struct ExactVectorIndexTestAccess;

    ExactVectorIndex(CorpusState corpus, RetrievalIndex retrieval)
        : corpus_(std::move(corpus)), retrieval_(std::move(retrieval)) {}

    /// `document_record`: the record is `projected_metadata` converted, kept as that metadata.
    Result<std::vector<std::uint64_t>> upsert(Record record, const MetadataMap& projected_metadata,
                                              const std::vector<RecordChunkInput>& chunks, bool document_record);
    void push_embedding(std::span<const float> embedding);
    /// Tombstones the live chunks of the record in `slot`; returns their count.
    std::size_t tombstone_record(CorpusState::Slot slot);

    CorpusState corpus_;
    RetrievalIndex retrieval_;
};

}  // namespace tessarin
