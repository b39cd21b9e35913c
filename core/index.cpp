#include "core/index.h"

#include <algorithm>  // std::push_heap, std::pop_heap, std::sort
#include <bit>        // std::bit_cast
#include <set>        // std::set

#include "core/text.h"

namespace tessarin {
namespace {

RecordValue record_value_of(const MetadataValue& value) {
    switch (value.kind()) {
        case MetadataKind::String: return RecordValue::string(value.as_string());
        case MetadataKind::Integer: return RecordValue::i64(value.as_integer());
        case MetadataKind::Float: return RecordValue::f64(value.as_float());
        case MetadataKind::Boolean: return RecordValue::boolean(value.as_boolean());
        case MetadataKind::TimestampMillis: return RecordValue::i64(value.as_timestamp_millis());
    }
    return RecordValue();
}

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
    CorpusIndex corpus;
    corpus.corpus_id = CorpusId::from_trusted(corpus_id);
    corpus.record_store = RecordStore{CorpusId::from_trusted(std::move(corpus_id)), {}};
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
    return upsert_record(std::move(record), document.metadata, inputs);
}

Result<std::vector<std::uint64_t>> ExactVectorIndex::upsert_record(Record record,
                                                                   const MetadataMap& projected_metadata,
                                                                   const std::vector<RecordChunkInput>& chunks) {
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
    const std::string& id = record.id.str();
    auto known = corpus_.record_generations.find(id);
    const std::uint64_t generation = known == corpus_.record_generations.end() ? 1 : saturating_add(known->second, 1);
    tombstone_document(id);
    corpus_.remove_chunk_identities_for_record(record.id);

    std::vector<std::uint64_t> chunk_ids;
    chunk_ids.reserve(chunks.size());
    auto& live = live_offsets_by_document_[id];
    for (const RecordChunkInput& input : chunks) {
        const std::size_t offset = corpus_.chunks.size();
        const std::uint64_t chunk_id = corpus_.next_chunk_id;
        corpus_.next_chunk_id = saturating_add(chunk_id, 1);
        chunk_ids.push_back(chunk_id);
        if (retrieval_.bm25) retrieval_.bm25->add_chunk(chunk_id, input.text, true);
        corpus_.chunk_offsets.set(chunk_id, offset, corpus_.dense_id_limit());
        push_embedding(input.embedding);
        MetadataMap metadata = overlay_metadata(projected_metadata, input.metadata);
        ChunkIdentity identity{record.id, input.key};
        corpus_.identity_to_chunk.insert_or_assign(identity, chunk_id);
        corpus_.chunk_to_identity.insert_or_assign(chunk_id, std::move(identity));
        corpus_.active_offsets.insert(offset);
        retrieval_.metadata_index.insert(offset, metadata);
        corpus_.chunks.push_back(StoredChunk{id, input.text, chunk_id, std::move(metadata), generation, false});
        live.push_back(offset);
    }
    if (live.empty()) live_offsets_by_document_.erase(id);
    corpus_.record_generations.insert_or_assign(id, generation);
    // Validated in the first step, so it is stored directly.
    RecordId key = record.id;
    corpus_.record_store.records.insert_or_assign(std::move(key), std::move(record));
    corpus_.generation = saturating_add(corpus_.generation, 1);
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

std::size_t ExactVectorIndex::tombstone_document(const std::string& document_id) {
    auto found = live_offsets_by_document_.find(document_id);
    if (found == live_offsets_by_document_.end()) return 0;
    const std::vector<std::size_t> offsets = std::move(found->second);
    live_offsets_by_document_.erase(found);
    for (std::size_t offset : offsets) {  // ascending: offset order
        StoredChunk& stored = corpus_.chunks[offset];
        retrieval_.metadata_index.remove(offset, stored.metadata);
        stored.deleted = true;
        if (retrieval_.bm25) retrieval_.bm25->deactivate_chunk(stored.chunk_id, stored.text);
        corpus_.active_offsets.erase(offset);
    }
    return offsets.size();
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
    const OffsetSet& scope = narrowed ? *narrowed : corpus_.active_offsets;
    const auto& chunks = corpus_.chunks;
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
        if (top.could_enter(score)) top.offer({score, chunks[row].chunk_id, row});
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
    if (!filter && scope.size() == chunks.size()) {
        // No tombstones: every row is live, so score them in contiguous runs.
        for (std::size_t first = 0; first < chunks.size(); first += batch_size) {
            pending = std::min(batch_size, chunks.size() - first);
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
            if (offset >= chunks.size()) return;
            rows[pending++] = offset;
            if (pending == batch_size) flush();
        });
    } else {
        scope.for_each([&](std::size_t offset) {
            if (failure || offset >= chunks.size() || chunks[offset].deleted) return;
            auto matched = matches(*filter, chunks[offset].metadata);
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
        if (candidate.offset >= chunks.size()) continue;
        hits.push_back(SearchHit{chunks[candidate.offset].document_id, candidate.chunk_id, candidate.score,
                                 candidate.score});
    }
    return hits;
}

std::size_t ExactVectorIndex::delete_document(const std::string& document_id) {
    auto record_id = RecordId::create(document_id);
    return delete_record_by_id(document_id,
                               record_id ? std::optional<RecordId>(std::move(record_id).value()) : std::nullopt);
}

std::size_t ExactVectorIndex::delete_record_by_id(const std::string& id, const std::optional<RecordId>& record_id) {
    const std::size_t count = tombstone_document(id);
    bool removed = false;
    if (record_id) {
        removed = corpus_.record_store.records.erase(*record_id) > 0;
        corpus_.remove_chunk_identities_for_record(*record_id);
    }
    if (count > 0 || removed) corpus_.generation = saturating_add(corpus_.generation, 1);
    return count;
}

std::size_t ExactVectorIndex::tombstoned_chunk_count() const noexcept {
    std::size_t count = 0;
    for (const StoredChunk& stored : corpus_.chunks) count += stored.deleted ? 1 : 0;
    return count;
}

Result<CompactionReport> ExactVectorIndex::compact() {
    const std::size_t before_count = corpus_.chunks.size();
    const std::uint64_t before = size_estimate().total();
    if (tombstoned_chunk_count() == 0) {
        return CompactionReport{before_count, before_count, 0, static_cast<std::size_t>(before),
                                static_cast<std::size_t>(before), 0};
    }
    const std::vector<std::size_t> rows = corpus_.active_offsets.to_vector();
    auto store = retrieval_.store.select_rows(rows, retrieval_.dimension);
    if (!store) return std::move(store).error();
    std::vector<StoredChunk> chunks;
    chunks.reserve(rows.size());
    for (std::size_t offset : rows) {
        if (offset >= corpus_.chunks.size()) {
            return errors::InvalidFormat{"active chunk offset " + std::to_string(offset) +
                                         " is unavailable during compaction; reload the index from its last saved "
                                         "snapshot before retrying"};
        }
        chunks.push_back(corpus_.chunks[offset]);
    }
    // Everything is built aside and swapped in at the end.
    ChunkOffsetTable offsets;
    MetadataFilterIndex metadata_index;
    std::optional<Bm25Index> bm25;
    if (retrieval_.bm25) bm25.emplace(retrieval_.bm25->config());
    std::unordered_map<std::string, std::vector<std::size_t>> live;
    std::vector<std::size_t> active(chunks.size());
    const std::uint64_t limit = CorpusIndex::dense_id_limit(chunks.size());
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const StoredChunk& stored = chunks[i];
        offsets.set(stored.chunk_id, i, limit);
        metadata_index.insert(i, stored.metadata);
        if (bm25) bm25->add_chunk(stored.chunk_id, stored.text, true);
        live[stored.document_id].push_back(i);
        active[i] = i;
    }
    retrieval_.store = std::move(store).value();
    corpus_.chunks = std::move(chunks);
    corpus_.chunk_offsets = std::move(offsets);
    corpus_.active_offsets = OffsetSet::from_sorted(active);
    retrieval_.metadata_index = std::move(metadata_index);
    retrieval_.bm25 = std::move(bm25);
    live_offsets_by_document_ = std::move(live);
    corpus_.generation = saturating_add(corpus_.generation, 1);
    const std::uint64_t after = size_estimate().total();
    const std::size_t after_count = corpus_.chunks.size();
    return CompactionReport{before_count, after_count, before_count - after_count, static_cast<std::size_t>(before),
                            static_cast<std::size_t>(after), static_cast<std::size_t>(before > after ? before - after : 0)};
}

IndexSizeEstimate ExactVectorIndex::size_estimate() const noexcept {
    IndexSizeEstimate estimate;
    const std::uint64_t n = corpus_.chunks.size();
    estimate.vectors = retrieval_.store.estimated_payload_bytes();
    estimate.chunk_ids = saturating_mul(n, 8);
    for (const StoredChunk& stored : corpus_.chunks) {
        estimate.document_ids = saturating_add(estimate.document_ids, stored.document_id.size());
        estimate.texts = saturating_add(estimate.texts, stored.text.size());
        estimate.metadata = saturating_add(estimate.metadata, estimated_metadata_payload_bytes(stored.metadata));
    }
    estimate.tombstone_flags = n;
    estimate.generations = saturating_mul(n, 8);
    estimate.offsets = saturating_add(saturating_mul(corpus_.chunk_offsets.length(), 16),
                                      saturating_mul(corpus_.active_offsets.size(), 8));
    estimate.bm25 = retrieval_.bm25 ? retrieval_.bm25->estimated_payload_bytes() : 0;
    estimate.metadata_index = retrieval_.metadata_index.estimated_payload_bytes();
    estimate.records = RecordStore::estimated_payload_bytes(corpus_.record_store);
    std::uint64_t identities = 0;
    for (const auto& [identity, chunk_id] : corpus_.identity_to_chunk) {
        identities = saturating_add(identities, identity.record_id.str().size() + identity.chunk_key.str().size() + 8);
    }
    estimate.chunk_identities = saturating_mul(identities, 2);
    return estimate;
}

}  // namespace tessarin
