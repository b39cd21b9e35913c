#include <gtest/gtest.h>
#include <simsimd/simsimd.h>

#include <bit>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/scoring.h"

namespace tessarin {
namespace {

// The stores keep their rows with their own allocator; compare the elements.
template <typename T, typename A>
std::vector<T> plain(const std::vector<T, A>& v) {
    return {v.begin(), v.end()};
}


constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr VectorEncoding kStoreEncodings[] = {VectorEncoding::F32, VectorEncoding::F16, VectorEncoding::BF16,
                                              VectorEncoding::I8ScalarQuantized};

EncodedVectorStore store_of(VectorEncoding encoding, const std::vector<std::vector<float>>& rows) {
    EncodedVectorStore store = EncodedVectorStore::create(encoding).value();
    for (const auto& row : rows) store.push(row);
    return store;
}

EncodedQuery query_of(VectorEncoding encoding, std::vector<float> v,
                      VectorMetric metric = VectorMetric::DotProduct) {
    return encode_query_embedding(metric, encoding, v).value();
}

std::uint32_t bits_of(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

// ---- Encodings -----------------------------------------------------------------

// With 127 in the row the scale is exactly 1, so each other element is rounded as
// it stands: half away from zero, checked at and beside every half.
TEST(Encodings, Int8RoundingAgreesWithRoundHalfAwayFromZero) {
    std::vector<float> row{127.0f};
    for (int k = -128; k <= 127; ++k) {
        const float half = static_cast<float>(k) + 0.5f;
        for (float x : {half, std::nextafter(half, -kInf), std::nextafter(half, kInf), static_cast<float>(k)}) {
            if (std::fabs(x) <= 127.0f) row.push_back(x);
        }
    }
    for (float x : {0.0f, -0.0f, 0.49999997f, -0.49999997f, 1e-30f, -1e-30f}) row.push_back(x);
    const EncodedVectorStore store = store_of(VectorEncoding::I8ScalarQuantized, {row});
    const auto& rows = std::get<EncodedVectorStore::I8ScalarQuantized>(store.variant());
    ASSERT_EQ(rows.scales[0], 1.0f);
    for (std::size_t i = 0; i < row.size(); ++i) {
        const float expected = std::clamp(std::round(row[i]), -128.0f, 127.0f);
        EXPECT_EQ(rows.codes[i], static_cast<std::int8_t>(expected)) << row[i];
    }
}

struct QuantizeCase {
    std::vector<float> input;
    std::vector<std::int8_t> codes;
    float scale;
};

// The store and the query quantise through the same rule; both are checked.
TEST(Int8Quantization, CodesAndScales) {
    const QuantizeCase cases[] = {
        {{0, 0, 0}, {0, 0, 0}, 0.0f},
        {{1.0f, -0.5f, 0.25f}, {127, -64, 32}, 1.0f / 127.0f},  // -63.5 and 31.75 round away from zero
        {{kNaN, 2.0f}, {0, 127}, 2.0f / 127.0f},                // NaN is never the maximum
        {{kNaN, -0.0f}, {0, 0}, 0.0f},                          // zero or NaN only: scale 0
        {{kInf, 1.0f}, {0, 0}, kInf},                           // inv is 0: inf*0 is NaN, code 0
        {{}, {}, 0.0f},
        {{-4.0f, 4.0f, 2.0f}, {-127, 127, 64}, 4.0f / 127.0f},  // 63.5 to 64
    };
    for (const auto& c : cases) {
        EncodedVectorStore store = store_of(VectorEncoding::I8ScalarQuantized, {c.input});
        const auto& rows = std::get<EncodedVectorStore::I8ScalarQuantized>(store.variant());
        EXPECT_EQ(plain(rows.codes), c.codes);
        ASSERT_EQ(rows.scales.size(), 1u);
        EXPECT_EQ(bits_of(rows.scales[0]), bits_of(c.scale));

        const EncodedQuery query = query_of(VectorEncoding::I8ScalarQuantized, c.input);
        const auto& q = std::get<EncodedQuery::I8ScalarQuantized>(query.variant());
        EXPECT_EQ(q.codes, c.codes);
        EXPECT_EQ(bits_of(q.scale), bits_of(c.scale));
    }
}

TEST(Int8Quantization, TinyMaximumClampsInsteadOfWrapping) {
    // m / 127 underflows to 0, so inv is infinite and products clamp at the ends.
    const float tiny = std::numeric_limits<float>::denorm_min();
    EncodedVectorStore store = store_of(VectorEncoding::I8ScalarQuantized, {{tiny, -tiny, 0.0f}});
    const auto& rows = std::get<EncodedVectorStore::I8ScalarQuantized>(store.variant());
    EXPECT_EQ(plain(rows.codes), (std::vector<std::int8_t>{127, -128, 0}));
}

TEST(HalfEncodings, BitPatterns) {
    struct Case {
        float input;
        std::uint16_t f16;
        std::uint16_t bf16;
    };
    const Case cases[] = {
        {1.0f, 0x3C00, 0x3F80},
        {-2.0f, 0xC000, 0xC000},
        {0.1f, 0x2E66, 0x3DCD},
        {1.00390625f, 0x3C04, 0x3F81},  // bf16: exactly halfway, 0x8000 is added before truncating
        {65504.0f, 0x7BFF, 0x4780},
        {65520.0f, 0x7C00, 0x4780},       // rounds up to f16 infinity
        {5.9604645e-8f, 0x0001, 0x3380},  // smallest f16 subnormal
        {1e-8f, 0x0000, 0x322C},
        // Out of range and non-finite inputs keep whatever pattern the conversion gives;
        // stored bytes depend on it, so it is pinned here.
        {1e20f, 0x7FFF, 0x60AD},
        {kInf, 0x7FFF, 0x7F80},
        {-kInf, 0xFFFF, 0xFF80},
        {kNaN, 0x7FFF, 0x7FC0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode_f16(c.input), c.f16) << c.input;
        EXPECT_EQ(encode_bf16(c.input), c.bf16) << c.input;
    }
    // The bfloat16 rounding add wraps in 32 bits: this negative NaN becomes +0.
    EXPECT_EQ(encode_bf16(std::bit_cast<float>(0xFFFF8000u)), 0x0000);

    const EncodedVectorStore f16 = store_of(VectorEncoding::F16, {{1.0f, -2.0f}});
    EXPECT_EQ(plain(std::get<EncodedVectorStore::F16>(f16.variant()).bits),
              (std::vector<std::uint16_t>{0x3C00, 0xC000}));
    const EncodedQuery q = query_of(VectorEncoding::BF16, {1.00390625f});
    EXPECT_EQ(std::get<EncodedQuery::BF16>(q.variant()).bits, (std::vector<std::uint16_t>{0x3F81}));
}

TEST(QueryEncoding, CosineScalesToUnitLengthFirst) {
    const EncodedQuery q = query_of(VectorEncoding::F32, {3, 4}, VectorMetric::Cosine);
    EXPECT_EQ(std::get<EncodedQuery::F32>(q.variant()).values, (std::vector<float>{0.6f, 0.8f}));
    const EncodedQuery zero = query_of(VectorEncoding::F32, {0, -0.0f}, VectorMetric::Cosine);
    const auto& z = std::get<EncodedQuery::F32>(zero.variant()).values;
    EXPECT_EQ(bits_of(z[1]), bits_of(-0.0f));  // a zero vector is left as it is
    const EncodedQuery raw = query_of(VectorEncoding::F32, {3, 4});
    EXPECT_EQ(std::get<EncodedQuery::F32>(raw.variant()).values, (std::vector<float>{3, 4}));

    std::vector<float> with_nan = {kNaN, 1.0f};
    scale_to_unit_length(with_nan);
    EXPECT_TRUE(std::isnan(with_nan[1]));
}

TEST(QueryEncoding, BinaryQuantizedHasNoStoreQueryOrPayload) {
    const std::string message = "unsupported vector encoding 'BinaryQuantized'";
    const auto store = EncodedVectorStore::create(VectorEncoding::BinaryQuantized);
    ASSERT_FALSE(store.has_value());
    EXPECT_EQ(store.error().display(), message);
    const auto query = encode_query_embedding(VectorMetric::Cosine, VectorEncoding::BinaryQuantized, {});
    ASSERT_FALSE(query.has_value());
    EXPECT_EQ(query.error().kind(), ErrorKind::UnsupportedEncoding);
    EXPECT_EQ(query.error().display(), message);
    const auto owned = encode_query_owned(VectorEncoding::BinaryQuantized, {1.0f});
    ASSERT_FALSE(owned.has_value());
    EXPECT_EQ(owned.error().display(), message);
}

// ---- Payload -------------------------------------------------------------------

TEST(VectorPayload, ByteLayout) {
    const EncodedVectorStore f32 = store_of(VectorEncoding::F32, {{1.0f, -2.0f, 0.5f}, {0, 0, 0}});
    const auto bytes = f32.to_payload_bytes();
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(f32.estimated_payload_bytes(), 24u);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 8),
              (std::vector<std::uint8_t>{0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0}));

