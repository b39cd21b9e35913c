#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "core/index.h"

namespace tessarin {
namespace {

// The stores keep their rows with their own allocator; compare the elements.
template <typename T, typename A>
std::vector<T> plain(const std::vector<T, A>& v) {
    return {v.begin(), v.end()};
}


using V = MetadataValue;
using Ids = std::vector<std::uint64_t>;

ExactVectorIndex make(std::size_t dimension, VectorEncoding encoding = VectorEncoding::F32,
                      VectorMetric metric = VectorMetric::DotProduct) {
    return ExactVectorIndex::try_with_config({dimension, metric, encoding}).value();
}

ChunkInput chunk(std::vector<float> embedding, std::string text = "text", MetadataMap metadata = {}) {
    return ChunkInput{std::move(text), std::move(embedding), std::move(metadata)};
}

Document doc(std::string id, MetadataMap metadata = {}) { return Document{std::move(id), "", std::move(metadata)}; }

std::vector<std::pair<std::uint64_t, float>> results(const Result<std::vector<SearchHit>>& hits) {
    std::vector<std::pair<std::uint64_t, float>> out;
    for (const SearchHit& hit : hits.value()) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(hit.score), std::bit_cast<std::uint32_t>(hit.vector_score));
        out.emplace_back(hit.chunk_id, hit.score);
    }
    return out;
}

TEST(ExactVectorIndex, UpsertReplaceDeleteAndCompact) {
    ExactVectorIndex index = make(2);
    EXPECT_EQ(index.total_chunk_count() + index.active_chunk_count() + index.tombstoned_chunk_count(), 0u);
    EXPECT_EQ(index.generation(), 0u);
    EXPECT_EQ(index.upsert_document(doc("a"), {chunk({1, 0}), chunk({0, 1})}).value(), (Ids{0, 1}));
    EXPECT_EQ(index.generation(), 1u);
    EXPECT_EQ(index.corpus().record_generation("a").value(), 1u);
    EXPECT_EQ(index.upsert_document(doc("a"), {chunk({1, 1})}).value(), (Ids{2}));
    EXPECT_EQ(index.total_chunk_count(), 3u);
    EXPECT_EQ(index.active_chunk_count(), 1u);
    EXPECT_EQ(index.tombstoned_chunk_count(), 2u);
    EXPECT_EQ(index.chunk(2)->generation, 2u);
    ASSERT_TRUE(index.chunk(0));
    EXPECT_TRUE(index.chunk(0)->deleted);
    EXPECT_FALSE(index.chunk(99));
    EXPECT_TRUE(index.validate_record_state());

    // A failing upsert changes nothing, and the previous chunks stay live.
    auto failed = index.upsert_document(doc("a"), {chunk({1, 0, 0})});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().display(),
              "invalid vector dimension: expected 2, got 3; use the same embedding model for indexing and queries");
    EXPECT_EQ(index.active_chunk_count(), 1u);
    EXPECT_EQ(index.generation(), 2u);

    auto report = index.compact().value();
    EXPECT_EQ(report.chunks_before, 3u);
    EXPECT_EQ(report.chunks_after, 1u);
    EXPECT_EQ(report.chunks_removed, 2u);
    EXPECT_GT(report.estimated_bytes_reclaimed, 0u);
    EXPECT_FALSE(index.chunk(0));
    EXPECT_EQ(index.chunk(2)->chunk_id, 2u);
    EXPECT_EQ(results(index.search_vector_candidates(std::vector<float>{1, 1}, 5, std::nullopt)),
              (std::vector<std::pair<std::uint64_t, float>>{{2, 2.0f}}));
    const auto generation = index.generation();
    EXPECT_EQ(index.compact().value().chunks_removed, 0u);
    EXPECT_EQ(index.generation(), generation);

    EXPECT_EQ(index.delete_document("missing"), 0u);
    EXPECT_EQ(index.generation(), generation);
    EXPECT_EQ(index.delete_document("a"), 1u);
    EXPECT_EQ(index.delete_document("a"), 0u);
    EXPECT_EQ(index.active_chunk_count(), 0u);
    EXPECT_TRUE(index.corpus().record_count() == 0);
    EXPECT_TRUE(index.validate_record_state());
    // Upserting again after deletion continues the record generation and the ids.
    EXPECT_EQ(index.upsert_document(doc("a"), {chunk({0, 1})}).value(), (Ids{3}));
    EXPECT_EQ(index.chunk(3)->generation, 3u);
}

