#include "core/index.h"

#include <algorithm>      // std::push_heap, std::pop_heap, std::sort
#include <bit>            // std::bit_cast
#include <cmath>          // std::isfinite, std::fmin, std::fmax
#include <limits>         // std::numeric_limits
#include <map>            // std::map
#include <set>            // std::set

#include "core/text.h"

namespace tessarin {
namespace {

struct Candidate {
    float score;
    std::uint64_t chunk_id;
    std::size_t offset;
};

// "Better" as the heap's less-than keeps the worst candidate on top.
bool better(const Candidate& a, const Candidate& b) noexcept {
    return compare_scores(a.score, a.chunk_id, b.score, b.chunk_id);
}

// The best `limit` candidates offered; never reserves `limit` up front.
class TopK {
public:
    explicit TopK(std::size_t limit) : limit_(limit) {}
    void offer(const Candidate& candidate) {
        if (heap_.size() < limit_) {
            heap_.push_back(candidate);
            std::push_heap(heap_.begin(), heap_.end(), better);
        } else if (limit_ > 0 && better(candidate, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), better);
            heap_.back() = candidate;
            std::push_heap(heap_.begin(), heap_.end(), better);
        } else {
            return;
        }
        if (heap_.size() == limit_) entry_key_ = f32_total_order_key(heap_.front().score);
    }
    /// False when a score cannot enter however its chunk id compares, so the
    /// caller need not look the chunk up. One comparison: this runs once per row.
    bool could_enter(float score) const noexcept { return f32_total_order_key(score) >= entry_key_; }
    std::vector<Candidate> take_sorted() {
        std::sort(heap_.begin(), heap_.end(), better);
        return std::move(heap_);
    }

private:
    std::size_t limit_;
    std::vector<Candidate> heap_;
    // The key a score needs to reach once the heap is full; below every key until then.
    std::int32_t entry_key_ = std::numeric_limits<std::int32_t>::min();
};

}  // namespace

bool compare_scores(float score_a, std::uint64_t id_a, float score_b, std::uint64_t id_b) noexcept {
    const auto ka = f32_total_order_key(score_a), kb = f32_total_order_key(score_b);
    if (ka != kb) return ka > kb;
    return id_a < id_b;
}

Status validate_hybrid_fusion(const HybridFusion& fusion) {
    if (const auto* rrf = std::get_if<fusions::ReciprocalRank>(&fusion)) {
        // Written so that NaN fails too; -0.0 is not greater than zero.
        if (!(std::isfinite(rrf->rrf_k) && rrf->rrf_k > 0.0f)) {
            return errors::InvalidFormat{"rrf_k must be finite and greater than zero"};
        }
        return {};
    }
    const auto& weighted = std::get<fusions::Weighted>(fusion);
    if (!(std::isfinite(weighted.vector_weight) && weighted.vector_weight >= 0.0f)) {
        return errors::InvalidFormat{"vector_weight must be finite and non-negative"};
    }
    if (!(std::isfinite(weighted.keyword_weight) && weighted.keyword_weight >= 0.0f)) {
        return errors::InvalidFormat{"keyword_weight must be finite and non-negative"};
    }
    if (weighted.vector_weight == 0.0f && weighted.keyword_weight == 0.0f) {
        return errors::InvalidFormat{"at least one hybrid fusion weight must be greater than zero"};
    }
    return {};
}

namespace {

// Min-max normalisation of one side: finite scores only; a range too small to
// divide by (all equal, or one score) makes every present score 1.
template <typename Score, typename Normalized>
void normalize_side(std::vector<HybridCandidate>& candidates, Score score_of, Normalized normalized_of) {
    float low = std::numeric_limits<float>::infinity();
    float high = -std::numeric_limits<float>::infinity();
    bool any = false;
    for (const HybridCandidate& candidate : candidates) {
        const std::optional<float>& score = score_of(candidate);
        if (!score || !std::isfinite(*score)) continue;
        low = std::fmin(low, *score);
        high = std::fmax(high, *score);
        any = true;
    }
    if (!any) return;
    const float range = high - low;
    constexpr float smallest_range = 0x1p-23f;
    for (HybridCandidate& candidate : candidates) {
        const std::optional<float>& score = score_of(candidate);
        if (!score || !std::isfinite(*score)) continue;
        normalized_of(candidate) = range > smallest_range ? (*score - low) / range : 1.0f;
    }
}

}  // namespace