    const EncodedVectorStore i8 =
        store_of(VectorEncoding::I8ScalarQuantized, {{1.0f, -0.5f, 0.25f}, {0, 0, -2.0f}});
    const auto i8_bytes = i8.to_payload_bytes();
    ASSERT_EQ(i8_bytes.size(), 14u);
    EXPECT_EQ(i8.estimated_payload_bytes(), 14u);
    // Codes first, row by row, then the scales.
    EXPECT_EQ(std::vector<std::uint8_t>(i8_bytes.begin(), i8_bytes.begin() + 6),
              (std::vector<std::uint8_t>{0x7F, 0xC0, 0x20, 0x00, 0x00, 0x81}));
    std::uint32_t second_scale = 0;
    for (int b = 0; b < 4; ++b) second_scale |= std::uint32_t{i8_bytes[10 + b]} << (8 * b);
    EXPECT_EQ(second_scale, bits_of(2.0f / 127.0f));

    const EncodedVectorStore f16 = store_of(VectorEncoding::F16, {{1.0f, -2.0f}});
    EXPECT_EQ(f16.to_payload_bytes(), (std::vector<std::uint8_t>{0x00, 0x3C, 0x00, 0xC0}));
}

TEST(VectorPayload, RoundTripsEveryEncoding) {
    const std::vector<std::vector<float>> rows = {
        {1.5f, -2.25f, kInf}, {kNaN, 0.0f, -0.0f}, {3e-9f, 7.0f, -1e30f}};
    for (VectorEncoding encoding : kStoreEncodings) {
        const EncodedVectorStore store = store_of(encoding, rows);
        const auto bytes = store.to_payload_bytes();
        EXPECT_EQ(store.estimated_payload_bytes(), bytes.size());
        auto decoded = EncodedVectorStore::from_payload_bytes(encoding, 3, 3, bytes);
        ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
        EXPECT_EQ(decoded.value().encoding(), encoding);
        EXPECT_EQ(decoded.value().to_payload_bytes(), bytes);  // bit for bit, NaN included
    }
    const auto empty = EncodedVectorStore::from_payload_bytes(VectorEncoding::F16, 0, 3, {});
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty.value().element_count(), 0u);
}