TEST(ExactVectorIndex, UpsertChecksInOrder) {
    ExactVectorIndex index = make(2);
    EXPECT_EQ(index.upsert_document(doc(""), {chunk({1})}).error().kind(), ErrorKind::InvalidIdentity);
    EXPECT_EQ(index.upsert_document(doc("d", {{"1abc", V::integer(1)}}), {}).error().display(),
              "invalid FieldName '1abc': must match [A-Za-z_][A-Za-z0-9_]{0,63}");
    // Chunk metadata keys are not field names and are accepted.
    EXPECT_TRUE(index.upsert_document(doc("d"), {chunk({1, 0}, "t", {{"1abc", V::integer(1)}})}));
    EXPECT_EQ(index.upsert_document(doc("d", {{"x", V::floating(NAN)}}), {}).error().kind(),
              ErrorKind::InvalidRecordValue);
    Record record{RecordId::from_trusted("r"), RecordType::from_trusted("T"), {}, std::nullopt};
    std::vector<RecordChunkInput> twice = {{ChunkKey::from_trusted("k"), "a", {1, 0}, {}},
                                           {ChunkKey::from_trusted("k"), "b", {0, 1}, {}}};
    EXPECT_EQ(index.upsert_record(record, {}, twice).error().display(),
              "invalid ChunkKey 'k': must be unique within one record generation");
    EXPECT_EQ(index.total_chunk_count(), 1u);
    // No chunks: the old ones are tombstoned and the record is stored.
    EXPECT_EQ(index.upsert_document(doc("d"), {}).value(), Ids{});
    EXPECT_EQ(index.active_chunk_count(), 0u);
    EXPECT_EQ(index.corpus().record_count(), 1u);
    EXPECT_TRUE(index.validate_record_state());
}

TEST(ExactVectorIndex, MetadataLayersAndCosineScaling) {
    ExactVectorIndex index = make(2, VectorEncoding::F32, VectorMetric::Cosine);
    index.upsert_document(doc("a", {{"a", V::integer(1)}, {"b", V::integer(2)}}),
                          {chunk({3, 4}, "t", {{"b", V::integer(3)}}), chunk({0, 0})})
        .value();
    EXPECT_EQ(index.chunk(0)->metadata, (MetadataMap{{"a", V::integer(1)}, {"b", V::integer(3)}}));
    const auto& rows = std::get<EncodedVectorStore::F32>(index.retrieval().store.variant()).values;
    EXPECT_EQ(plain(rows), (std::vector<float>{0.6f, 0.8f, 0.0f, 0.0f}));
}