Status score_hybrid_candidates(std::vector<HybridCandidate>& candidates, const HybridFusion& fusion) {
    if (auto valid = validate_hybrid_fusion(fusion); !valid) return valid;
    if (const auto* weighted = std::get_if<fusions::Weighted>(&fusion)) {
        normalize_side(
            candidates, [](const HybridCandidate& c) -> const std::optional<float>& { return c.vector_score; },
            [](HybridCandidate& c) -> std::optional<float>& { return c.normalized_vector_score; });
        normalize_side(
            candidates, [](const HybridCandidate& c) -> const std::optional<float>& { return c.keyword_score; },
            [](HybridCandidate& c) -> std::optional<float>& { return c.normalized_keyword_score; });
        for (HybridCandidate& candidate : candidates) {
            const float vector_part = weighted->vector_weight * candidate.normalized_vector_score.value_or(0.0f);
            const float keyword_part = weighted->keyword_weight * candidate.normalized_keyword_score.value_or(0.0f);
            candidate.fused_score = vector_part + keyword_part;
        }
        return {};
    }
    const float k = std::get<fusions::ReciprocalRank>(fusion).rrf_k;
    for (HybridCandidate& candidate : candidates) {
        candidate.normalized_vector_score.reset();
        candidate.normalized_keyword_score.reset();
        const float v = candidate.vector_rank ? 1.0f / (k + static_cast<float>(*candidate.vector_rank)) : 0.0f;
        const float w = candidate.keyword_rank ? 1.0f / (k + static_cast<float>(*candidate.keyword_rank)) : 0.0f;
        candidate.fused_score = v + w;
    }
    return {};
}

bool compare_hybrid_candidates(const HybridCandidate& a, const HybridCandidate& b) noexcept {
    const auto ka = f32_total_order_key(a.fused_score), kb = f32_total_order_key(b.fused_score);
    if (ka != kb) return ka > kb;
    // Present ranks first, then the smaller.
    auto rank_before = [](const std::optional<std::size_t>& x, const std::optional<std::size_t>& y) -> int {
        if (x.has_value() != y.has_value()) return x.has_value() ? -1 : 1;
        if (!x || *x == *y) return 0;
        return *x < *y ? -1 : 1;
    };
    if (const int order = rank_before(a.vector_rank, b.vector_rank); order != 0) return order < 0;
    if (const int order = rank_before(a.keyword_rank, b.keyword_rank); order != 0) return order < 0;
    return a.chunk_id < b.chunk_id;
}

std::uint64_t IndexSizeEstimate::total() const noexcept {
    std::uint64_t sum = 0;
    for (std::uint64_t part : {vectors, chunk_ids, document_ids, texts, metadata, tombstone_flags, generations, offsets,
                               bm25, metadata_index, records, chunk_identities}) {
        sum = saturating_add(sum, part);
    }
    return sum;
}

Result<ExactVectorIndex> ExactVectorIndex::try_with_config(const IndexConfig& config) {
    return from_parts(config.dimension, config.metric, config.encoding, Bm25Config{});
}

Result<ExactVectorIndex> ExactVectorIndex::from_parts(std::size_t dimension, VectorMetric metric,
                                                      VectorEncoding encoding, Bm25Config bm25) {
    RetrievalConfiguration configuration{Bm25Config{}, dimension, metric, encoding};
    return try_with_retrieval_configuration_in_corpus(
        RetrievalConfiguration::with_hybrid_configuration(std::move(configuration), std::move(bm25)), "default");
}