TEST(VectorPayload, RejectsWrongSizesOverflowAndBinaryQuantized) {
    const std::vector<std::uint8_t> bytes(23);
    const std::size_t huge = std::size_t{1} << 62;
    struct Case {
        VectorEncoding encoding;
        std::size_t count, dimension, size;
        std::string message;
    };
    const Case cases[] = {
        {VectorEncoding::F32, 2, 3, 23,
         "invalid index format: vector payload size mismatch: expected 24 bytes, got 23"},
        {VectorEncoding::BF16, 2, 3, 13,
         "invalid index format: vector payload size mismatch: expected 12 bytes, got 13"},
        {VectorEncoding::I8ScalarQuantized, 2, 3, 6,
         "invalid index format: vector payload size mismatch: expected 14 bytes, got 6"},
        {VectorEncoding::F32, huge, 8, 0, "invalid index format: vector count and dimension overflow"},
        // Overflow is checked before the encoding.
        {VectorEncoding::BinaryQuantized, huge, 8, 0,
         "invalid index format: vector count and dimension overflow"},
        {VectorEncoding::BinaryQuantized, 2, 3, 23, "unsupported vector encoding 'BinaryQuantized'"},
        {VectorEncoding::BinaryQuantized, 0, 0, 0, "unsupported vector encoding 'BinaryQuantized'"},
        // The byte length itself overflowing would otherwise wrap to a small number.
        {VectorEncoding::F32, huge, 1, 0, "invalid index format: vector count and dimension overflow"},
        {VectorEncoding::I8ScalarQuantized, huge, 0, 0,
         "invalid index format: vector count and dimension overflow"},
    };
    for (const auto& c : cases) {
        const auto result = EncodedVectorStore::from_payload_bytes(c.encoding, c.count, c.dimension,
                                                                   std::span(bytes.data(), c.size));
        ASSERT_FALSE(result.has_value()) << c.message;
        EXPECT_EQ(result.error().display(), c.message);
    }
}

