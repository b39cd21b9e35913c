#include <gtest/gtest.h>

#include <string>

#include "core/error.h"

namespace tessarin {
namespace {

struct DisplayCase {
    TessarinError error;
    ErrorKind kind;
    std::string text;
};

TEST(TessarinError, EveryKindRendersItsText) {
    const DisplayCase cases[] = {
        {errors::InvalidIdentity{"ChunkKey", "a", "must be unique within one record generation"},
         ErrorKind::InvalidIdentity,
         "invalid ChunkKey 'a': must be unique within one record generation"},
        {errors::InvalidRecordValue{"scores[1]", "floats must be finite"},
         ErrorKind::InvalidRecordValue,
         "invalid canonical record value at 'scores[1]': floats must be finite"},
        {errors::DimensionMismatch{384, 768}, ErrorKind::DimensionMismatch,
         "invalid vector dimension: expected 384, got 768; use the same embedding model for "
         "indexing and queries"},
        {errors::MissingEmbedding{"chunk 'intro' has none"}, ErrorKind::MissingEmbedding,
         "missing embedding: chunk 'intro' has none"},
        {errors::InvalidRangeFilter{"year"}, ErrorKind::InvalidRangeFilter,
         "invalid range filter for metadata field 'year'"},
        {errors::UnsupportedEncoding{"BinaryQuantized"}, ErrorKind::UnsupportedEncoding,
         "unsupported vector encoding 'BinaryQuantized'"},
        {errors::RetrievalStateUnavailable{"hybrid"}, ErrorKind::RetrievalStateUnavailable,
         "hybrid retrieval state is unavailable; rebuild or reload the database from its "
         "canonical corpus"},
        {errors::Persistence{"read", "/tmp/x/manifest.json", "No such file or directory"},
         ErrorKind::Persistence,
         "persistence read failed for '/tmp/x/manifest.json': No such file or directory. Check "
         "that the index path exists and is readable when loading, or that its parent directory "
         "is writable when saving"},
        {errors::InvalidQueryParameter{"alpha", "must be between 0 and 1"},
         ErrorKind::InvalidQueryParameter, "invalid query parameter 'alpha': must be between 0 and 1"},
        {errors::InvalidFormat{""}, ErrorKind::InvalidFormat, "invalid index format: "},
        {errors::CorruptIndex{"chunks.bin", "sha256 mismatch"}, ErrorKind::CorruptIndex,
         "corrupt index file 'chunks.bin': sha256 mismatch. Restore the index from a known-good "
         "copy, or rebuild and replace the index directory"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind) << c.text;
        EXPECT_EQ(c.error.display(), c.text);
    }
}

TEST(TessarinError, KindsKeepTheirDeclaredNumbers) {
    // The numbering is observable (it is the order kinds are declared and mapped in).
    EXPECT_EQ(static_cast<int>(TessarinError(errors::InvalidIdentity{}).kind()), 0);
    EXPECT_EQ(static_cast<int>(TessarinError(errors::CorruptIndex{}).kind()), 10);
    EXPECT_EQ(error_kind_name(ErrorKind::RetrievalStateUnavailable), "RetrievalStateUnavailable");
}

TEST(TessarinError, HugeNumbersRenderInFull) {
    TessarinError error = errors::DimensionMismatch{SIZE_MAX, 0};
    EXPECT_NE(error.display().find("expected 18446744073709551615, got 0;"), std::string::npos);
}

Result<int> parse_positive(int value) {
    if (value <= 0) return errors::InvalidFormat{"not positive"};
    return value;
}

TEST(Result, CarriesValueOrError) {
    auto good = parse_positive(3);
    ASSERT_TRUE(good);
    EXPECT_EQ(good.value(), 3);

    auto bad = parse_positive(-1);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind(), ErrorKind::InvalidFormat);
    EXPECT_EQ(bad.error().display(), "invalid index format: not positive");

    Status ok;
    EXPECT_TRUE(ok);
    Status failed = errors::MissingEmbedding{"x"};
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().display(), "missing embedding: x");
}

}  // namespace
}  // namespace tessarin