Result<ExactVectorIndex> ExactVectorIndex::try_with_retrieval_configuration_in_corpus(
    const RetrievalConfiguration& configuration, std::string corpus_id) {
    CorpusState corpus(CorpusId::from_trusted(std::move(corpus_id)));
    auto retrieval = RetrievalIndex::create(configuration);
    if (!retrieval) return std::move(retrieval).error();
    return ExactVectorIndex(std::move(corpus), std::move(retrieval).value());
}

Result<std::vector<std::uint64_t>> ExactVectorIndex::upsert_document(const Document& document,
                                                                     const std::vector<ChunkInput>& chunks) {
    auto id = RecordId::create(document.id);
    if (!id) return std::move(id).error();
    Record record;
    record.id = std::move(id).value();
    for (const auto& [name, value] : document.metadata) {
        auto field = FieldName::create(name);
        if (!field) return std::move(field).error();
        record.fields.emplace(std::move(field).value(), record_value_of(value));
    }
    record.record_type = RecordType::from_trusted("Document");
    record.content = document.content;
    std::vector<RecordChunkInput> inputs;
    inputs.reserve(chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        inputs.push_back(RecordChunkInput{ChunkKey::from_trusted("ordinal-" + std::to_string(i)), chunks[i].text,
                                          chunks[i].embedding, chunks[i].metadata});
    }
    return upsert(std::move(record), document.metadata, inputs, true);
}

Result<std::vector<std::uint64_t>> ExactVectorIndex::upsert_record(Record record,
                                                                   const MetadataMap& projected_metadata,
                                                                   const std::vector<RecordChunkInput>& chunks) {
    return upsert(std::move(record), projected_metadata, chunks, false);
}

Result<std::vector<std::uint64_t>> ExactVectorIndex::upsert(Record record, const MetadataMap& projected_metadata,
                                                            const std::vector<RecordChunkInput>& chunks,
                                                            bool document_record) {
    if (Status status = Record::validate(record); !status) return std::move(status).error();
    for (const RecordChunkInput& chunk : chunks) {
        if (chunk.embedding.size() != retrieval_.dimension) {
            return errors::DimensionMismatch{retrieval_.dimension, chunk.embedding.size()};
        }
    }
    std::set<std::string_view> keys;
    for (const RecordChunkInput& chunk : chunks) {
        if (!keys.insert(chunk.key.str()).second) {
            return errors::InvalidIdentity{"ChunkKey", chunk.key.str(), "must be unique within one record generation"};
        }
    }
    // All checks passed: from here on the upsert completes.
    retrieval_.store.reserve_rows(chunks.size(), retrieval_.dimension);
    std::size_t text_bytes = 0;
    for (const RecordChunkInput& input : chunks) text_bytes += input.text.size();
    corpus_.reserve(chunks.size(), text_bytes);
    const CorpusState::Slot slot = corpus_.intern_record(record.id.str());
    const auto known = corpus_.record_generation(record.id.str());
    const std::uint64_t generation = known ? saturating_add(*known, 1) : 1;
    tombstone_record(slot);

    MetadataPool& pool = corpus_.metadata_pool();
    // Chunks without metadata of their own share the projected map.
    std::optional<MetadataPool::Id> projected;
    auto projected_id = [&] {
        if (!projected) projected = pool.acquire(projected_metadata);
        return *projected;
    };
    std::vector<std::uint64_t> chunk_ids;
    chunk_ids.reserve(chunks.size());
    for (const RecordChunkInput& input : chunks) {
        const std::uint64_t chunk_id = corpus_.next_chunk_id();
        chunk_ids.push_back(chunk_id);
        if (retrieval_.bm25) retrieval_.bm25->add_chunk(chunk_id, input.text, true);
        push_embedding(input.embedding);
        const MetadataPool::Id metadata = input.metadata.empty()
                                              ? projected_id()
                                              : pool.acquire(overlay_metadata(projected_metadata, input.metadata));
        const std::size_t offset = corpus_.append_chunk(slot, input.text, metadata, generation, input.key);
        if (!input.metadata.empty()) pool.release(metadata);  // the chunk holds its own reference
        retrieval_.metadata_index.insert(offset, corpus_.metadata(offset));
    }
    corpus_.set_record_generation(slot, generation);
    if (document_record) {
        corpus_.set_document_record(slot, projected_id(), record.content.value_or(std::string()));
    } else {
        corpus_.set_general_record(slot, std::move(record));
    }
    if (projected) pool.release(*projected);
    corpus_.bump_generation();
    return chunk_ids;
}

