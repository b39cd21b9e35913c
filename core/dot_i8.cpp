#include "core/dot_i8.h"

#include <array>  // std::array

#if defined(__x86_64__)
// GCC 12's "undefined register" helpers trip -Wuninitialized inside its own headers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define TESSARIN_DOT_I8_X86 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#if defined(__linux__)
#include <sys/auxv.h>  // getauxval
#ifndef HWCAP_ASIMDDP
#define HWCAP_ASIMDDP (1 << 20)
#endif
#endif
#define TESSARIN_DOT_I8_ARM 1
#endif

namespace tessarin {
namespace {

// Products of two int8 fit in 15 bits plus sign; sums are taken modulo 2^32 so that
// every variant wraps the same way.
inline std::uint32_t product(std::int8_t a, std::int8_t b) noexcept {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(a) * static_cast<std::int32_t>(b));
}

inline std::uint32_t tail_sum(const std::int8_t* a, const std::int8_t* b, std::size_t from,
                              std::size_t n) noexcept {
    std::uint32_t sum = 0;
    for (std::size_t i = from; i < n; ++i) sum += product(a[i], b[i]);
    return sum;
}

// A row-at-a-time kernel does not keep enough reads in flight for the hardware
// prefetcher to stream at full speed, so each run asks for the row about a
// kilobyte ahead while it works on the current one.
constexpr std::size_t kPrefetchBytes = 1024;

inline std::size_t prefetch_rows_ahead(std::size_t n) noexcept {
    return n == 0 ? 0 : (kPrefetchBytes + n - 1) / n;
}

// Always inlined: as separate functions without side effects GCC drops the calls.
[[gnu::always_inline]] inline void prefetch_row(const std::int8_t* row, std::size_t n) noexcept {
    for (std::size_t offset = 0; offset < n; offset += 64) __builtin_prefetch(row + offset);
}

// Prefetches the row `ahead` places after i in the run, if the run has one.
[[gnu::always_inline]] inline void prefetch_ahead(const std::int8_t* codes, std::size_t n,
                                                  const std::size_t* rows, std::size_t first_row,
                                                  std::size_t count, std::size_t i,
                                                  std::size_t ahead) noexcept {
    if (ahead == 0 || i + ahead >= count) return;
    prefetch_row(codes + (rows ? rows[i + ahead] : first_row + i + ahead) * n, n);
}

void dot_rows_reference(const std::int8_t* query, const std::int8_t* codes, std::size_t n,
                        const std::size_t* rows, std::size_t first_row, std::size_t count,
                        std::int32_t* out) noexcept {
    const std::size_t ahead = prefetch_rows_ahead(n);
    for (std::size_t i = 0; i < count; ++i) {
        prefetch_ahead(codes, n, rows, first_row, count, i, ahead);
        const std::size_t row = rows ? rows[i] : first_row + i;
        out[i] = dot_i8_reference(query, codes + row * n, n);
    }
}

#if TESSARIN_DOT_I8_X86

// vpdpbusd multiplies unsigned by signed bytes. Flipping the top bit of a turns it
// into a + 128 as an unsigned byte, so sum((a + 128) * b) - 128 * sum(b) is the
// signed dot product, exact modulo 2^32 (the instruction itself never saturates).
#define TESSARIN_AVX512_VNNI __attribute__((target("avx512f,avx512bw,avx512vnni,bmi2")))

TESSARIN_AVX512_VNNI inline __mmask64 tail_mask(std::size_t remaining) noexcept {
    return _bzhi_u64(~0ull, static_cast<unsigned>(remaining));
}

TESSARIN_AVX512_VNNI inline std::uint32_t reduce_avx512(__m512i v) noexcept {
    v = _mm512_add_epi32(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    v = _mm512_add_epi32(v, _mm512_shuffle_i64x2(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
    __m128i s = _mm512_castsi512_si128(v);
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s));
}

// sum((a_i + 128) * b_i) for one row; masked-off tail bytes load as zero, so they
// contribute 128 * 0.
TESSARIN_AVX512_VNNI inline std::uint32_t biased_dot_avx512(const std::int8_t* a, const std::int8_t* b,
                                                            std::size_t n) noexcept {
    const __m512i flip = _mm512_set1_epi8(static_cast<char>(0x80));
    __m512i acc0 = _mm512_setzero_si512();
    __m512i acc1 = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; i + 128 <= n; i += 128) {
        acc0 = _mm512_dpbusd_epi32(acc0, _mm512_xor_si512(_mm512_loadu_si512(a + i), flip),
                                   _mm512_loadu_si512(b + i));
        acc1 = _mm512_dpbusd_epi32(acc1, _mm512_xor_si512(_mm512_loadu_si512(a + i + 64), flip),
                                   _mm512_loadu_si512(b + i + 64));
    }
    if (i + 64 <= n) {
        acc0 = _mm512_dpbusd_epi32(acc0, _mm512_xor_si512(_mm512_loadu_si512(a + i), flip),
                                   _mm512_loadu_si512(b + i));
        i += 64;
    }
    if (i < n) {
        const __mmask64 mask = tail_mask(n - i);
        acc1 = _mm512_dpbusd_epi32(acc1, _mm512_xor_si512(_mm512_maskz_loadu_epi8(mask, a + i), flip),
                                   _mm512_maskz_loadu_epi8(mask, b + i));
    }
    return reduce_avx512(_mm512_add_epi32(acc0, acc1));
}

// 128 * sum(b), modulo 2^32.
TESSARIN_AVX512_VNNI inline std::uint32_t bias_avx512(const std::int8_t* b, std::size_t n) noexcept {
    const __m512i ones = _mm512_set1_epi8(1);
    __m512i acc = _mm512_setzero_si512();
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) acc = _mm512_dpbusd_epi32(acc, ones, _mm512_loadu_si512(b + i));
    if (i < n) acc = _mm512_dpbusd_epi32(acc, ones, _mm512_maskz_loadu_epi8(tail_mask(n - i), b + i));
    return 128u * reduce_avx512(acc);
}