TEST(ExactVectorIndex, SearchOrderingLimitsAndFilters) {
    ExactVectorIndex index = make(1);
    // Equal scores come back by ascending chunk id whatever their offsets.
    index.upsert_document(doc("x"), {chunk({1}, "t", {{"k", V::string("a")}})}).value();  // id 0
    index.upsert_document(doc("y"), {chunk({2}, "t", {{"k", V::string("b")}})}).value();  // id 1
    index.upsert_document(doc("z"), {chunk({1}, "t", {{"k", V::string("a")}})}).value();  // id 2
    index.upsert_document(doc("w"), {chunk({0}, "t", {{"n", V::integer(4)}})}).value();   // id 3
    using R = std::vector<std::pair<std::uint64_t, float>>;
    EXPECT_EQ(results(index.search_vector_candidates(std::vector<float>{1}, 3, std::nullopt)),
              (R{{1, 2.0f}, {0, 1.0f}, {2, 1.0f}}));
    EXPECT_EQ(results(index.search_vector_candidates(std::vector<float>{1}, 10, std::nullopt)).size(), 4u);
    EXPECT_TRUE(index.search_vector_candidates(std::vector<float>{1}, 0, std::nullopt).value().empty());
    EXPECT_EQ(index.search_vector_candidates(std::vector<float>{1}, SIZE_MAX, std::nullopt).value().size(), 4u);
    // +0.0 ranks above -0.0.
    EXPECT_EQ(results(index.search_vector_candidates(std::vector<float>{-1}, 4, std::nullopt)).front().first, 3u);

    Filter only_a{filters::Equals{"k", V::string("a")}};
    EXPECT_EQ(results(index.search_vector_candidates(std::vector<float>{1}, 5, only_a)), (R{{0, 1.0f}, {2, 1.0f}}));
    Filter nothing{filters::In{"k", {}}};
    EXPECT_TRUE(index.search_vector_candidates(std::vector<float>{1}, 5, nothing).value().empty());
    // A filter the index cannot narrow falls back to every live chunk and still matches.
    Filter unnarrowed{filters::Range{"n", V::floating(-INFINITY), std::nullopt}};
    EXPECT_EQ(results(index.search_vector_candidates(std::vector<float>{1}, 5, unnarrowed)), (R{{3, 0.0f}}));
    Filter bad{filters::Range{"n", V::string("a"), std::nullopt}};
    EXPECT_EQ(index.search_vector_candidates(std::vector<float>{1}, 5, bad).error().kind(),
              ErrorKind::InvalidRangeFilter);
    EXPECT_TRUE(index.search_vector_candidates(std::vector<float>{1}, 0, bad));  // limit 0: nothing examined
    EXPECT_EQ(index.search_vector_candidates(std::vector<float>{1, 2}, 0, std::nullopt).error().kind(),
              ErrorKind::DimensionMismatch);
    // Replaced chunks never appear.
    index.upsert_document(doc("y"), {chunk({-5})}).value();
    EXPECT_EQ(results(index.search_vector_candidates(std::vector<float>{1}, 1, std::nullopt)).front().first, 0u);
}

// Every encoding, filtered or not, gives exactly the ranking of scoring each live
// chunk one by one.
TEST(ExactVectorIndex, SearchEqualsOneByOneScoring) {
    std::mt19937_64 rng(9);
    std::normal_distribution<float> normal;
    for (auto encoding : {VectorEncoding::F32, VectorEncoding::F16, VectorEncoding::BF16,
                          VectorEncoding::I8ScalarQuantized}) {
        ExactVectorIndex index = make(17, encoding, VectorMetric::Cosine);
        for (int d = 0; d < 300; ++d) {
            std::vector<ChunkInput> chunks;
            for (int c = 0; c < 3; ++c) {
                std::vector<float> e(17);
                for (float& x : e) x = normal(rng);
                chunks.push_back(chunk(e, "t", {{"g", V::integer(static_cast<std::int64_t>(rng() % 7))}}));
            }
            index.upsert_document(doc(std::string("d").append(std::to_string(rng() % 250))), chunks).value();
        }
        std::vector<float> q(17);
        for (float& x : q) x = normal(rng);
        auto encoded = encode_query_embedding(VectorMetric::Cosine, encoding, q).value();
        Filter filter{filters::In{"g", {V::integer(1), V::integer(4)}}};
        for (bool filtered : {false, true}) {
            std::vector<std::pair<std::uint64_t, float>> expected;
            for (std::size_t o = 0; o < index.total_chunk_count(); ++o) {
                const ChunkView c = index.corpus().view(o);
                if (c.deleted || (filtered && !matches(filter, c.metadata).value())) continue;
                expected.emplace_back(c.chunk_id, *index.retrieval().store.score_at(encoded, o, 17));
            }
            std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
                return compare_scores(a.second, a.first, b.second, b.first);
            });
            expected.resize(std::min<std::size_t>(expected.size(), 25));
            auto got = results(index.search_vector_candidates(q, 25, filtered ? std::optional<Filter>(filter)
                                                                              : std::nullopt));
            ASSERT_EQ(got, expected) << vector_encoding_name(encoding) << (filtered ? " filtered" : "");
        }
        EXPECT_TRUE(index.validate_record_state());
    }
}

