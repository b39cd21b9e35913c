#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/dot_i8.h"

namespace tessarin {
namespace {

std::vector<std::int8_t> random_codes(std::size_t n, std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(-128, 127);
    std::vector<std::int8_t> v(n);
    for (auto& x : v) x = static_cast<std::int8_t>(byte(rng));
    return v;
}

TEST(DotI8, ReferenceKnownAnswers) {
    const std::int8_t a[] = {127, -64, 32};
    const std::int8_t b[] = {127, 0, 0};
    EXPECT_EQ(dot_i8_reference(a, b, 3), 127 * 127);
    EXPECT_EQ(dot_i8_reference(a, a, 3), 127 * 127 + 64 * 64 + 32 * 32);
    EXPECT_EQ(dot_i8_reference(a, b, 0), 0);
}

TEST(DotI8, PortableVariantIsAlwaysAvailableAndChosenLast) {
    const auto kernels = dot_i8_kernels();
    ASSERT_FALSE(kernels.empty());
    EXPECT_EQ(kernels.back().name, "portable");
    EXPECT_EQ(dot_i8_kernel().name, kernels.front().name);
}

// Every variant this processor runs, against the plain loop: random bytes, the
// extremes, and lengths on both sides of every block size, through both entries.
TEST(DotI8, EveryVariantMatchesThePlainLoop) {
    const std::size_t lengths[] = {0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 384, 131071};
    std::mt19937 rng(7);
    for (const DotI8Kernel& kernel : dot_i8_kernels()) {
        for (std::size_t n : lengths) {
            // One byte of offset keeps loads unaligned.
            std::vector<std::int8_t> a = random_codes(n + 1, rng);
            std::vector<std::int8_t> b = random_codes(n + 1, rng);
            EXPECT_EQ(kernel.dot(a.data() + 1, b.data() + 1, n),
                      dot_i8_reference(a.data() + 1, b.data() + 1, n))
                << kernel.name << " n=" << n;

            for (std::int8_t fill : {std::int8_t{-128}, std::int8_t{127}}) {
                const std::vector<std::int8_t> lo(n, -128);
                const std::vector<std::int8_t> same(n, fill);
                EXPECT_EQ(kernel.dot(lo.data(), same.data(), n), dot_i8_reference(lo.data(), same.data(), n))
                    << kernel.name << " n=" << n << " fill=" << int(fill);
            }
        }
    }
}

TEST(DotI8, EveryVariantScoresRunsOfRowsLikeSingleCalls) {
    std::mt19937 rng(11);
    for (const DotI8Kernel& kernel : dot_i8_kernels()) {
        for (std::size_t n :
             {std::size_t{0}, std::size_t{17}, std::size_t{64}, std::size_t{384}, std::size_t{385}}) {
            const std::size_t row_count = 9;
            const std::vector<std::int8_t> query = random_codes(n, rng);
            const std::vector<std::int8_t> codes = random_codes(n * row_count, rng);

            std::vector<std::int32_t> expected(row_count);
            for (std::size_t r = 0; r < row_count; ++r) {
                expected[r] = dot_i8_reference(query.data(), codes.data() + r * n, n);
            }
            std::vector<std::int32_t> out(row_count - 2);
            kernel.dot_rows(query.data(), codes.data(), n, nullptr, 2, out.size(), out.data());
            EXPECT_EQ(out, std::vector<std::int32_t>(expected.begin() + 2, expected.end()))
                << kernel.name << " n=" << n;

            const std::vector<std::size_t> rows = {8, 0, 8, 3};
            std::vector<std::int32_t> listed(rows.size());
            kernel.dot_rows(query.data(), codes.data(), n, rows.data(), 0, rows.size(), listed.data());
            EXPECT_EQ(listed, (std::vector<std::int32_t>{expected[8], expected[0], expected[8], expected[3]}))
                << kernel.name << " n=" << n;
        }
    }
}

TEST(DotI8, SumsWrapModulo32BitsInEveryVariant) {
    // 131072 products of 16384 sum to 2^31, one past the largest int32.
    const std::vector<std::int8_t> lo(131072, -128);
    for (const DotI8Kernel& kernel : dot_i8_kernels()) {
        EXPECT_EQ(kernel.dot(lo.data(), lo.data(), lo.size()), INT32_MIN) << kernel.name;
    }
    EXPECT_EQ(tessarin_dot_i8_aarch64_dotprod(lo.data(), lo.data(), lo.size()), INT32_MIN);
}

}  // namespace
}  // namespace tessarin
