#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "core/index.h"

namespace tessarin {

// States a saved file can produce but the public operations cannot: no keyword
// state, or a chunk tombstoned behind the keyword index's back.
struct ExactVectorIndexTestAccess {
    static void drop_keyword_state(ExactVectorIndex& index) { index.retrieval_.bm25.reset(); }
    static void mark_deleted_only_in_corpus(ExactVectorIndex& index, std::uint64_t chunk_id) {
        index.corpus_.deleted_[*index.corpus_.chunk_offsets().get(chunk_id)] = 1;
    }
};

namespace {

using V = MetadataValue;
using Ids = std::vector<std::uint64_t>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Five one-chunk documents; "apple" ranks them 1, 4, 0, 3 (0 and 3 tie and go by id).
ExactVectorIndex fruit_index() {
    ExactVectorIndex index = ExactVectorIndex::try_with_config({1, VectorMetric::DotProduct, VectorEncoding::F32}).value();
    const std::vector<std::pair<std::string, std::string>> chunks = {
        {"apple banana", "a"}, {"apple apple apple", "b"}, {"banana", "a"}, {"apple cherry", "a"}, {"apple", "a"}};
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const float x = static_cast<float>(i);
        index.upsert_document(Document{"doc" + std::to_string(i), "",
                                       {{"k", V::string(chunks[i].second)},
                                        {"n", V::integer(static_cast<std::int64_t>(i))}}},
                              {ChunkInput{chunks[i].first, {x}, {}}})
            .value();
    }
    return index;
}

Ids keyword_ids(const Result<std::vector<KeywordHit>>& hits) {
    Ids ids;
    for (const KeywordHit& hit : hits.value()) ids.push_back(hit.chunk_id);
    return ids;
}

TEST(KeywordSearch, FiltersLimitsAndTheThreeWaysOfAskingBm25) {
    ExactVectorIndex index = fruit_index();
    const auto all = index.keyword_search_candidates("apple", 10, std::nullopt);
    EXPECT_EQ(keyword_ids(all), (Ids{1, 4, 0, 3}));
    const KeywordHit& first = all.value().front();
    EXPECT_EQ(first.document_id, "doc1");
    EXPECT_EQ(first.matched_terms, (std::vector<std::string>{"apple"}));
    EXPECT_EQ(bits(first.score),
              bits(index.retrieval().bm25->search_with_limit("apple", true, 1, nullptr).front().score));
    EXPECT_EQ(keyword_ids(index.keyword_search(KeywordQuery{"apple", std::nullopt, 2})), (Ids{1, 4}));
    EXPECT_TRUE(index.keyword_search_candidates("apple", 0, std::nullopt).value().empty());
    EXPECT_TRUE(index.keyword_search_candidates("", 10, std::nullopt).value().empty());

    // Narrowed by the metadata index: BM25 only scores the candidates.
    const Filter only_a{filters::Equals{"k", V::string("a")}};
    EXPECT_EQ(keyword_ids(index.keyword_search_candidates("apple", 2, only_a)), (Ids{4, 0}));
    // Not narrowable: every BM25 hit is filtered in order, so the limit still
    // yields two matches rather than the first two hits, one of which fails.
    // (An infinite bound cannot narrow; this keeps every chunk but the best one.)
    const Filter not_b{filters::Or{{Filter{filters::Range{"n", V::floating(-kInf), V::integer(0)}},
                                    Filter{filters::Range{"n", V::integer(2), std::nullopt}}}}};
    ASSERT_FALSE(index.retrieval().metadata_index.candidate_set(not_b).value().has_value());
    EXPECT_EQ(keyword_ids(index.keyword_search_candidates("apple", 2, not_b)), (Ids{4, 0}));

    const Filter bad_range{filters::Range{"k", V::string("x"), std::nullopt}};
    EXPECT_EQ(index.keyword_search_candidates("apple", 2, bad_range).error().kind(), ErrorKind::InvalidRangeFilter);

    // Deleted chunks never come back, even if the keyword index still had them.
    EXPECT_EQ(index.delete_document("doc4"), 1u);
    ExactVectorIndexTestAccess::mark_deleted_only_in_corpus(index, 1);
    EXPECT_EQ(keyword_ids(index.keyword_search_candidates("apple", 10, std::nullopt)), (Ids{0, 3}));
    EXPECT_EQ(keyword_ids(index.keyword_search_candidates("apple", 10, not_b)), (Ids{0, 3}));
    // Chunk 0 stays in the metadata and keyword indexes: the narrowed candidates
    // must leave it out, or it would take the only place of a limit of 1.
    ExactVectorIndexTestAccess::mark_deleted_only_in_corpus(index, 0);
    EXPECT_EQ(keyword_ids(index.keyword_search_candidates("apple", 1, only_a)), (Ids{3}));
}

TEST(KeywordSearch, WithoutKeywordState) {
    ExactVectorIndex index = fruit_index();
    ExactVectorIndexTestAccess::drop_keyword_state(index);
    const auto missing = index.keyword_search_candidates("apple", 10, std::nullopt);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(),
              "hybrid retrieval state is unavailable; rebuild or reload the database from its canonical corpus");
    // An empty candidate set ends the search before keyword state is needed.
    const Filter nothing{filters::In{"k", {}}};
    EXPECT_TRUE(index.keyword_search_candidates("apple", 10, nothing).value().empty());
    EXPECT_TRUE(index.keyword_search_candidates("apple", 0, std::nullopt).value().empty());
}

