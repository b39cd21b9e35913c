// Each third-party library the engine relies on, linked and exercised once with a
// known answer, so a broken install fails here rather than deep inside a feature.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <simdjson.h>
#include <simsimd/simsimd.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <zstd.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string hex(const unsigned char* bytes, unsigned size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

TEST(Dependencies, OpenSslSha256) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned size = 0;
    const std::string input = "abc";
    ASSERT_EQ(EVP_Digest(input.data(), input.size(), digest.data(), &size, EVP_sha256(), nullptr), 1);
    EXPECT_EQ(hex(digest.data(), size),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Dependencies, ZstdRoundTrip) {
    std::string input(10000, 'x');
    for (std::size_t i = 0; i < input.size(); i += 7) input[i] = static_cast<char>('a' + i % 26);
    std::vector<char> compressed(ZSTD_compressBound(input.size()));
    std::size_t written = ZSTD_compress(compressed.data(), compressed.size(), input.data(),
                                        input.size(), 3);
    ASSERT_FALSE(ZSTD_isError(written));
    EXPECT_LT(written, input.size());
    EXPECT_EQ(ZSTD_getFrameContentSize(compressed.data(), written), input.size());
    std::string output(input.size(), '\0');
    std::size_t read = ZSTD_decompress(output.data(), output.size(), compressed.data(), written);
    ASSERT_FALSE(ZSTD_isError(read));
    EXPECT_EQ(output, input);
}

TEST(Dependencies, SimdjsonParsesNumbersAndReportsDepth) {
    simdjson::ondemand::parser parser;
    simdjson::padded_string json(std::string(R"({"values": [0.25, -3, 1e3]})"));
    auto document = parser.iterate(json);
    double sum = 0;
    for (auto value : document["values"].get_array()) sum += double(value.get_double());
    EXPECT_DOUBLE_EQ(sum, 997.25);

    simdjson::dom::parser limited;
    ASSERT_EQ(limited.allocate(64, 4), simdjson::SUCCESS);
    simdjson::padded_string deep(std::string("[[[[[1]]]]]"));
    EXPECT_EQ(limited.parse(deep).error(), simdjson::DEPTH_ERROR);
}

TEST(Dependencies, SimsimdDispatchedDotProducts) {
    const std::vector<simsimd_f32_t> a = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    const std::vector<simsimd_f32_t> b(a.size(), 0.5f);
    simsimd_distance_t dot = 0;
    simsimd_dot_f32(a.data(), b.data(), a.size(), &dot);
    EXPECT_DOUBLE_EQ(dot, 76.5);

    std::vector<simsimd_f16_t> a16(a.size()), b16(b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        simsimd_f32_to_f16(a[i], &a16[i]);
        simsimd_f32_to_f16(b[i], &b16[i]);
    }
    simsimd_dot_f16(a16.data(), b16.data(), a.size(), &dot);
    EXPECT_DOUBLE_EQ(dot, 76.5);
    EXPECT_NE(simsimd_capabilities(), 0u);
}

TEST(Dependencies, IcuWordBoundariesCaseAndWhiteSpace) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> words(
        icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    ASSERT_TRUE(U_SUCCESS(status));
    icu::UnicodeString text = icu::UnicodeString::fromUTF8("Hello, world");
    words->setText(text);
    std::vector<int32_t> boundaries;
    for (int32_t b = words->first(); b != icu::BreakIterator::DONE; b = words->next()) {
        boundaries.push_back(b);
    }
    EXPECT_EQ(boundaries, (std::vector<int32_t>{0, 5, 6, 7, 12}));

    std::string lowered;
    icu::UnicodeString("ΟΔΟΣ").toLower(icu::Locale::getRoot()).toUTF8String(lowered);
    EXPECT_EQ(lowered, "οδος");  // final sigma
    EXPECT_TRUE(u_isUWhiteSpace(0x00A0));
    EXPECT_FALSE(u_isUWhiteSpace(0x200B));
}

}  // namespace