// ---- Row selection -------------------------------------------------------------

TEST(SelectRows, CopiesRowsInOrderBitForBit) {
    const std::vector<std::vector<float>> rows = {{1, 2}, {kNaN, -3}, {0.1f, -0.7f}};
    for (VectorEncoding encoding : kStoreEncodings) {
        const EncodedVectorStore store = store_of(encoding, rows);
        const std::vector<std::size_t> picked = {2, 0, 2};
        const auto selected = store.select_rows(picked, 2);
        ASSERT_TRUE(selected.has_value());
        // The copies must equal the originals without re-encoding, scales included.
        const auto source = store.to_payload_bytes();
        const auto copy = selected.value().to_payload_bytes();
        const std::size_t element = encoding == VectorEncoding::F32                 ? 4
                                    : encoding == VectorEncoding::I8ScalarQuantized ? 1
                                                                                    : 2;
        auto row_bytes = [&](const std::vector<std::uint8_t>& payload, std::size_t row) {
            return std::vector<std::uint8_t>(payload.begin() + row * 2 * element,
                                             payload.begin() + (row + 1) * 2 * element);
        };
        EXPECT_EQ(row_bytes(copy, 0), row_bytes(source, 2));
        EXPECT_EQ(row_bytes(copy, 1), row_bytes(source, 0));
        EXPECT_EQ(row_bytes(copy, 2), row_bytes(source, 2));
        if (encoding == VectorEncoding::I8ScalarQuantized) {
            const auto& from = std::get<EncodedVectorStore::I8ScalarQuantized>(store.variant());
            const auto& to = std::get<EncodedVectorStore::I8ScalarQuantized>(selected.value().variant());
            EXPECT_EQ(plain(to.scales), (std::vector<float>{from.scales[2], from.scales[0], from.scales[2]}));
        }
        EXPECT_EQ(store.to_payload_bytes(), source);
    }
}

