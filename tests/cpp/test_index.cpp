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
    EXPECT_EQ(index.corpus().record_generations.at("a"), 1u);
    EXPECT_EQ(index.upsert_document(doc("a"), {chunk({1, 1})}).value(), (Ids{2}));
    EXPECT_EQ(index.total_chunk_count(), 3u);
    EXPECT_EQ(index.active_chunk_count(), 1u);
    EXPECT_EQ(index.tombstoned_chunk_count(), 2u);
    EXPECT_EQ(index.chunk(2)->generation, 2u);
    ASSERT_NE(index.chunk(0), nullptr);
    EXPECT_TRUE(index.chunk(0)->deleted);
    EXPECT_EQ(index.chunk(99), nullptr);
    EXPECT_TRUE(index.corpus().validate());

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
    EXPECT_EQ(index.chunk(0), nullptr);
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
    EXPECT_TRUE(index.corpus().record_store.records.empty());
    EXPECT_TRUE(index.corpus().validate());
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
    EXPECT_EQ(index.corpus().record_store.records.size(), 1u);
    EXPECT_TRUE(index.corpus().validate());
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
                const StoredChunk& c = index.corpus().chunks[o];
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
        EXPECT_TRUE(index.corpus().validate());
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