TEST(HybridFusion, Validation) {
    struct Case {
        HybridFusion fusion;
        const char* message;  // null: valid
    };
    const std::vector<Case> cases = {
        {fusions::ReciprocalRank{60.0f}, nullptr},
        {fusions::ReciprocalRank{0.0f}, "rrf_k must be finite and greater than zero"},
        {fusions::ReciprocalRank{-0.0f}, "rrf_k must be finite and greater than zero"},
        {fusions::ReciprocalRank{kNaN}, "rrf_k must be finite and greater than zero"},
        {fusions::ReciprocalRank{kInf}, "rrf_k must be finite and greater than zero"},
        {fusions::Weighted{0.6f, 0.4f}, nullptr},
        {fusions::Weighted{-0.0f, 1.0f}, nullptr},
        {fusions::Weighted{-1.0f, -1.0f}, "vector_weight must be finite and non-negative"},
        {fusions::Weighted{kNaN, 1.0f}, "vector_weight must be finite and non-negative"},
        {fusions::Weighted{1.0f, -0.5f}, "keyword_weight must be finite and non-negative"},
        {fusions::Weighted{1.0f, kInf}, "keyword_weight must be finite and non-negative"},
        {fusions::Weighted{0.0f, -0.0f}, "at least one hybrid fusion weight must be greater than zero"},
    };
    for (const Case& c : cases) {
        const Status status = validate_hybrid_fusion(c.fusion);
        std::vector<HybridCandidate> none;
        const Status scored = score_hybrid_candidates(none, c.fusion);
        if (c.message == nullptr) {
            EXPECT_TRUE(status);
            EXPECT_TRUE(scored);
        } else {
            ASSERT_FALSE(status) << c.message;
            EXPECT_EQ(status.error().display(), std::string("invalid index format: ") + c.message);
            ASSERT_FALSE(scored);
            EXPECT_EQ(scored.error().display(), status.error().display());
        }
    }
}

HybridCandidate candidate(std::uint64_t id, std::optional<float> vector_score, std::optional<std::size_t> vector_rank,
                          std::optional<float> keyword_score, std::optional<std::size_t> keyword_rank) {
    HybridCandidate c;
    c.chunk_id = id;
    c.vector_score = vector_score;
    c.vector_rank = vector_rank;
    c.keyword_score = keyword_score;
    c.keyword_rank = keyword_rank;
    return c;
}