TESSARIN_AVX512_VNNI std::int32_t dot_avx512_vnni(const std::int8_t* a, const std::int8_t* b,
                                                  std::size_t n) noexcept {
    return static_cast<std::int32_t>(biased_dot_avx512(a, b, n) - bias_avx512(b, n));
}

TESSARIN_AVX512_VNNI void dot_rows_avx512_vnni(const std::int8_t* query, const std::int8_t* codes,
                                               std::size_t n, const std::size_t* rows, std::size_t first_row,
                                               std::size_t count, std::int32_t* out) noexcept {
    const std::uint32_t bias = bias_avx512(query, n);
    const std::size_t ahead = prefetch_rows_ahead(n);
    if (rows) {
        for (std::size_t i = 0; i < count; ++i) {
            if (i + ahead < count) prefetch_row(codes + rows[i + ahead] * n, n);
            out[i] = static_cast<std::int32_t>(biased_dot_avx512(codes + rows[i] * n, query, n) - bias);
        }
        return;
    }
    // Consecutive rows: the row `ahead` places on lies ahead * n bytes further.
    const std::int8_t* row = codes + first_row * n;
    const std::size_t prefetch_count = count > ahead ? count - ahead : 0;
    std::size_t i = 0;
    for (; i < prefetch_count; ++i, row += n) {
        prefetch_row(row + ahead * n, n);
        out[i] = static_cast<std::int32_t>(biased_dot_avx512(row, query, n) - bias);
    }
    for (; i < count; ++i, row += n) {
        out[i] = static_cast<std::int32_t>(biased_dot_avx512(row, query, n) - bias);
    }
}

// The same identity on 256-bit registers with the VEX-encoded instruction, for
// processors that have it without AVX-512.
#define TESSARIN_AVX_VNNI __attribute__((target("avx2,avxvnni")))

TESSARIN_AVX_VNNI inline std::uint32_t reduce_avx2(__m256i v) noexcept {
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s));
}

// Returns sum((a_i + 128) * b_i) over the whole 32-byte blocks; the tail is the caller's.
TESSARIN_AVX_VNNI inline std::uint32_t biased_dot_avxvnni(const std::int8_t* a, const std::int8_t* b,
                                                          std::size_t blocks_end) noexcept {
    const __m256i flip = _mm256_set1_epi8(static_cast<char>(0x80));
    __m256i acc0 = _mm256_setzero_si256();
    __m256i acc1 = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 64 <= blocks_end; i += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + 32));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32));
        acc0 = _mm256_dpbusd_avx_epi32(acc0, _mm256_xor_si256(a0, flip), b0);
        acc1 = _mm256_dpbusd_avx_epi32(acc1, _mm256_xor_si256(a1, flip), b1);
    }
    if (i < blocks_end) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
        acc0 = _mm256_dpbusd_avx_epi32(acc0, _mm256_xor_si256(a0, flip), b0);
    }
    return reduce_avx2(_mm256_add_epi32(acc0, acc1));
}

TESSARIN_AVX_VNNI inline std::uint32_t bias_avxvnni(const std::int8_t* b, std::size_t blocks_end) noexcept {
    const __m256i ones = _mm256_set1_epi8(1);
    __m256i acc = _mm256_setzero_si256();
    for (std::size_t i = 0; i < blocks_end; i += 32) {
        acc = _mm256_dpbusd_avx_epi32(acc, ones, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)));
    }
    return 128u * reduce_avx2(acc);
}

