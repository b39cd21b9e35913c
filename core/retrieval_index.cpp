#include "core/retrieval_index.h"

namespace tessarin {

std::string_view retrieval_mode_name(RetrievalMode mode) noexcept {
    return mode == RetrievalMode::Semantic ? "Semantic" : "Hybrid";
}

RetrievalConfiguration RetrievalConfiguration::with_hybrid_configuration(RetrievalConfiguration configuration,
                                                                         Bm25Config hybrid) {
    configuration.hybrid = std::move(hybrid);
    return configuration;
}

Result<RetrievalIndex> RetrievalIndex::create(const RetrievalConfiguration& configuration) {
    Bm25Index bm25(configuration.hybrid);
    auto store = EncodedVectorStore::create(configuration.encoding);
    if (!store) return std::move(store).error();
    return RetrievalIndex{std::move(store).value(), configuration.dimension, MetadataFilterIndex{}, std::move(bm25),
                          RetrievalMode::Hybrid,    configuration.metric,    configuration.encoding};
}

Result<const Bm25Index*> RetrievalIndex::require_bm25() const {
    if (!bm25) return errors::RetrievalStateUnavailable{"hybrid"};
    return &*bm25;
}

}  // namespace tessarin