TEST(ExactVectorIndex, ConstructionAndEstimates) {
    auto binary = ExactVectorIndex::try_with_config({4, VectorMetric::Cosine, VectorEncoding::BinaryQuantized});
    ASSERT_FALSE(binary);
    EXPECT_EQ(binary.error().display(), "unsupported vector encoding 'BinaryQuantized'");
    ExactVectorIndex empty = make(0);
    const IndexSizeEstimate estimate = empty.size_estimate();
    EXPECT_EQ(estimate.total(), estimate.records);
    EXPECT_EQ(estimate.records, 7u);  // the corpus id "default"
    EXPECT_TRUE(empty.retrieval().require_bm25());
}

// What a save writes about records and identities, read back from the compact state.
TEST(CorpusState, RecordsIdentitiesAndEstimateFromTheirParts) {
    ExactVectorIndex index = make(1);
    const MetadataMap metadata{{"k", V::integer(5)}, {"t", V::timestamp_millis(-7)}, {"z", V::floating(-0.0)}};
    std::vector<ChunkInput> chunks;
    for (int i = 0; i < 11; ++i) chunks.push_back(chunk({1}, "xy"));
    index.upsert_document(Document{"ab", "body", metadata}, chunks).value();
    Record general{RecordId::from_trusted("r"), RecordType::from_trusted("Note"),
                   {{FieldName::from_trusted("n"), RecordValue::string("v")}}, std::nullopt};
    // Keys that only look like ordinals keep their exact text.
    std::vector<RecordChunkInput> keyed = {{ChunkKey::from_trusted("ordinal-01"), "a", {1}, {}},
                                           {ChunkKey::from_trusted("ordinal-2147483648"), "b", {1}, {}},
                                           {ChunkKey::from_trusted("ordinal-3"), "c", {1}, {{"m", V::boolean(true)}}}};
    index.upsert_record(general, {{"p", V::string("q")}}, keyed).value();

    const Record document = index.corpus().record("ab").value();
    EXPECT_EQ(document.record_type.str(), "Document");
    EXPECT_EQ(document.content, std::optional<std::string>("body"));
    EXPECT_EQ(document.fields.size(), 3u);
    EXPECT_EQ(document.fields.at(FieldName::from_trusted("t")), RecordValue::i64(-7));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(document.fields.at(FieldName::from_trusted("z")).as_f64()),
              std::bit_cast<std::uint64_t>(-0.0));
    EXPECT_EQ(index.corpus().record("r"), general);
    EXPECT_FALSE(index.corpus().record("missing"));
    EXPECT_EQ(index.corpus().record_store().records.size(), 2u);

    std::vector<std::string> names;
    for (const auto& [identity, chunk_id] : index.corpus().chunk_identities()) {
        names.push_back(identity.record_id.str() + "/" + identity.chunk_key.str() + "=" + std::to_string(chunk_id));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"ab/ordinal-0=0", "ab/ordinal-1=1", "ab/ordinal-10=10", "ab/ordinal-2=2",
                                               "ab/ordinal-3=3", "ab/ordinal-4=4", "ab/ordinal-5=5", "ab/ordinal-6=6",
                                               "ab/ordinal-7=7", "ab/ordinal-8=8", "ab/ordinal-9=9",
                                               "r/ordinal-01=11", "r/ordinal-2147483648=12", "r/ordinal-3=13"}));
    EXPECT_EQ(index.chunk(13)->metadata, (MetadataMap{{"m", V::boolean(true)}, {"p", V::string("q")}}));
    EXPECT_EQ(index.chunk(12)->metadata, (MetadataMap{{"p", V::string("q")}}));

    const IndexSizeEstimate estimate = index.size_estimate();
    EXPECT_EQ(estimate.document_ids, 11u * 2 + 3 * 1);
    EXPECT_EQ(estimate.texts, 11u * 2 + 3);
    // k: 1 + 8, t: 1 + 8, z: 1 + 8 per document chunk; p: 1 + 1, and m: 1 + 1 once.
    EXPECT_EQ(estimate.metadata, 11u * 27 + 3 * 2 + 2);
    EXPECT_EQ(estimate.records, 7u + (2 + 8 + 4 + 27) + (1 + 4 + 1 + 1));
    std::uint64_t identities = 0;
    for (const auto& [identity, chunk_id] : index.corpus().chunk_identities()) {
        identities += identity.record_id.str().size() + identity.chunk_key.str().size() + 8;
    }
    EXPECT_EQ(estimate.chunk_identities, 2 * identities);
    EXPECT_TRUE(index.validate_record_state());

    // Replacing the general record with a document drops its identities and body.
    index.upsert_document(doc("r"), {chunk({1})}).value();
    EXPECT_EQ(index.corpus().record("r")->record_type.str(), "Document");
    EXPECT_EQ(index.corpus().chunk_identities().back().first.chunk_key.str(), "ordinal-0");
    EXPECT_EQ(index.corpus().chunk_identities().size(), 12u);
    EXPECT_EQ(index.delete_document("r"), 1u);
    EXPECT_FALSE(index.corpus().record("r"));
    EXPECT_EQ(index.corpus().record_generation("r"), 2u);
    EXPECT_EQ(index.compact().value().chunks_after, 11u);
    EXPECT_EQ(index.corpus().chunk_identities().size(), 11u);
    EXPECT_EQ(index.corpus().record("ab")->content, std::optional<std::string>("body"));
    EXPECT_TRUE(index.validate_record_state());
}