TESSARIN_AVX_VNNI std::int32_t dot_avx_vnni(const std::int8_t* a, const std::int8_t* b,
                                            std::size_t n) noexcept {
    const std::size_t blocks_end = n & ~std::size_t{31};
    return static_cast<std::int32_t>(biased_dot_avxvnni(a, b, blocks_end) - bias_avxvnni(b, blocks_end) +
                                     tail_sum(a, b, blocks_end, n));
}

TESSARIN_AVX_VNNI void dot_rows_avx_vnni(const std::int8_t* query, const std::int8_t* codes, std::size_t n,
                                         const std::size_t* rows, std::size_t first_row, std::size_t count,
                                         std::int32_t* out) noexcept {
    const std::size_t blocks_end = n & ~std::size_t{31};
    const std::uint32_t bias = bias_avxvnni(query, blocks_end);
    const std::size_t ahead = prefetch_rows_ahead(n);
    for (std::size_t i = 0; i < count; ++i) {
        prefetch_ahead(codes, n, rows, first_row, count, i, ahead);
        const std::int8_t* row = codes + (rows ? rows[i] : first_row + i) * n;
        out[i] = static_cast<std::int32_t>(biased_dot_avxvnni(row, query, blocks_end) - bias +
                                           tail_sum(row, query, blocks_end, n));
    }
}

// Without VNNI: widen to 16 bits and multiply-add pairs into 32-bit lanes, which is
// exact for every int8 input (unlike the saturating unsigned-by-signed byte form).
#define TESSARIN_AVX2 __attribute__((target("avx2")))

TESSARIN_AVX2 inline std::uint32_t dot_blocks_avx2(const std::int8_t* a, const std::int8_t* b,
                                                   std::size_t blocks_end) noexcept {
    __m256i acc0 = _mm256_setzero_si256();
    __m256i acc1 = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 32 <= blocks_end; i += 32) {
        const __m256i a0 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
        const __m256i b0 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        const __m256i a1 =
            _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + 16)));
        const __m256i b1 =
            _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + 16)));
        acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(a0, b0));
        acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(a1, b1));
    }
    if (i < blocks_end) {
        const __m256i a0 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)));
        const __m256i b0 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
        acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(a0, b0));
    }
    acc0 = _mm256_add_epi32(acc0, acc1);
    __m128i s = _mm_add_epi32(_mm256_castsi256_si128(acc0), _mm256_extracti128_si256(acc0, 1));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(1, 0, 3, 2)));
    s = _mm_add_epi32(s, _mm_shuffle_epi32(s, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s));
}

TESSARIN_AVX2 std::int32_t dot_avx2(const std::int8_t* a, const std::int8_t* b, std::size_t n) noexcept {
    const std::size_t blocks_end = n & ~std::size_t{15};
    return static_cast<std::int32_t>(dot_blocks_avx2(a, b, blocks_end) + tail_sum(a, b, blocks_end, n));
}

TESSARIN_AVX2 void dot_rows_avx2(const std::int8_t* query, const std::int8_t* codes, std::size_t n,
                                 const std::size_t* rows, std::size_t first_row, std::size_t count,
                                 std::int32_t* out) noexcept {
    const std::size_t blocks_end = n & ~std::size_t{15};
    const std::size_t ahead = prefetch_rows_ahead(n);
    for (std::size_t i = 0; i < count; ++i) {
        prefetch_ahead(codes, n, rows, first_row, count, i, ahead);
        const std::int8_t* row = codes + (rows ? rows[i] : first_row + i) * n;
        out[i] = static_cast<std::int32_t>(dot_blocks_avx2(row, query, blocks_end) +
                                           tail_sum(row, query, blocks_end, n));
    }
}

#endif  // TESSARIN_DOT_I8_X86

#if TESSARIN_DOT_I8_ARM

#if defined(__clang__)
#define TESSARIN_ARM_DOTPROD __attribute__((target("dotprod")))
#else
#define TESSARIN_ARM_DOTPROD __attribute__((target("arch=armv8.2-a+dotprod")))
#endif