TEST(SelectRows, UnavailableRowFailsWholeCall) {
    const std::string tail = "; reload the index from its last saved snapshot before retrying compaction";
    const EncodedVectorStore store = store_of(VectorEncoding::F32, {{1, 2}, {3, 4}, {5, 6}});
    const std::vector<std::size_t> past_end = {0, 3, 1};
    auto result = store.select_rows(past_end, 2);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "invalid index format: vector row 3 is unavailable for compaction at dimension 2" + tail);

    const std::vector<std::size_t> overflowing = {std::numeric_limits<std::size_t>::max()};
    result = store.select_rows(overflowing, 2);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "invalid index format: vector row 18446744073709551615 is unavailable "
              "for compaction at dimension 2" +
                  tail);

    // Codes present but the scale missing: the row is not there either.
    const EncodedVectorStore lopsided{EncodedVectorStore::I8ScalarQuantized{{1, 2, 3, 4}, {0.5f}}};
    const std::vector<std::size_t> second = {1};
    result = lopsided.select_rows(second, 2);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(),
              "invalid index format: vector row 1 is unavailable for compaction at dimension 2" + tail);
}

TEST(VectorStore, ReserveIsOnlyAHint) {
    EncodedVectorStore store = EncodedVectorStore::create(VectorEncoding::I8ScalarQuantized).value();
    store.reserve_rows(std::numeric_limits<std::size_t>::max(), 2);
    store.reserve_rows(4, std::numeric_limits<std::size_t>::max());
    store.reserve_rows(4, 3);
    store.push(std::vector<float>{1, 2, 3});
    EXPECT_EQ(store.element_count(), 3u);
}

// ---- Scores --------------------------------------------------------------------

TEST(Scores, DocumentedExamples) {
    // Cosine: the index stores unit vectors, the query is scaled on encoding.
    std::vector<float> stored = {3, 4};
    scale_to_unit_length(stored);
    EXPECT_EQ(store_of(VectorEncoding::F32, {stored})
                  .score_at(query_of(VectorEncoding::F32, {6, 8}, VectorMetric::Cosine), 0, 2),
              1.0f);

    for (VectorEncoding encoding : {VectorEncoding::F32, VectorEncoding::F16, VectorEncoding::BF16}) {
        EXPECT_EQ(store_of(encoding, {{1, 2}}).score_at(query_of(encoding, {3, 4}), 0, 2), 11.0f);
    }

    const EncodedVectorStore i8 =
        store_of(VectorEncoding::I8ScalarQuantized, {{1.0f, -0.5f, 0.25f}, {5, 5, 5}});
    EXPECT_EQ(i8.score_at(query_of(VectorEncoding::I8ScalarQuantized, {1, 0, 0}), 0, 3), 1.0f);
    const EncodedQuery zero = query_of(VectorEncoding::I8ScalarQuantized, {0, 0, 0});
    EXPECT_EQ(i8.score_at(zero, 0, 3), 0.0f);
    EXPECT_EQ(i8.score_at(zero, 1, 3), 0.0f);
}

TEST(Scores, OverflowGivesInfinityInF32AndZeroIn16Bit) {
    const std::vector<float> big = {1e30f, 1e30f};
    EXPECT_EQ(store_of(VectorEncoding::F32, {big}).score_at(query_of(VectorEncoding::F32, big), 0, 2), kInf);
    for (VectorEncoding encoding : {VectorEncoding::F16, VectorEncoding::BF16}) {
        EXPECT_EQ(store_of(encoding, {big}).score_at(query_of(encoding, big), 0, 2), 0.0f);
    }
    // 65520 is already infinite in f16; the same data is finite in f32.
    const std::vector<float> edge = {65520.0f, 1.0f};
    EXPECT_EQ(store_of(VectorEncoding::F16, {edge}).score_at(query_of(VectorEncoding::F16, {1, 1}), 0, 2),
              0.0f);
    EXPECT_EQ(store_of(VectorEncoding::F32, {edge}).score_at(query_of(VectorEncoding::F32, {1, 1}), 0, 2),
              65521.0f);
}

TEST(Scores, NonFiniteF32FallsBackToThePlainLoop) {
    // The plain loop starts from -0.0 and keeps whatever it gets, NaN included.
    const EncodedVectorStore store = store_of(VectorEncoding::F32, {{kNaN, 1}, {kInf, -kInf}});
    const EncodedQuery q = query_of(VectorEncoding::F32, {1, 1});
    EXPECT_TRUE(std::isnan(*store.score_at(q, 0, 2)));
    EXPECT_TRUE(std::isnan(*store.score_at(q, 1, 2)));
}