TEST(HybridFusion, WeightedNormalisesEachSideByItsFiniteScores) {
    std::vector<HybridCandidate> candidates = {
        candidate(0, 0.9f, 1, std::nullopt, std::nullopt),  // best vector score, vector only
        candidate(1, 0.5f, 2, 2.0f, 1),
        candidate(2, std::nullopt, std::nullopt, 1.0f, 2),
        candidate(3, kInf, 3, std::nullopt, std::nullopt),  // takes no part in the range
    };
    ASSERT_TRUE(score_hybrid_candidates(candidates, fusions::Weighted{0.6f, 0.4f}));
    const float range = 0.9f - 0.5f;
    EXPECT_EQ(bits(*candidates[0].normalized_vector_score), bits(1.0f));
    EXPECT_EQ(bits(candidates[0].fused_score), bits(0.6f));
    EXPECT_FALSE(candidates[0].normalized_keyword_score);
    EXPECT_EQ(bits(*candidates[1].normalized_vector_score), bits((0.5f - 0.5f) / range));
    EXPECT_EQ(bits(*candidates[1].normalized_keyword_score), bits(1.0f));
    EXPECT_EQ(bits(candidates[1].fused_score), bits(0.6f * 0.0f + 0.4f * 1.0f));
    EXPECT_FALSE(candidates[2].normalized_vector_score);
    EXPECT_EQ(bits(*candidates[2].normalized_keyword_score), bits(0.0f));
    EXPECT_FALSE(candidates[3].normalized_vector_score);
    EXPECT_EQ(bits(candidates[3].fused_score), bits(0.0f));

    // A range of at most 2^-23 counts as all equal: every present score is 1.
    struct Spread {
        float low, high, normalized_low;
    };
    for (const Spread& s : {Spread{1.0f, 1.0f, 1.0f}, Spread{0.0f, 0x1p-23f, 1.0f}, Spread{0.0f, 0x1p-22f, 0.0f}}) {
        std::vector<HybridCandidate> pair = {candidate(0, s.low, 1, s.low, 1), candidate(1, s.high, 2, s.high, 2)};
        ASSERT_TRUE(score_hybrid_candidates(pair, fusions::Weighted{0.25f, 0.75f}));
        EXPECT_EQ(bits(*pair[0].normalized_vector_score), bits(s.normalized_low)) << s.high;
        EXPECT_EQ(bits(*pair[0].normalized_keyword_score), bits(s.normalized_low)) << s.high;
        EXPECT_EQ(bits(*pair[1].normalized_vector_score), bits(1.0f)) << s.high;
    }
    std::vector<HybridCandidate> single = {candidate(7, -3.0f, 1, std::nullopt, std::nullopt)};
    ASSERT_TRUE(score_hybrid_candidates(single, fusions::Weighted{1.0f, 0.0f}));
    EXPECT_EQ(bits(single[0].fused_score), bits(1.0f));
}

TEST(HybridFusion, ReciprocalRankUsesRanksOnly) {
    std::vector<HybridCandidate> candidates = {
        candidate(0, 0.1f, 1, 5.0f, 3),
        candidate(1, std::nullopt, std::nullopt, 9.0f, 1),
    };
    candidates[0].normalized_vector_score = 0.5f;  // left over from elsewhere: cleared
    ASSERT_TRUE(score_hybrid_candidates(candidates, fusions::ReciprocalRank{60.0f}));
    EXPECT_EQ(bits(candidates[0].fused_score), bits(1.0f / 61.0f + 1.0f / 63.0f));
    EXPECT_EQ(bits(candidates[1].fused_score), bits(1.0f / 61.0f));
    EXPECT_FALSE(candidates[0].normalized_vector_score);
    EXPECT_FALSE(candidates[0].normalized_keyword_score);
}

