// The retrieval half of an exact vector index: the encoded vector rows, the
// metadata filter index and the BM25 index, made from one configuration.
#pragma once

#include <cstddef>   // std::size_t
#include <cstdint>   // std::uint8_t
#include <optional>  // std::optional
#include <string_view>

#include "core/bm25.h"
#include "core/error.h"
#include "core/metadata_index.h"
#include "core/scoring.h"
#include "core/types.h"

namespace tessarin {

enum class RetrievalMode : std::uint8_t { Semantic = 0, Hybrid = 1 };

std::string_view retrieval_mode_name(RetrievalMode mode) noexcept;

struct RetrievalConfiguration {
    Bm25Config hybrid;
    std::size_t dimension = 0;
    VectorMetric metric = VectorMetric::Cosine;
    VectorEncoding encoding = VectorEncoding::I8ScalarQuantized;

    /// The configuration with its keyword settings replaced.
    static RetrievalConfiguration with_hybrid_configuration(RetrievalConfiguration configuration, Bm25Config hybrid);
};

/// @brief What searching needs, kept beside the corpus state.
struct RetrievalIndex {
    EncodedVectorStore store;
    std::size_t dimension = 0;
    MetadataFilterIndex metadata_index;
    std::optional<Bm25Index> bm25;
    RetrievalMode mode = RetrievalMode::Hybrid;
    VectorMetric metric = VectorMetric::Cosine;
    VectorEncoding encoding = VectorEncoding::I8ScalarQuantized;

    /// An empty retrieval half; fails only for `BinaryQuantized`.
    static Result<RetrievalIndex> create(const RetrievalConfiguration& configuration);
    /// The BM25 index, or the "hybrid" retrieval-state error when there is none.
    Result<const Bm25Index*> require_bm25() const;
};

}  // namespace tessarin