// Chunks share one metadata map only when the maps are identical bit for bit.
TEST(CorpusState, SharedMetadataKeepsEveryRepresentation) {
    ExactVectorIndex index = make(1);
    index.upsert_document(doc("a", {{"x", V::floating(0.0)}}), {chunk({1}), chunk({1})}).value();
    index.upsert_document(doc("b", {{"x", V::floating(-0.0)}}), {chunk({1})}).value();
    index.upsert_document(doc("c", {{"x", V::timestamp_millis(0)}}), {chunk({1})}).value();
    index.upsert_document(doc("d", {{"x", V::integer(0)}}), {chunk({1})}).value();
    EXPECT_EQ(&index.chunk(0)->metadata, &index.chunk(1)->metadata);
    EXPECT_FALSE(std::signbit(index.chunk(0)->metadata.at("x").as_float()));
    EXPECT_TRUE(std::signbit(index.chunk(2)->metadata.at("x").as_float()));
    EXPECT_EQ(index.chunk(3)->metadata.at("x").kind(), MetadataKind::TimestampMillis);
    EXPECT_EQ(index.chunk(4)->metadata.at("x").kind(), MetadataKind::Integer);
    // A map whose last user is compacted away is freed and its place reused without
    // disturbing the others.
    index.delete_document("b");
    index.compact().value();
    index.upsert_document(doc("e", {{"x", V::string("s")}}), {chunk({1})}).value();
    EXPECT_EQ(index.chunk(5)->metadata.at("x"), V::string("s"));
    EXPECT_EQ(index.chunk(0)->metadata.at("x"), V::floating(0.0));
    EXPECT_EQ(index.chunk(3)->metadata.at("x").kind(), MetadataKind::TimestampMillis);
}

// A record's live chunks are found without a scan, adjacent or not.
TEST(CorpusState, LiveChunksOfARecordAdjacentOrScattered) {
    CorpusState state(CorpusId::from_trusted("c"));
    const auto a = state.intern_record("a"), b = state.intern_record("b");
    EXPECT_EQ(state.intern_record("a"), a);
    const MetadataPool::Id none = state.metadata_pool().acquire({});
    for (auto [slot, key] : {std::pair{a, "k0"}, {b, "k1"}, {a, "k2"}, {a, "k3"}, {b, "k4"}}) {
        state.append_chunk(slot, "t", none, 1, ChunkKey::from_trusted(key));
    }
    std::vector<std::size_t> visited;
    EXPECT_EQ(state.tombstone_record(a, [&](std::size_t offset) { visited.push_back(offset); }), 3u);
    EXPECT_EQ(visited, (std::vector<std::size_t>{0, 2, 3}));
    EXPECT_EQ(state.active_offsets().to_vector(), (std::vector<std::size_t>{1, 4}));
    EXPECT_EQ(state.tombstone_record(a, [](std::size_t) {}), 0u);
    state.append_chunk(a, "t", none, 2, ChunkKey::from_trusted("k5"));
    state.keep_rows({1, 4, 5});
    EXPECT_EQ(state.document_id(2), "a");
    EXPECT_EQ(state.chunk(5)->text, "t");
    visited.clear();
    EXPECT_EQ(state.tombstone_record(b, [&](std::size_t offset) { visited.push_back(offset); }), 2u);
    EXPECT_EQ(visited, (std::vector<std::size_t>{0, 1}));
    EXPECT_EQ(state.chunk_identities().size(), 1u);
    EXPECT_EQ(state.chunk_identities().front().second, 5u);
    state.metadata_pool().release(none);
}