void ExactVectorIndex::push_embedding(std::span<const float> embedding) {
    if (retrieval_.metric == VectorMetric::Cosine) {
        std::vector<float> scaled(embedding.begin(), embedding.end());
        scale_to_unit_length(scaled);
        retrieval_.store.push(scaled);
    } else {
        retrieval_.store.push(embedding);
    }
}

std::size_t ExactVectorIndex::tombstone_record(CorpusState::Slot slot) {
    return corpus_.tombstone_record(slot, [&](std::size_t offset) {
        retrieval_.metadata_index.remove(offset, corpus_.metadata(offset));
        if (retrieval_.bm25) retrieval_.bm25->deactivate_chunk(corpus_.chunk_id(offset), corpus_.text(offset));
    });
}

Result<std::vector<SearchHit>> ExactVectorIndex::search(const SearchQuery& query) const {
    return search_vector_candidates(query.embedding, query.limit, query.filter);
}

Result<std::vector<SearchHit>> ExactVectorIndex::search_vector_candidates(std::span<const float> embedding,
                                                                          std::size_t limit,
                                                                          const std::optional<Filter>& filter) const {
    if (embedding.size() != retrieval_.dimension) {
        return errors::DimensionMismatch{retrieval_.dimension, embedding.size()};
    }
    if (limit == 0) return std::vector<SearchHit>{};
    auto query = encode_query_embedding(retrieval_.metric, retrieval_.encoding, embedding);
    if (!query) return std::move(query).error();

    std::optional<OffsetSet> narrowed;
    if (filter) {
        auto candidates = retrieval_.metadata_index.candidate_set(*filter);
        if (!candidates) return std::move(candidates).error();
        narrowed = std::move(candidates).value();
    }
    const OffsetSet& scope = narrowed ? *narrowed : corpus_.active_offsets();
    const std::size_t chunk_count = corpus_.size();
    const std::size_t dimension = retrieval_.dimension;

    // Rows are scored in batches: the kernel is resolved and the rows checked once
    // per batch. A chunk is only looked up for its id when its score could enter
    // the collector, so an unfiltered scan reads nothing but the rows.
    constexpr std::size_t batch_size = 1024;
    std::vector<std::size_t> rows(batch_size);
    std::vector<float> scores(batch_size);
    std::size_t pending = 0;
    TopK top(limit);
    std::optional<TessarinError> failure;
    auto offer = [&](std::size_t row, float score) {
        if (top.could_enter(score)) top.offer({score, corpus_.chunk_id(row), row});
    };
    auto flush = [&] {
        if (pending == 0) return;
        const bool contiguous = rows[pending - 1] - rows[0] == pending - 1;
        const std::span<float> out(scores.data(), pending);
        const bool scored = contiguous
                                ? retrieval_.store.score_rows(query.value(), rows[0], dimension, out)
                                : retrieval_.store.score_rows(query.value(),
                                                              std::span<const std::size_t>(rows.data(), pending),
                                                              dimension, out);
        if (scored) {
            for (std::size_t i = 0; i < pending; ++i) offer(rows[i], scores[i]);
        } else {
            // Some row cannot be scored: take the rows one by one and skip it.
            for (std::size_t i = 0; i < pending; ++i) {
                if (auto score = retrieval_.store.score_at(query.value(), rows[i], dimension)) offer(rows[i], *score);
            }
        }
        pending = 0;
    };
    if (!filter && scope.size() == chunk_count) {
        // No tombstones: every row is live, so score them in contiguous runs.
        for (std::size_t first = 0; first < chunk_count; first += batch_size) {
            pending = std::min(batch_size, chunk_count - first);
            const std::span<float> out(scores.data(), pending);
            if (retrieval_.store.score_rows(query.value(), first, dimension, out)) {
                for (std::size_t i = 0; i < pending; ++i) offer(first + i, scores[i]);
                pending = 0;
            } else {
                for (std::size_t i = 0; i < pending; ++i) rows[i] = first + i;
                flush();
            }
        }
    } else if (!filter) {
        // Active offsets are live chunks by construction.
        scope.for_each([&](std::size_t offset) {
            if (offset >= chunk_count) return;
            rows[pending++] = offset;
            if (pending == batch_size) flush();
        });
    } else {
        scope.for_each([&](std::size_t offset) {
            if (failure || offset >= chunk_count || corpus_.deleted(offset)) return;
            auto matched = matches(*filter, corpus_.metadata(offset));
            if (!matched) {
                failure = std::move(matched).error();
                return;
            }
            if (!matched.value()) return;
            rows[pending++] = offset;
            if (pending == batch_size) flush();
        });
    }
    if (failure) return std::move(*failure);
    flush();

    std::vector<SearchHit> hits;
    for (const Candidate& candidate : top.take_sorted()) {
        if (candidate.offset >= chunk_count) continue;
        hits.push_back(SearchHit{std::string(corpus_.document_id(candidate.offset)), candidate.chunk_id,
                                 candidate.score, candidate.score});
    }
    return hits;
}