// Blocks of 16 bytes through the signed dot-product instruction into four 32-bit
// lanes, then the remaining n mod 16 pairs one by one.
TESSARIN_ARM_DOTPROD inline std::uint32_t dot_blocks_dotprod(const std::int8_t* a, const std::int8_t* b,
                                                             std::size_t blocks_end) noexcept {
    int32x4_t acc0 = vdupq_n_s32(0);
    int32x4_t acc1 = vdupq_n_s32(0);
    std::size_t i = 0;
    for (; i + 32 <= blocks_end; i += 32) {
        acc0 = vdotq_s32(acc0, vld1q_s8(a + i), vld1q_s8(b + i));
        acc1 = vdotq_s32(acc1, vld1q_s8(a + i + 16), vld1q_s8(b + i + 16));
    }
    if (i < blocks_end) acc0 = vdotq_s32(acc0, vld1q_s8(a + i), vld1q_s8(b + i));
    // Lane sums wrap like the scalar sum; add them as unsigned to keep that defined.
    const uint32x4_t sum = vaddq_u32(vreinterpretq_u32_s32(acc0), vreinterpretq_u32_s32(acc1));
    return vaddvq_u32(sum);
}

TESSARIN_ARM_DOTPROD std::int32_t dot_arm_dotprod(const std::int8_t* a, const std::int8_t* b,
                                                  std::size_t n) noexcept {
    const std::size_t blocks_end = n & ~std::size_t{15};
    return static_cast<std::int32_t>(dot_blocks_dotprod(a, b, blocks_end) + tail_sum(a, b, blocks_end, n));
}

TESSARIN_ARM_DOTPROD void dot_rows_arm_dotprod(const std::int8_t* query, const std::int8_t* codes,
                                               std::size_t n, const std::size_t* rows, std::size_t first_row,
                                               std::size_t count, std::int32_t* out) noexcept {
    const std::size_t blocks_end = n & ~std::size_t{15};
    const std::size_t ahead = prefetch_rows_ahead(n);
    for (std::size_t i = 0; i < count; ++i) {
        prefetch_ahead(codes, n, rows, first_row, count, i, ahead);
        const std::int8_t* row = codes + (rows ? rows[i] : first_row + i) * n;
        out[i] = static_cast<std::int32_t>(dot_blocks_dotprod(row, query, blocks_end) +
                                           tail_sum(row, query, blocks_end, n));
    }
}

// The instructions are optional before ARMv8.4, so they are used only when the
// processor reports them; anything else would stop the process on older cores.
bool arm_has_dotprod() noexcept {
#if defined(__ARM_FEATURE_DOTPROD)
    return true;
#elif defined(__linux__)
    return (getauxval(AT_HWCAP) & HWCAP_ASIMDDP) != 0;
#elif defined(__APPLE__)
    return true;  // every 64-bit Apple core has them
#else
    return false;
#endif
}

#endif  // TESSARIN_DOT_I8_ARM

struct KernelTable {
    std::array<DotI8Kernel, 4> kernels{};
    std::size_t count = 0;

    void add(std::string_view name, DotI8Kernel::Dot dot, DotI8Kernel::DotRows dot_rows) noexcept {
        kernels[count++] = DotI8Kernel{name, dot, dot_rows};
    }
};

KernelTable detect_kernels() noexcept {
    KernelTable table;
#if TESSARIN_DOT_I8_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512vnni") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("bmi2")) {
        table.add("avx512-vnni", &dot_avx512_vnni, &dot_rows_avx512_vnni);
    }
    if (__builtin_cpu_supports("avxvnni") && __builtin_cpu_supports("avx2")) {
        table.add("avx-vnni", &dot_avx_vnni, &dot_rows_avx_vnni);
    }
    if (__builtin_cpu_supports("avx2")) table.add("avx2", &dot_avx2, &dot_rows_avx2);
#elif TESSARIN_DOT_I8_ARM
    if (arm_has_dotprod()) table.add("arm-dotprod", &dot_arm_dotprod, &dot_rows_arm_dotprod);
#endif
    table.add("portable", &dot_i8_reference, &dot_rows_reference);
    return table;
}

const KernelTable& kernel_table() noexcept {
    static const KernelTable table = detect_kernels();
    return table;
}

}  // namespace

std::int32_t dot_i8_reference(const std::int8_t* a, const std::int8_t* b, std::size_t n) noexcept {
    return static_cast<std::int32_t>(tail_sum(a, b, 0, n));
}

const DotI8Kernel& dot_i8_kernel() noexcept {
    return kernel_table().kernels[0];
}

std::span<const DotI8Kernel> dot_i8_kernels() noexcept {
    const KernelTable& table = kernel_table();
    return {table.kernels.data(), table.count};
}

}  // namespace tessarin

extern "C" std::int32_t tessarin_dot_i8_aarch64_dotprod(const std::int8_t* a, const std::int8_t* b,
                                                        std::size_t n) noexcept {
    // Resolved once; later calls go straight through the cached pointer.
    static const tessarin::DotI8Kernel::Dot dot = tessarin::dot_i8_kernel().dot;
    return dot(a, b, n);
}