TEST(CorpusIndex, RebuildAndChecks) {
    CorpusIndex corpus;
    auto stored = [](std::uint64_t id, const char* doc, std::uint64_t generation, bool deleted) {
        return StoredChunk{doc, "t", id, {}, generation, deleted};
    };
    corpus.chunks = {stored(0, "a", 1, false), stored(5, "a", 2, true), stored(2, "b", 1, false)};
    corpus.rebuild_offsets_and_versions();
    EXPECT_EQ(corpus.chunk_offsets.length(), 6u);
    EXPECT_EQ(corpus.chunk_offsets.get(5), 1u);
    EXPECT_EQ(corpus.chunk_offsets.get(2), 2u);
    EXPECT_FALSE(corpus.chunk_offsets.get(3));
    EXPECT_EQ(corpus.active_offsets.to_vector(), (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(corpus.next_chunk_id, 6u);
    EXPECT_EQ(corpus.record_generations.at("a"), 2u);
    EXPECT_TRUE(corpus.validate());

    // Huge ids stay sparse yet answer the same.
    corpus.chunks.push_back(stored(std::numeric_limits<std::uint64_t>::max() - 1, "c", 1, false));
    corpus.rebuild_offsets_and_versions();
    EXPECT_EQ(corpus.chunk_offsets.get(std::numeric_limits<std::uint64_t>::max() - 1), 3u);
    EXPECT_EQ(corpus.next_chunk_id, std::numeric_limits<std::uint64_t>::max());

    auto id = [](const char* r, const char* k) { return ChunkIdentity{RecordId::from_trusted(r), ChunkKey::from_trusted(k)}; };
    corpus.chunk_to_identity.emplace(0, id("a", "k"));
    EXPECT_EQ(corpus.validate().error().display(),
              "invalid index format: forward and reverse chunk identity mapping sizes differ");
    corpus.identity_to_chunk.emplace(id("a", "k"), 0);
    EXPECT_EQ(corpus.validate().error().display(),
              "invalid index format: chunk identity a/k references a missing canonical record");
    corpus.record_store.records.emplace(RecordId::from_trusted("a"), Record{RecordId::from_trusted("a"),
                                                                            RecordType::from_trusted("T"), {}, {}});
    EXPECT_TRUE(corpus.validate());
    corpus.identity_to_chunk.clear();
    corpus.identity_to_chunk.emplace(id("a", "k"), 5);
    EXPECT_EQ(corpus.validate().error().display(),
              "invalid index format: chunk identity a/k does not resolve to its active canonical record");
    corpus.identity_to_chunk.clear();
    corpus.identity_to_chunk.emplace(id("a", "k"), 77);
    EXPECT_EQ(corpus.validate().error().display(),
              "invalid index format: chunk identity a/k references unavailable internal chunk ID 77");
    corpus.record_store.corpus_id = CorpusId::from_trusted("other");
    EXPECT_EQ(corpus.validate().error().display(),
              "invalid index format: canonical record corpus does not match the index corpus");

    CorpusIndex maps;
    for (auto [r, k, c] : {std::tuple{"a", "k1", 1}, {"a", "k2", 2}, {"ab", "k1", 3}}) {
        maps.identity_to_chunk.emplace(id(r, k), c);
        maps.chunk_to_identity.emplace(c, id(r, k));
    }
    maps.remove_chunk_identities_for_record(RecordId::from_trusted("a"));
    EXPECT_EQ(maps.identity_to_chunk.size(), 1u);
    EXPECT_EQ(maps.chunk_to_identity.begin()->second, id("ab", "k1"));
}

}  // namespace
}  // namespace tessarin