Result<std::vector<KeywordHit>> ExactVectorIndex::keyword_search(const KeywordQuery& query) const {
    return keyword_search_candidates(query.text, query.limit, query.filter);
}

Result<std::vector<KeywordHit>> ExactVectorIndex::keyword_search_candidates(std::string_view text, std::size_t limit,
                                                                            const std::optional<Filter>& filter) const {
    if (limit == 0) return std::vector<KeywordHit>{};
    const std::size_t chunk_count = corpus_.size();
    // The candidates as one bit per offset, of live chunks only: BM25 asks about
    // each posting's chunk through the offset table, with no set of ids to build.
    struct Candidates {
        const ChunkOffsetTable* offsets;
        std::vector<std::uint64_t> bits;
        static bool allows(const void* context, std::uint64_t chunk_id) {
            const auto& self = *static_cast<const Candidates*>(context);
            const auto offset = self.offsets->get(chunk_id);
            return offset && *offset / 64 < self.bits.size() && (self.bits[*offset / 64] >> (*offset % 64) & 1) != 0;
        }
    };
    std::optional<Candidates> candidates_of_filter;
    if (filter) {
        auto candidates = retrieval_.metadata_index.candidate_set(*filter);
        if (!candidates) return std::move(candidates).error();
        if (const auto& offsets = candidates.value()) {
            Candidates& kept = candidates_of_filter.emplace(Candidates{&corpus_.chunk_offsets(), {}});
            kept.bits.assign((chunk_count + 63) / 64, 0);
            bool any = false;
            // Work in the number of candidates, not of chunks: a tombstone can only
            // be among them when the index holds any.
            const bool has_tombstones = corpus_.active_offsets().size() != chunk_count;
            offsets->for_each([&](std::size_t offset) {
                if (offset >= chunk_count || (has_tombstones && corpus_.deleted(offset))) return;
                kept.bits[offset / 64] |= std::uint64_t{1} << (offset % 64);
                any = true;
            });
            if (!any) return std::vector<KeywordHit>{};
        }
    }
    auto bm25 = retrieval_.require_bm25();
    if (!bm25) return std::move(bm25).error();

    // A filter the metadata index cannot narrow is applied below, hit by hit, so
    // BM25 must hand over every hit: limiting first could leave too few matches.
    const bool apply_limit = !filter || candidates_of_filter.has_value();
    std::vector<Bm25Hit> ranked =
        candidates_of_filter
            ? bm25.value()->search_with_limit(text, apply_limit, limit,
                                              Bm25Index::CandidateTest{&*candidates_of_filter, &Candidates::allows})
            : bm25.value()->search_with_limit(text, apply_limit, limit, nullptr);
    std::vector<KeywordHit> hits;
    for (Bm25Hit& hit : ranked) {
        const auto offset = corpus_.chunk_offsets().get(hit.chunk_id);
        if (!offset || *offset >= chunk_count || corpus_.deleted(*offset)) continue;
        if (filter) {
            auto matched = matches(*filter, corpus_.metadata(*offset));
            if (!matched) return std::move(matched).error();
            if (!matched.value()) continue;
        }
        hits.push_back(KeywordHit{std::string(corpus_.document_id(*offset)), hit.chunk_id, hit.score,
                                  std::move(hit.matched_terms)});
        if (hits.size() == limit) break;
    }
    return hits;
}