TEST(Scores, QueryLengthOtherThanTheDimension) {
    // f32 and int8 fall back to the plain loop over the common prefix; 16-bit gives 0.
    const std::vector<std::vector<float>> rows = {{1, 1, 1}};
    EXPECT_EQ(store_of(VectorEncoding::F32, rows).score_at(query_of(VectorEncoding::F32, {1, 2}), 0, 3),
              3.0f);
    EXPECT_EQ(bits_of(*store_of(VectorEncoding::F32, rows).score_at(query_of(VectorEncoding::F32, {}), 0, 3)),
              bits_of(-0.0f));
    EXPECT_EQ(store_of(VectorEncoding::F16, rows).score_at(query_of(VectorEncoding::F16, {1, 2}), 0, 3),
              0.0f);
    EXPECT_EQ(
        store_of(VectorEncoding::BF16, rows).score_at(query_of(VectorEncoding::BF16, {1, 2, 3, 4}), 0, 3),
        0.0f);

    const EncodedVectorStore i8 =
        store_of(VectorEncoding::I8ScalarQuantized, rows);  // codes 127, scale 1/127
    const EncodedQuery short_query{EncodedQuery::I8ScalarQuantized{{2, -1}, 0.5f}};
    const float dot = 127.0f * 2.0f + 127.0f * -1.0f;
    EXPECT_EQ(i8.score_at(short_query, 0, 3), (1.0f / 127.0f) * (dot * 0.5f));
}

TEST(Scores, AbsentForMissingRowsAndOtherEncodings) {
    const EncodedVectorStore store = store_of(VectorEncoding::F32, {{1, 2}, {3, 4}});
    const EncodedQuery q = query_of(VectorEncoding::F32, {1, 1});
    EXPECT_TRUE(store.score_at(q, 1, 2).has_value());
    EXPECT_FALSE(store.score_at(q, 2, 2).has_value());
    EXPECT_FALSE(store.score_at(q, 1, 3).has_value());
    EXPECT_FALSE(store.score_at(q, std::numeric_limits<std::size_t>::max(), 2).has_value());
    EXPECT_FALSE(store.score_at(query_of(VectorEncoding::BF16, {1, 1}), 0, 2).has_value());

    const EncodedVectorStore lopsided{EncodedVectorStore::I8ScalarQuantized{{1, 2, 3, 4}, {0.5f}}};
    const EncodedQuery i8q{EncodedQuery::I8ScalarQuantized{{1, 1}, 1.0f}};
    EXPECT_EQ(lopsided.score_at(i8q, 0, 2), 1.5f);
    EXPECT_FALSE(lopsided.score_at(i8q, 1, 2).has_value());
}

// The per-process kernel lookup must give exactly what SimSIMD's dispatching entry
// points give.
TEST(Scores, MatchSimsimdEntryPoints) {
    std::mt19937 rng(3);
    std::normal_distribution<float> normal;
    const std::size_t d = 384;
    std::vector<float> a(d), b(d);
    for (auto& x : a) x = normal(rng);
    for (auto& x : b) x = normal(rng);

    simsimd_distance_t expected = 0;
    simsimd_dot_f32(a.data(), b.data(), d, &expected);
    EXPECT_EQ(store_of(VectorEncoding::F32, {a}).score_at(query_of(VectorEncoding::F32, b), 0, d),
              static_cast<float>(expected));

    std::vector<simsimd_f16_t> a16(d), b16(d);
    std::vector<simsimd_bf16_t> a_bf(d), b_bf(d);
    for (std::size_t i = 0; i < d; ++i) {
        a16[i] = encode_f16(a[i]);
        b16[i] = encode_f16(b[i]);
        a_bf[i] = encode_bf16(a[i]);
        b_bf[i] = encode_bf16(b[i]);
    }
    simsimd_dot_f16(a16.data(), b16.data(), d, &expected);
    EXPECT_EQ(store_of(VectorEncoding::F16, {a}).score_at(query_of(VectorEncoding::F16, b), 0, d),
              static_cast<float>(expected));
    simsimd_dot_bf16(a_bf.data(), b_bf.data(), d, &expected);
    EXPECT_EQ(store_of(VectorEncoding::BF16, {a}).score_at(query_of(VectorEncoding::BF16, b), 0, d),
              static_cast<float>(expected));
}

