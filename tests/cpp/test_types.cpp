#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "core/types.h"

namespace tessarin {
namespace {

HybridQuery query() {
    HybridQuery q;
    q.text = "words";
    q.embedding = {1.0f, 0.0f};
    q.limit = 3;
    q.fusion = fusions::ReciprocalRank{60.0f};
    return q;
}

TEST(HybridQuery, AlphaSetsWeightedFusion) {
    struct Case {
        float alpha, vector_weight, keyword_weight;
    };
    for (Case c : {Case{0.0f, 0.0f, 1.0f}, Case{1.0f, 1.0f, 0.0f}, Case{0.6f, 0.6f, 1.0f - 0.6f},
                   Case{-0.0f, -0.0f, 1.0f}}) {
        auto result = query().try_with_alpha(c.alpha);
        ASSERT_TRUE(result) << c.alpha;
        const auto* weighted = std::get_if<fusions::Weighted>(&result.value().fusion);
        ASSERT_NE(weighted, nullptr);
        EXPECT_EQ(std::memcmp(&weighted->vector_weight, &c.vector_weight, sizeof(float)), 0);
        EXPECT_EQ(weighted->keyword_weight, c.keyword_weight);
        EXPECT_EQ(result.value().text, "words");
        EXPECT_EQ(result.value().limit, 3u);
    }
}

TEST(HybridQuery, AlphaOutsideTheUnitIntervalIsRefused) {
    const float inf = std::numeric_limits<float>::infinity();
    for (float alpha : {std::nanf(""), inf, -inf, -0.5f, 1.0000001f, -1e-30f}) {
        auto result = query().try_with_alpha(alpha);
        ASSERT_FALSE(result) << alpha;
        EXPECT_EQ(result.error().kind(), ErrorKind::InvalidQueryParameter);
        EXPECT_EQ(result.error().display(),
                  "invalid query parameter 'alpha': alpha must be finite and between 0 and 1; use 1 "
                  "for vector-only or 0 for BM25-only");
    }
}

TEST(HybridQuery, WithFilterReplacesTheFilter) {
    HybridQuery q = query();
    q.filter = Filter{filters::Exists{"a"}};
    HybridQuery replaced = std::move(q).with_filter(Filter{filters::Exists{"b"}});
    ASSERT_TRUE(replaced.filter);
    EXPECT_EQ(std::get<filters::Exists>(replaced.filter->node).field, "b");
    EXPECT_FALSE(std::move(replaced).with_filter(std::nullopt).filter);
}

TEST(StoredChunk, ChunkMetadataOverridesDocumentMetadata) {
    MetadataMap document{{"a", MetadataValue::integer(1)}, {"b", MetadataValue::integer(2)}};
    MetadataMap chunk{{"b", MetadataValue::integer(3)}};
    MetadataMap expected{{"a", MetadataValue::integer(1)}, {"b", MetadataValue::integer(3)}};
    EXPECT_EQ(overlay_metadata(document, chunk), expected);
}

TEST(VectorNames, RoundTripExactly) {
    for (auto e : {VectorEncoding::F32, VectorEncoding::F16, VectorEncoding::BF16,
                   VectorEncoding::I8ScalarQuantized, VectorEncoding::BinaryQuantized}) {
        EXPECT_EQ(parse_vector_encoding(vector_encoding_name(e)), e);
    }
    EXPECT_EQ(parse_vector_metric("Cosine"), VectorMetric::Cosine);
    EXPECT_EQ(parse_vector_metric("DotProduct"), VectorMetric::DotProduct);
    EXPECT_FALSE(parse_vector_metric("cosine"));
    EXPECT_FALSE(parse_vector_encoding("f32"));
}

}  // namespace
}  // namespace tessarin