Result<std::vector<HybridHit>> ExactVectorIndex::hybrid_search(const HybridQuery& query) const {
    const auto* weighted = std::get_if<fusions::Weighted>(&query.fusion);
    const bool vector_side = !weighted || weighted->vector_weight > 0.0f;
    const bool keyword_side = !weighted || weighted->keyword_weight > 0.0f;
    if (vector_side && query.embedding.size() != retrieval_.dimension) {
        return errors::DimensionMismatch{retrieval_.dimension, query.embedding.size()};
    }
    if (query.limit == 0) return std::vector<HybridHit>{};
    if (auto valid = validate_hybrid_fusion(query.fusion); !valid) return std::move(valid).error();

    std::vector<SearchHit> vector_hits;
    if (vector_side) {
        auto found = search_vector_candidates(query.embedding, query.vector_candidates, query.filter);
        if (!found) return std::move(found).error();
        vector_hits = std::move(found).value();
    }
    std::vector<KeywordHit> keyword_hits;
    if (keyword_side) {
        auto found = keyword_search_candidates(query.text, query.keyword_candidates, query.filter);
        if (!found) return std::move(found).error();
        keyword_hits = std::move(found).value();
    }

    std::map<std::uint64_t, HybridCandidate> merged;
    for (std::size_t i = 0; i < vector_hits.size(); ++i) {
        SearchHit& hit = vector_hits[i];
        HybridCandidate& candidate = merged[hit.chunk_id];
        candidate.chunk_id = hit.chunk_id;
        candidate.document_id = std::move(hit.document_id);
        candidate.vector_score = hit.score;
        candidate.vector_rank = i + 1;
    }
    for (std::size_t i = 0; i < keyword_hits.size(); ++i) {
        KeywordHit& hit = keyword_hits[i];
        HybridCandidate& candidate = merged[hit.chunk_id];
        candidate.chunk_id = hit.chunk_id;
        candidate.document_id = std::move(hit.document_id);
        candidate.keyword_score = hit.score;
        candidate.keyword_rank = i + 1;
        candidate.matched_terms = std::move(hit.matched_terms);
    }
    std::vector<HybridCandidate> candidates;
    candidates.reserve(merged.size());
    for (auto& [chunk_id, candidate] : merged) candidates.push_back(std::move(candidate));
    if (auto scored = score_hybrid_candidates(candidates, query.fusion); !scored) return std::move(scored).error();
    std::sort(candidates.begin(), candidates.end(), compare_hybrid_candidates);

    std::vector<HybridHit> hits;
    for (std::size_t i = 0; i < candidates.size() && i < query.limit; ++i) {
        HybridCandidate& candidate = candidates[i];
        // A chunk gone stale between the lists and here is dropped, not replaced.
        const auto offset = corpus_.chunk_offsets().get(candidate.chunk_id);
        if (!offset || *offset >= corpus_.size() || corpus_.deleted(*offset)) continue;
        hits.push_back(HybridHit{std::move(candidate.document_id), candidate.chunk_id, candidate.fused_score,
                                 candidate.vector_score, candidate.keyword_score,
                                 HybridTrace{candidate.vector_rank, candidate.keyword_rank,
                                             candidate.normalized_vector_score, candidate.normalized_keyword_score,
                                             std::move(candidate.matched_terms), query.fusion}});
    }
    return hits;
}