// Scoring runs of rows must agree bit for bit with row-by-row scoring, on every
// path: SimSIMD, the f32 fallback, the int8 kernel and the int8 plain loop.
TEST(Scores, RunsOfRowsMatchScoreAt) {
    std::mt19937 rng(5);
    std::normal_distribution<float> normal;
    for (std::size_t d : {std::size_t{1}, std::size_t{37}, std::size_t{384}}) {
        std::vector<std::vector<float>> rows(600, std::vector<float>(d));
        for (auto& row : rows) {
            for (auto& x : row) x = normal(rng);
        }
        rows[7][0] = kInf;  // exercises the f32 fallback
        rows[8][0] = kNaN;
        std::vector<float> query(d);
        for (auto& x : query) x = normal(rng);

        for (VectorEncoding encoding : kStoreEncodings) {
            const EncodedVectorStore store = store_of(encoding, rows);
            std::vector<EncodedQuery> queries = {query_of(encoding, query)};
            if (encoding == VectorEncoding::I8ScalarQuantized) {
                queries.push_back(EncodedQuery{EncodedQuery::I8ScalarQuantized{{3, -7}, 0.25f}});
            }
            for (const EncodedQuery& q : queries) {
                std::vector<float> out(rows.size() - 1);
                ASSERT_TRUE(store.score_rows(q, 1, d, out));
                for (std::size_t i = 0; i < out.size(); ++i) {
                    ASSERT_EQ(bits_of(out[i]), bits_of(*store.score_at(q, i + 1, d)))
                        << vector_encoding_name(encoding) << " d=" << d << " row=" << i + 1;
                }
                const std::vector<std::size_t> listed = {599, 0, 8, 7, 0, 300};
                std::vector<float> picked(listed.size());
                ASSERT_TRUE(store.score_rows(q, listed, d, picked));
                for (std::size_t i = 0; i < listed.size(); ++i) {
                    ASSERT_EQ(bits_of(picked[i]), bits_of(*store.score_at(q, listed[i], d)))
                        << vector_encoding_name(encoding) << " d=" << d << " row=" << listed[i];
                }
            }
        }
    }
}

TEST(Scores, RunsRefuseRowsThatHaveNoScore) {
    const EncodedVectorStore store = store_of(VectorEncoding::I8ScalarQuantized, {{1, 2}, {3, 4}});
    const EncodedQuery q = query_of(VectorEncoding::I8ScalarQuantized, {1, 1});
    std::vector<float> out(2, 42.0f);
    EXPECT_TRUE(store.score_rows(q, 0, 2, out));
    std::vector<float> three(3, 42.0f);
    EXPECT_FALSE(store.score_rows(q, 0, 2, three));
    EXPECT_EQ(three, std::vector<float>(3, 42.0f));
    EXPECT_FALSE(store.score_rows(q, std::numeric_limits<std::size_t>::max(), 2, out));
    EXPECT_FALSE(store.score_rows(query_of(VectorEncoding::F32, {1, 1}), 0, 2, out));
    const std::vector<std::size_t> rows = {1, 2};
    EXPECT_FALSE(store.score_rows(q, rows, 2, out));
    const std::vector<std::size_t> one = {1};
    EXPECT_FALSE(store.score_rows(q, one, 2, out));  // sizes differ
    EXPECT_TRUE(store.score_rows(q, 5, 2, std::span<float>()));
}

}  // namespace
}  // namespace tessarin
