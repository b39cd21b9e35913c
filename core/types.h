// The plain records that cross every boundary of the engine: how vectors are
// compared and stored, the inputs handed to the index, the stored chunk, and the
// queries and hits. They carry no behaviour beyond naming and small helpers.
#pragma once

#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint8_t, std::uint64_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <variant>      // std::variant
#include <vector>       // std::vector

#include "core/error.h"
#include "core/filter.h"
#include "core/metadata.h"
#include "core/record_store.h"

namespace tessarin {

/// How scores are computed; the names are the persisted spellings.
enum class VectorMetric : std::uint8_t {
    DotProduct = 0,  ///< dot product of the stored and the query vector as given
    Cosine = 1,      ///< both scaled to unit L2 length first, then the dot product
};

/// How embeddings are stored; the names are the persisted spellings.
enum class VectorEncoding : std::uint8_t {
    F32 = 0,                ///< IEEE-754 binary32
    F16 = 1,                ///< IEEE-754 binary16
    BF16 = 2,               ///< upper half of a binary32
    I8ScalarQuantized = 3,  ///< signed 8-bit codes plus one f32 scale per vector
    BinaryQuantized = 4,    ///< nameable only: no store, query or payload exists for it
};

std::string_view vector_metric_name(VectorMetric metric) noexcept;
std::string_view vector_encoding_name(VectorEncoding encoding) noexcept;
/// Exact, case-sensitive match of a persisted name.
std::optional<VectorMetric> parse_vector_metric(std::string_view name) noexcept;
std::optional<VectorEncoding> parse_vector_encoding(std::string_view name) noexcept;

/// The input of a document upsert.
struct Document {
    std::string id;  ///< must satisfy the record id rules
    std::string content;  ///< document-level text (may be empty)
    MetadataMap metadata;  ///< shared by all chunks of the document
};

/// One chunk of a document, in document order.
struct ChunkInput {
    std::string text;
    std::vector<float> embedding;  ///< length must equal the index dimension
    MetadataMap metadata;          ///< overrides document metadata field by field
};

/// One chunk of a canonical record; its key is unique within one upsert.
struct RecordChunkInput {
    ChunkKey key = ChunkKey::from_trusted("");
    std::string text;
    std::vector<float> embedding;
    MetadataMap metadata;
};

/// One chunk as the index keeps it in its chunk sequence.
struct StoredChunk {
    std::string document_id;
    std::string text;
    std::uint64_t chunk_id = 0;
    MetadataMap metadata;  ///< document (or projected record) metadata with the chunk's laid over
    std::uint64_t generation = 0;  ///< record generation under which the chunk was written
    bool deleted = false;          ///< tombstone: never scored, dropped by compaction
};

/// The chunk's metadata: `base` with every entry of `overlay` replacing or adding.
MetadataMap overlay_metadata(MetadataMap base, const MetadataMap& overlay);

struct SearchQuery {
    std::vector<float> embedding;
    std::optional<Filter> filter;
    std::size_t limit = 0;
};

struct KeywordQuery {
    std::string text;
    std::optional<Filter> filter;
    std::size_t limit = 0;
};

namespace fusions {
struct ReciprocalRank {
    float rrf_k = 0.0f;
    bool operator==(const ReciprocalRank&) const = default;
};
struct Weighted {
    float vector_weight = 0.0f;
    float keyword_weight = 0.0f;
    bool operator==(const Weighted&) const = default;
};
}  // namespace fusions

/// How the two candidate lists of a hybrid search are fused (tag 0, then 1).
using HybridFusion = std::variant<fusions::ReciprocalRank, fusions::Weighted>;

struct HybridQuery {
    std::string text;
    std::vector<float> embedding;
    std::optional<Filter> filter;  ///< applied to both candidate lists
    std::size_t limit = 0;
    std::size_t vector_candidates = 0;
    std::size_t keyword_candidates = 0;
    HybridFusion fusion;

    /// The query with its filter replaced.
    HybridQuery with_filter(std::optional<Filter> replacement) &&;
    /// The query with `Weighted` fusion of weights alpha and 1 - alpha (in f32), or
    /// the invalid query parameter error when alpha is not finite within [0, 1].
    Result<HybridQuery> try_with_alpha(float alpha) &&;
};

struct SearchHit {
    std::string document_id;
    std::uint64_t chunk_id = 0;
    float score = 0.0f;
    float vector_score = 0.0f;  ///< the same value as `score`
};

struct KeywordHit {
    std::string document_id;
    std::uint64_t chunk_id = 0;
    float score = 0.0f;  ///< BM25 score
    std::vector<std::string> matched_terms;
};

struct HybridTrace {
    std::optional<std::size_t> vector_rank;   ///< 1-based
    std::optional<std::size_t> keyword_rank;  ///< 1-based
    std::optional<float> normalized_vector_score;   ///< weighted fusion only
    std::optional<float> normalized_keyword_score;  ///< weighted fusion only
    std::vector<std::string> matched_terms;  ///< empty when not a keyword hit
    HybridFusion fusion;
};

struct HybridHit {
    std::string document_id;
    std::uint64_t chunk_id = 0;
    float score = 0.0f;
    std::optional<float> vector_score;
    std::optional<float> keyword_score;
    HybridTrace trace;
};

}  // namespace tessarin