std::size_t ExactVectorIndex::delete_document(const std::string& document_id) {
    auto record_id = RecordId::create(document_id);
    return delete_record_by_id(document_id,
                               record_id ? std::optional<RecordId>(std::move(record_id).value()) : std::nullopt);
}

std::size_t ExactVectorIndex::delete_record_by_id(const std::string& id, const std::optional<RecordId>& record_id) {
    const auto slot = corpus_.find_record(id);
    if (!slot) return 0;
    // Tombstoning drops the chunks' identities with them: a live chunk is what an identity names.
    const std::size_t count = tombstone_record(*slot);
    const bool removed = record_id && corpus_.erase_record(*slot);
    if (count > 0 || removed) corpus_.bump_generation();
    return count;
}

Result<CompactionReport> ExactVectorIndex::compact() {
    const std::size_t before_count = corpus_.size();
    const std::uint64_t before = size_estimate().total();
    if (tombstoned_chunk_count() == 0) {
        return CompactionReport{before_count, before_count, 0, static_cast<std::size_t>(before),
                                static_cast<std::size_t>(before), 0};
    }
    const std::vector<std::size_t> rows = corpus_.active_offsets().to_vector();
    for (std::size_t offset : rows) {
        if (offset >= corpus_.size()) {
            return errors::InvalidFormat{"active chunk offset " + std::to_string(offset) +
                                         " is unavailable during compaction; reload the index from its last saved "
                                         "snapshot before retrying"};
        }
    }
    auto store = retrieval_.store.select_rows(rows, retrieval_.dimension);
    if (!store) return std::move(store).error();
    // Everything is built aside and swapped in at the end.
    MetadataFilterIndex metadata_index;
    std::optional<Bm25Index> bm25;
    if (retrieval_.bm25) bm25.emplace(retrieval_.bm25->config());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        metadata_index.insert(i, corpus_.metadata(rows[i]));
        if (bm25) bm25->add_chunk(corpus_.chunk_id(rows[i]), corpus_.text(rows[i]), true);
    }
    corpus_.keep_rows(rows);
    retrieval_.store = std::move(store).value();
    retrieval_.metadata_index = std::move(metadata_index);
    retrieval_.bm25 = std::move(bm25);
    corpus_.bump_generation();
    const std::uint64_t after = size_estimate().total();
    const std::size_t after_count = corpus_.size();
    return CompactionReport{before_count, after_count, before_count - after_count, static_cast<std::size_t>(before),
                            static_cast<std::size_t>(after), static_cast<std::size_t>(before > after ? before - after : 0)};
}

IndexSizeEstimate ExactVectorIndex::size_estimate() const noexcept {
    IndexSizeEstimate estimate;
    const std::uint64_t n = corpus_.size();
    const CorpusState::PayloadBytes payload = corpus_.payload_bytes();
    estimate.vectors = retrieval_.store.estimated_payload_bytes();
    estimate.chunk_ids = saturating_mul(n, 8);
    estimate.document_ids = payload.document_ids;
    estimate.texts = payload.texts;
    estimate.metadata = payload.metadata;
    estimate.tombstone_flags = n;
    estimate.generations = saturating_mul(n, 8);
    estimate.offsets = saturating_add(saturating_mul(corpus_.chunk_offsets().length(), 16),
                                      saturating_mul(corpus_.active_offsets().size(), 8));
    estimate.bm25 = retrieval_.bm25 ? retrieval_.bm25->estimated_payload_bytes() : 0;
    estimate.metadata_index = retrieval_.metadata_index.estimated_payload_bytes();
    estimate.records = payload.records;
    estimate.chunk_identities = payload.chunk_identities;
    return estimate;
}

}  // namespace tessarin