TEST(HybridFusion, OrderOfTheFusedList) {
    auto with_score = [](HybridCandidate c, float fused) {
        c.fused_score = fused;
        return c;
    };
    // Each candidate must come before the next.
    const std::vector<HybridCandidate> expected = {
        with_score(candidate(9, std::nullopt, std::nullopt, std::nullopt, std::nullopt), kNaN),
        with_score(candidate(8, std::nullopt, std::nullopt, std::nullopt, std::nullopt), 1.0f),
        with_score(candidate(7, 0.0f, 1, std::nullopt, std::nullopt), 0.0f),
        with_score(candidate(6, 0.0f, 2, 0.0f, 1), 0.0f),
        with_score(candidate(5, 0.0f, 2, 0.0f, 2), 0.0f),
        with_score(candidate(4, 0.0f, 2, std::nullopt, std::nullopt), 0.0f),
        with_score(candidate(1, std::nullopt, std::nullopt, 0.0f, 1), 0.0f),
        with_score(candidate(2, std::nullopt, std::nullopt, 0.0f, 1), 0.0f),
        with_score(candidate(0, std::nullopt, std::nullopt, std::nullopt, std::nullopt), 0.0f),
        with_score(candidate(3, std::nullopt, std::nullopt, std::nullopt, std::nullopt), -0.0f),
    };
    for (std::size_t i = 0; i + 1 < expected.size(); ++i) {
        EXPECT_TRUE(compare_hybrid_candidates(expected[i], expected[i + 1])) << i;
        EXPECT_FALSE(compare_hybrid_candidates(expected[i + 1], expected[i])) << i;
    }
}

Ids hybrid_ids(const Result<std::vector<HybridHit>>& hits) {
    Ids ids;
    for (const HybridHit& hit : hits.value()) ids.push_back(hit.chunk_id);
    return ids;
}

HybridQuery hybrid(std::string text, std::vector<float> embedding, std::size_t limit, HybridFusion fusion) {
    return HybridQuery{std::move(text), std::move(embedding), std::nullopt, limit, 50, 50, fusion};
}

TEST(HybridSearch, MergesBothListsAndTracesEachScore) {
    ExactVectorIndex index = fruit_index();  // vector scores: the chunk id itself
    const auto hits = index.hybrid_search(hybrid("banana", {1.0f}, 10, fusions::Weighted{0.6f, 0.4f}));
    // Vector ranks 4,3,2,1,0; "banana" finds 2 (shorter) then 0.
    ASSERT_EQ(hybrid_ids(hits), (Ids{2, 4, 3, 1, 0}));
    const HybridHit& top = hits.value()[0];
    EXPECT_EQ(top.document_id, "doc2");
    EXPECT_EQ(bits(*top.vector_score), bits(2.0f));
    EXPECT_EQ(top.trace.vector_rank, 3u);
    EXPECT_EQ(top.trace.keyword_rank, 1u);
    EXPECT_EQ(bits(*top.trace.normalized_vector_score), bits(0.5f));
    EXPECT_EQ(bits(top.score), bits(0.6f * 0.5f + 0.4f * 1.0f));
    EXPECT_EQ(top.trace.matched_terms, (std::vector<std::string>{"banana"}));
    EXPECT_EQ(std::get<fusions::Weighted>(top.trace.fusion), (fusions::Weighted{0.6f, 0.4f}));
    const HybridHit& vector_only = hits.value()[1];
    EXPECT_FALSE(vector_only.keyword_score);
    EXPECT_FALSE(vector_only.trace.keyword_rank);
    EXPECT_EQ(bits(vector_only.score), bits(0.6f));
    EXPECT_TRUE(vector_only.trace.matched_terms.empty());

    // The limit cuts the fused list; the candidate counts cut each side.
    EXPECT_EQ(hybrid_ids(index.hybrid_search(hybrid("banana", {1.0f}, 2, fusions::Weighted{0.6f, 0.4f}))),
              (Ids{2, 4}));
    HybridQuery narrow = hybrid("banana", {1.0f}, 10, fusions::ReciprocalRank{60.0f});
    narrow.vector_candidates = 1;
    narrow.keyword_candidates = 0;
    const auto rrf = index.hybrid_search(narrow);
    ASSERT_EQ(hybrid_ids(rrf), (Ids{4}));
    EXPECT_EQ(bits(rrf.value()[0].score), bits(1.0f / 61.0f));

    // The filter applies to both sides.
    const Filter only_b{filters::Equals{"k", V::string("b")}};
    EXPECT_EQ(hybrid_ids(index.hybrid_search(
                  std::move(hybrid("apple", {1.0f}, 10, fusions::Weighted{0.5f, 0.5f})).with_filter(only_b))),
              (Ids{1}));
}

TEST(HybridSearch, SidesSwitchedOffAndErrorsInOrder) {
    ExactVectorIndex index = fruit_index();
    const std::vector<float> wrong = {1.0f, 2.0f};
    // Keyword-only never looks at the embedding.
    const auto keyword_only = index.hybrid_search(hybrid("apple", wrong, 10, fusions::Weighted{0.0f, 1.0f}));
    EXPECT_EQ(hybrid_ids(keyword_only), (Ids{1, 4, 0, 3}));
    EXPECT_FALSE(keyword_only.value()[0].vector_score);
    EXPECT_FALSE(keyword_only.value()[0].trace.normalized_vector_score);
    // The embedding is checked before the limit and the fusion.
    EXPECT_EQ(index.hybrid_search(hybrid("apple", wrong, 0, fusions::Weighted{1.0f, -1.0f})).error().kind(),
              ErrorKind::DimensionMismatch);
    EXPECT_TRUE(index.hybrid_search(hybrid("apple", {1.0f}, 0, fusions::Weighted{1.0f, -1.0f})).value().empty());
    // A weight that is not positive switches its side off before the fusion is checked.
    EXPECT_EQ(index.hybrid_search(hybrid("apple", wrong, 3, fusions::Weighted{-1.0f, 1.0f})).error().display(),
              "invalid index format: vector_weight must be finite and non-negative");
    EXPECT_EQ(index.hybrid_search(hybrid("apple", {1.0f}, 3, fusions::Weighted{0.0f, 0.0f})).error().display(),
              "invalid index format: at least one hybrid fusion weight must be greater than zero");
    const Filter bad_range{filters::Range{"k", V::string("x"), std::nullopt}};
    EXPECT_EQ(index.hybrid_search(std::move(hybrid("apple", {1.0f}, 3, fusions::Weighted{0.5f, 0.5f}))
                                      .with_filter(bad_range))
                  .error()
                  .kind(),
              ErrorKind::InvalidRangeFilter);

    ExactVectorIndexTestAccess::drop_keyword_state(index);
    // Vector-only works without keyword state; asking the keyword side fails.
    const auto vector_only = index.hybrid_search(hybrid("apple", {1.0f}, 2, fusions::Weighted{1.0f, 0.0f}));
    EXPECT_EQ(hybrid_ids(vector_only), (Ids{4, 3}));
    EXPECT_FALSE(vector_only.value()[0].keyword_score);
    EXPECT_EQ(index.hybrid_search(hybrid("apple", {1.0f}, 2, fusions::ReciprocalRank{60.0f})).error().kind(),
              ErrorKind::RetrievalStateUnavailable);
    HybridQuery no_keywords = hybrid("apple", {1.0f}, 2, fusions::ReciprocalRank{60.0f});
    no_keywords.keyword_candidates = 0;
    EXPECT_EQ(hybrid_ids(index.hybrid_search(no_keywords)), (Ids{4, 3}));
}

}  // namespace
}  // namespace tessarin
