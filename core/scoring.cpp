#include "core/scoring.h"
#include "core/text.h"

#include <simsimd/simsimd.h>

#include <algorithm>  // std::min, std::max_element
#include <bit>        // std::endian, std::bit_cast
#include <cmath>      // std::fabs, std::isfinite, std::isnan, std::sqrt
#include <cstdlib>    // std::aligned_alloc, std::malloc, std::free
#include <cstring>    // std::memcpy
#include <limits>     // std::numeric_limits
#include <string>     // std::to_string
#include <utility>    // std::move

#include "core/dot_i8.h"

#if defined(__linux__)
#include <sys/mman.h>  // madvise
#endif

namespace tessarin {

namespace detail {

void* allocate_rows(std::size_t bytes) noexcept {
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    // Below a few huge pages the alignment would waste more than it saves.
    if (bytes < 2 * huge_page) return std::malloc(bytes == 0 ? 1 : bytes);
    if (bytes > static_cast<std::size_t>(-1) - huge_page) return nullptr;
    const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
    void* p = std::aligned_alloc(huge_page, rounded);
#if defined(MADV_HUGEPAGE)
    // Only advice: where huge pages are off or unavailable the memory works as usual.
    if (p != nullptr) (void)madvise(p, rounded, MADV_HUGEPAGE);
#endif
    return p;
}

void release_rows(void* p) noexcept { std::free(p); }

}  // namespace detail
namespace {

TessarinError binary_quantized_unsupported() {
    return errors::UnsupportedEncoding{"BinaryQuantized"};
}

// ---- SimSIMD kernels -------------------------------------------------------------

using DotF32 = void (*)(const simsimd_f32_t*, const simsimd_f32_t*, simsimd_size_t, simsimd_distance_t*);
using DotF16 = void (*)(const simsimd_f16_t*, const simsimd_f16_t*, simsimd_size_t, simsimd_distance_t*);
using DotBF16 = void (*)(const simsimd_bf16_t*, const simsimd_bf16_t*, simsimd_size_t, simsimd_distance_t*);

static_assert(sizeof(simsimd_f16_t) == sizeof(std::uint16_t) &&
              sizeof(simsimd_bf16_t) == sizeof(std::uint16_t));

// The kernels SimSIMD's dispatching entry points would call, looked up the same way
// (same capabilities, any allowed) once per process, so a scan pays no dispatch per
// row and gets bit-identical results. The entry points themselves stand in should a
// lookup ever come back empty.
struct SimsimdDots {
    DotF32 f32;
    DotF16 f16;
    DotBF16 bf16;
};

template <typename Kernel>
Kernel find_dot(simsimd_datatype_t datatype, Kernel fallback) noexcept {
    simsimd_kernel_punned_t kernel = nullptr;
    simsimd_capability_t used = simsimd_cap_serial_k;
    simsimd_find_kernel_punned(simsimd_metric_dot_k, datatype, simsimd_capabilities(), simsimd_cap_any_k,
                               &kernel, &used);
    // The detour through a generic function pointer type is the sanctioned way to
    // convert between function pointer types; the kernel really has type Kernel.
    return kernel ? reinterpret_cast<Kernel>(reinterpret_cast<void (*)()>(kernel)) : fallback;
}

const SimsimdDots& simsimd_dots() noexcept {
    static const SimsimdDots dots{
        find_dot<DotF32>(simsimd_datatype_f32_k, &simsimd_dot_f32),
        find_dot<DotF16>(simsimd_datatype_f16_k, &simsimd_dot_f16),
        find_dot<DotBF16>(simsimd_datatype_bf16_k, &simsimd_dot_bf16),
    };
    return dots;
}

// SimSIMD's entry points are declared non-null; an empty row or query (dimension 0)
// is passed as this instead of a null data pointer.
template <typename T>
const T* non_null(const T* p) noexcept {
    static const T zero{};
    return p ? p : &zero;
}

// ---- Arithmetic ------------------------------------------------------------------

// Products and sums are separate statements so no compiler fuses them into an FMA:
// the documented score is the f32 product rounded, then the f32 sum rounded.
float plain_dot_f32(const float* q, const float* r, std::size_t n) noexcept {
    float sum = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float product = q[i] * r[i];
        sum = sum + product;
    }
    return sum;
}

float plain_dot_i8(const std::int8_t* q, const std::int8_t* r, std::size_t n) noexcept {
    float sum = -0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float product = static_cast<float>(q[i]) * static_cast<float>(r[i]);
        sum = sum + product;
    }
    return sum;
}

inline float i8_score(float row_scale, float dot, float query_scale) noexcept {
    const float scaled = dot * query_scale;
    return row_scale * scaled;
}

// Round half away from zero, clamp, NaN to 0.
// Without a rounding instruction in the baseline ISA, std::round is a library call
// per element; this is the same rounding for the range that is not clamped anyway.
inline std::int8_t quantize(float value, float inv) noexcept {
    const float product = value * inv;
    if (std::isnan(product)) return 0;
    if (product >= 126.5f) return 127;    // rounds to 127 or more
    if (product <= -127.5f) return -128;  // rounds to -128 or less
    const int truncated = static_cast<int>(product);
    const float fraction = product - static_cast<float>(truncated);  // exact
    // Without branches: which way a fraction goes is as good as random.
    return static_cast<std::int8_t>(truncated + static_cast<int>(fraction >= 0.5f) -
                                    static_cast<int>(fraction <= -0.5f));
}

// Appends the codes of v and returns its scale.
float quantize_into(std::span<const float> v, std::int8_t* codes) noexcept {
    float max_abs = 0.0f;
    for (float x : v) {
        const float magnitude = std::fabs(x);
        if (magnitude > max_abs) max_abs = magnitude;  // false for NaN: NaN never wins
    }
    if (max_abs == 0.0f) {
        std::fill(codes, codes + v.size(), std::int8_t{0});
        return 0.0f;
    }
    const float scale = max_abs / 127.0f;
    const float inv = 1.0f / scale;
    for (std::size_t i = 0; i < v.size(); ++i) codes[i] = quantize(v[i], inv);
    return scale;
}

// ---- Row scorers: one per encoding, everything resolved before the first row ----

struct F32Scorer {
    const float* query;
    std::size_t query_len;
    const float* rows;
    std::size_t dimension;
    DotF32 dot;

    const void* row_data(std::size_t row) const noexcept { return rows + row * dimension; }
    std::size_t row_bytes() const noexcept { return dimension * sizeof(float); }

    float operator()(std::size_t row) const noexcept {
        const float* r = rows + row * dimension;
        if (query_len == dimension) {
            simsimd_distance_t result = 0;
            dot(non_null(query), non_null(r), dimension, &result);
            const float score = static_cast<float>(result);
            if (std::isfinite(score)) return score;
        }
        return plain_dot_f32(query, r, std::min(dimension, query_len));
    }
};

template <typename Element, typename Kernel>
struct HalfScorer {
    const Element* query;
    std::size_t query_len;
    const Element* rows;
    std::size_t dimension;
    Kernel dot;

    const void* row_data(std::size_t row) const noexcept { return rows + row * dimension; }
    std::size_t row_bytes() const noexcept { return dimension * sizeof(Element); }

    float operator()(std::size_t row) const noexcept {
        if (query_len != dimension) return 0.0f;
        simsimd_distance_t result = 0;
        dot(non_null(query), non_null(rows + row * dimension), dimension, &result);
        const float score = static_cast<float>(result);
        return std::isfinite(score) ? score : 0.0f;
    }
};
using F16Scorer = HalfScorer<simsimd_f16_t, DotF16>;
using BF16Scorer = HalfScorer<simsimd_bf16_t, DotBF16>;

// The per-row path of the int8 arithmetic; whole runs go through `score_i8_rows`.
struct I8Scorer {
    const EncodedQuery::I8ScalarQuantized& query;
    const EncodedVectorStore::I8ScalarQuantized& store;
    std::size_t dimension;

    const void* row_data(std::size_t row) const noexcept { return store.codes.data() + row * dimension; }
    std::size_t row_bytes() const noexcept { return dimension; }

    float operator()(std::size_t row) const noexcept {
        const std::int8_t* r = store.codes.data() + row * dimension;
        float dot;
        if (query.codes.size() == dimension) {
            dot = static_cast<float>(tessarin_dot_i8_aarch64_dotprod(query.codes.data(), r, dimension));
        } else {
            dot = plain_dot_i8(query.codes.data(), r, std::min(dimension, query.codes.size()));
        }
        return i8_score(store.scales[row], dot, query.scale);
    }
};

const simsimd_f16_t* as_simsimd_f16(const std::uint16_t* p) noexcept {
    return reinterpret_cast<const simsimd_f16_t*>(p);
}
const simsimd_bf16_t* as_simsimd_bf16(const std::uint16_t* p) noexcept {
    return reinterpret_cast<const simsimd_bf16_t*>(p);
}

// Rows of a run: either consecutive from `first` or listed.
struct RowList {
    const std::size_t* rows;  // null: consecutive
    std::size_t first;
    std::size_t operator[](std::size_t i) const noexcept { return rows ? rows[i] : first + i; }
};

// A row-at-a-time kernel does not keep enough reads in flight for the hardware
// prefetcher to stream at full speed, so runs ask for the bytes about a kilobyte
// ahead while they score the current row (the int8 kernels do the same).
constexpr std::size_t kPrefetchBytes = 1024;

// Always inlined: as a separate function without side effects GCC drops the calls.
[[gnu::always_inline]] inline void prefetch_bytes(std::uintptr_t from, std::uintptr_t to) noexcept {
    // Addresses as integers: the range may lie past the run, where a pointer may not point.
    for (std::uintptr_t at = from; at < to; at += 64) __builtin_prefetch(reinterpret_cast<const void*>(at));
}

template <typename Scorer>
void score_each(const Scorer& scorer, RowList rows, std::span<float> out) noexcept {
    const std::size_t row_bytes = scorer.row_bytes();
    if (out.empty()) return;
    if (!rows.rows) {
        // Consecutive rows: the next kilobyte after the current row's start, within the run.
        const auto end =
            reinterpret_cast<std::uintptr_t>(scorer.row_data(rows.first + out.size() - 1)) + row_bytes;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const auto ahead =
                reinterpret_cast<std::uintptr_t>(scorer.row_data(rows.first + i)) + kPrefetchBytes;
            prefetch_bytes(ahead, std::min(ahead + row_bytes, end));
            out[i] = scorer(rows.first + i);
        }
        return;
    }
    // Listed rows: the row about a kilobyte further down the list.
    const std::size_t ahead = row_bytes == 0 ? 0 : std::max<std::size_t>(1, kPrefetchBytes / row_bytes);
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (ahead != 0 && i + ahead < out.size()) {
            const auto next = reinterpret_cast<std::uintptr_t>(scorer.row_data(rows.rows[i + ahead]));
            prefetch_bytes(next, next + row_bytes);
        }
        out[i] = scorer(rows.rows[i]);
    }
}

// Whole-query int8 runs: the kernel works through blocks of rows, then the scales
// are applied, so the per-row cost is the integer dot product and two products.
void score_i8_rows(const EncodedQuery::I8ScalarQuantized& query,
                   const EncodedVectorStore::I8ScalarQuantized& store, std::size_t dimension, RowList rows,
                   std::span<float> out) noexcept {
    if (query.codes.size() != dimension) {
        score_each(I8Scorer{query, store, dimension}, rows, out);
        return;
    }
    const DotI8Kernel::DotRows dot_rows = dot_i8_kernel().dot_rows;
    constexpr std::size_t block = 256;
    std::int32_t dots[block];
    for (std::size_t done = 0; done < out.size(); done += block) {
        const std::size_t count = std::min(block, out.size() - done);
        dot_rows(query.codes.data(), store.codes.data(), dimension, rows.rows ? rows.rows + done : nullptr,
                 rows.first + done, count, dots);
        // Plain pointers: through the vectors GCC must assume `out` may alias the
        // scales and will not vectorize the contiguous case.
        float* const scored = out.data() + done;
        const float* const scales = store.scales.data();
        const float query_scale = query.scale;
        if (rows.rows) {
            const std::size_t* const listed = rows.rows + done;
            for (std::size_t i = 0; i < count; ++i) {
                scored[i] = i8_score(scales[listed[i]], static_cast<float>(dots[i]), query_scale);
            }
        } else {
            const float* const run = scales + rows.first + done;
            for (std::size_t i = 0; i < count; ++i) {
                scored[i] = i8_score(run[i], static_cast<float>(dots[i]), query_scale);
            }
        }
    }
}

// The end of row `row` (its last element + 1) if computing it does not overflow.
std::optional<std::size_t> row_end(std::size_t row, std::size_t dimension) noexcept {
    std::size_t start = 0;
    std::size_t end = 0;
    if (__builtin_mul_overflow(row, dimension, &start) || __builtin_add_overflow(start, dimension, &end)) {
        return std::nullopt;
    }
    return end;
}

bool row_available(const EncodedVectorStore::Variant& store, std::size_t row,
                   std::size_t dimension) noexcept {
    const auto end = row_end(row, dimension);
    if (!end) return false;
    return std::visit(Overloaded{
                          [&](const EncodedVectorStore::F32& s) { return *end <= s.values.size(); },
                          [&](const EncodedVectorStore::F16& s) { return *end <= s.bits.size(); },
                          [&](const EncodedVectorStore::BF16& s) { return *end <= s.bits.size(); },
                          [&](const EncodedVectorStore::I8ScalarQuantized& s) {
                              return *end <= s.codes.size() && row < s.scales.size();
                          },
                      },
                      store);
}

// Runs the scorer of the store's encoding over the rows; false when the query is of
// another encoding. Rows have been checked.
bool score_checked(const EncodedVectorStore::Variant& store, const EncodedQuery::Variant& query,
                   std::size_t dimension, RowList rows, std::span<float> out) noexcept {
    const SimsimdDots& dots = simsimd_dots();
    return std::visit(
        Overloaded{
            [&](const EncodedVectorStore::F32& s, const EncodedQuery::F32& q) {
                score_each(F32Scorer{q.values.data(), q.values.size(), s.values.data(), dimension, dots.f32},
                           rows, out);
                return true;
            },
            [&](const EncodedVectorStore::F16& s, const EncodedQuery::F16& q) {
                score_each(F16Scorer{as_simsimd_f16(q.bits.data()), q.bits.size(),
                                     as_simsimd_f16(s.bits.data()), dimension, dots.f16},
                           rows, out);
                return true;
            },
            [&](const EncodedVectorStore::BF16& s, const EncodedQuery::BF16& q) {
                score_each(BF16Scorer{as_simsimd_bf16(q.bits.data()), q.bits.size(),
                                      as_simsimd_bf16(s.bits.data()), dimension, dots.bf16},
                           rows, out);
                return true;
            },
            [&](const EncodedVectorStore::I8ScalarQuantized& s, const EncodedQuery::I8ScalarQuantized& q) {
                score_i8_rows(q, s, dimension, rows, out);
                return true;
            },
            [](const auto&, const auto&) { return false; },
        },
        store, query);
}

// ---- Payload bytes ---------------------------------------------------------------

// Appends values as little-endian bytes.
template <typename T, typename A>
void append_le(std::vector<std::uint8_t>& out, const std::vector<T, A>& values) {
    const std::size_t at = out.size();
    out.resize(at + values.size() * sizeof(T));
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
        if (!values.empty()) std::memcpy(out.data() + at, values.data(), values.size() * sizeof(T));
    } else {
        using Bits = std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint32_t>;
        std::uint8_t* p = out.data() + at;
        for (const T& value : values) {
            const auto bits = std::bit_cast<Bits>(value);
            for (std::size_t b = 0; b < sizeof(T); ++b) *p++ = static_cast<std::uint8_t>(bits >> (8 * b));
        }
    }
}

template <typename T>
RowVector<T> read_le(const std::uint8_t* p, std::size_t count) {
    RowVector<T> values(count);
    if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
        if (count != 0) std::memcpy(values.data(), p, count * sizeof(T));
    } else {
        using Bits = std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint32_t>;
        for (T& value : values) {
            Bits bits = 0;
            for (std::size_t b = 0; b < sizeof(T); ++b) bits |= static_cast<Bits>(Bits{*p++} << (8 * b));
            value = std::bit_cast<T>(bits);
        }
    }
    return values;
}

template <typename T>
void append_row(RowVector<T>& to, const RowVector<T>& from, std::size_t row, std::size_t dimension) {
    const auto first = from.begin() + static_cast<std::ptrdiff_t>(row * dimension);
    to.insert(to.end(), first, first + static_cast<std::ptrdiff_t>(dimension));
}

// Reserves only what a vector can hold; larger requests are hints that cannot be met.
template <typename T>
void reserve_more(RowVector<T>& v, std::size_t more) {
    std::size_t total = 0;
    if (__builtin_add_overflow(v.size(), more, &total) || total > v.max_size()) return;
    if (total <= v.capacity()) return;
    // Grow geometrically: one upsert per document must not copy the whole store
    // every time (that made ingest quadratic).
    v.reserve(std::max(total, std::min(v.max_size(), v.capacity() * 2)));
}

}  // namespace

// ---- Queries ---------------------------------------------------------------------

std::uint16_t encode_f16(float value) noexcept {
    simsimd_f16_t bits{};
    simsimd_f32_to_f16(value, &bits);
    return static_cast<std::uint16_t>(bits);
}

std::uint16_t encode_bf16(float value) noexcept {
    simsimd_bf16_t bits{};
    simsimd_f32_to_bf16(value, &bits);
    return static_cast<std::uint16_t>(bits);
}

VectorEncoding EncodedQuery::encoding() const noexcept {
    return static_cast<VectorEncoding>(value_.index());
}

void scale_to_unit_length(std::span<float> v) noexcept {
    float sum = -0.0f;
    for (float x : v) {
        const float square = x * x;
        sum = sum + square;
    }
    if (sum == 0.0f) return;
    const float inv = 1.0f / std::sqrt(sum);
    for (float& x : v) x = x * inv;
}

Result<EncodedQuery> encode_query_embedding(VectorMetric metric, VectorEncoding encoding,
                                            std::span<const float> embedding) {
    if (encoding == VectorEncoding::BinaryQuantized) return binary_quantized_unsupported();
    std::vector<float> vector(embedding.begin(), embedding.end());
    if (metric == VectorMetric::Cosine) scale_to_unit_length(vector);
    return encode_query_owned(encoding, std::move(vector));
}

Result<EncodedQuery> encode_query_owned(VectorEncoding encoding, std::vector<float> vector) {
    switch (encoding) {
        case VectorEncoding::F32:
            return EncodedQuery{EncodedQuery::F32{std::move(vector)}};
        case VectorEncoding::F16: {
            std::vector<std::uint16_t> bits(vector.size());
            for (std::size_t i = 0; i < vector.size(); ++i) bits[i] = encode_f16(vector[i]);
            return EncodedQuery{EncodedQuery::F16{std::move(bits)}};
        }
        case VectorEncoding::BF16: {
            std::vector<std::uint16_t> bits(vector.size());
            for (std::size_t i = 0; i < vector.size(); ++i) bits[i] = encode_bf16(vector[i]);
            return EncodedQuery{EncodedQuery::BF16{std::move(bits)}};
        }
        case VectorEncoding::I8ScalarQuantized: {
            EncodedQuery::I8ScalarQuantized query;
            query.codes.resize(vector.size());
            query.scale = quantize_into(vector, query.codes.data());
            return EncodedQuery{std::move(query)};
        }
        case VectorEncoding::BinaryQuantized:
            break;
    }
    return binary_quantized_unsupported();
}

// ---- Store -----------------------------------------------------------------------

Result<EncodedVectorStore> EncodedVectorStore::create(VectorEncoding encoding) {
    switch (encoding) {
        case VectorEncoding::F32:
            return EncodedVectorStore{F32{}};
        case VectorEncoding::F16:
            return EncodedVectorStore{F16{}};
        case VectorEncoding::BF16:
            return EncodedVectorStore{BF16{}};
        case VectorEncoding::I8ScalarQuantized:
            return EncodedVectorStore{I8ScalarQuantized{}};
        case VectorEncoding::BinaryQuantized:
            break;
    }
    return binary_quantized_unsupported();
}

VectorEncoding EncodedVectorStore::encoding() const noexcept {
    return static_cast<VectorEncoding>(value_.index());
}

std::size_t EncodedVectorStore::element_count() const noexcept {
    return std::visit(Overloaded{
                          [](const F32& s) { return s.values.size(); },
                          [](const F16& s) { return s.bits.size(); },
                          [](const BF16& s) { return s.bits.size(); },
                          [](const I8ScalarQuantized& s) { return s.codes.size(); },
                      },
                      value_);
}

void EncodedVectorStore::push(std::span<const float> embedding) {
    std::visit(Overloaded{
                   [&](F32& s) { s.values.insert(s.values.end(), embedding.begin(), embedding.end()); },
                   [&](F16& s) {
                       for (float x : embedding) s.bits.push_back(encode_f16(x));
                   },
                   [&](BF16& s) {
                       for (float x : embedding) s.bits.push_back(encode_bf16(x));
                   },
                   [&](I8ScalarQuantized& s) {
                       const std::size_t at = s.codes.size();
                       s.scales.reserve(s.scales.size() + 1);  // both grow, or neither
                       s.codes.resize(at + embedding.size());
                       s.scales.push_back(quantize_into(embedding, s.codes.data() + at));
                   },
               },
               value_);
}

void EncodedVectorStore::reserve_rows(std::size_t rows, std::size_t dimension) {
    std::size_t elements = 0;
    const bool overflow = __builtin_mul_overflow(rows, dimension, &elements);
    std::visit(Overloaded{
                   [&](F32& s) {
                       if (!overflow) reserve_more(s.values, elements);
                   },
                   [&](F16& s) {
                       if (!overflow) reserve_more(s.bits, elements);
                   },
                   [&](BF16& s) {
                       if (!overflow) reserve_more(s.bits, elements);
                   },
                   [&](I8ScalarQuantized& s) {
                       if (!overflow) reserve_more(s.codes, elements);
                       reserve_more(s.scales, rows);
                   },
               },
               value_);
}

std::optional<float> EncodedVectorStore::score_at(const EncodedQuery& query, std::size_t row,
                                                  std::size_t dimension) const noexcept {
    if (query.encoding() != encoding() || !row_available(value_, row, dimension)) return std::nullopt;
    float score = 0.0f;
    const SimsimdDots& dots = simsimd_dots();
    std::visit(Overloaded{
                   [&](const F32& s, const EncodedQuery::F32& q) {
                       score = F32Scorer{q.values.data(), q.values.size(), s.values.data(), dimension,
                                         dots.f32}(row);
                   },
                   [&](const F16& s, const EncodedQuery::F16& q) {
                       score = F16Scorer{as_simsimd_f16(q.bits.data()), q.bits.size(),
                                         as_simsimd_f16(s.bits.data()), dimension, dots.f16}(row);
                   },
                   [&](const BF16& s, const EncodedQuery::BF16& q) {
                       score = BF16Scorer{as_simsimd_bf16(q.bits.data()), q.bits.size(),
                                          as_simsimd_bf16(s.bits.data()), dimension, dots.bf16}(row);
                   },
                   [&](const I8ScalarQuantized& s, const EncodedQuery::I8ScalarQuantized& q) {
                       score = I8Scorer{q, s, dimension}(row);
                   },
                   [](const auto&, const auto&) {},
               },
               value_, query.variant());
    return score;
}

bool EncodedVectorStore::score_rows(const EncodedQuery& query, std::size_t first_row, std::size_t dimension,
                                    std::span<float> out) const noexcept {
    if (query.encoding() != encoding()) return false;
    if (out.empty()) return true;
    // Rows are consecutive, so the last one being available covers them all.
    std::size_t last = 0;
    if (__builtin_add_overflow(first_row, out.size() - 1, &last) || !row_available(value_, last, dimension)) {
        return false;
    }
    return score_checked(value_, query.variant(), dimension, RowList{nullptr, first_row}, out);
}

bool EncodedVectorStore::score_rows(const EncodedQuery& query, std::span<const std::size_t> rows,
                                    std::size_t dimension, std::span<float> out) const noexcept {
    if (query.encoding() != encoding() || rows.size() != out.size()) return false;
    if (rows.empty()) return true;
    // Availability is monotone in the row, so checking the largest checks all.
    if (!row_available(value_, *std::max_element(rows.begin(), rows.end()), dimension)) return false;
    return score_checked(value_, query.variant(), dimension, RowList{rows.data(), 0}, out);
}

Result<EncodedVectorStore> EncodedVectorStore::select_rows(std::span<const std::size_t> rows,
                                                           std::size_t dimension) const {
    for (std::size_t row : rows) {
        if (!row_available(value_, row, dimension)) {
            return errors::InvalidFormat{"vector row " + std::to_string(row) +
                                         " is unavailable for compaction at dimension " +
                                         std::to_string(dimension) +
                                         "; reload the index from its last saved snapshot before "
                                         "retrying compaction"};
        }
    }
    // Every row is in range, so rows.size() * dimension cannot exceed what a
    // vector can address unless rows repeat absurdly; reserve_rows ignores that case.
    EncodedVectorStore selected{
        std::visit([](const auto& s) { return Variant{std::remove_cvref_t<decltype(s)>{}}; }, value_)};
    selected.reserve_rows(rows.size(), dimension);
    std::visit(Overloaded{
                   [&](F32& to, const F32& from) {
                       for (std::size_t row : rows) append_row(to.values, from.values, row, dimension);
                   },
                   [&](F16& to, const F16& from) {
                       for (std::size_t row : rows) append_row(to.bits, from.bits, row, dimension);
                   },
                   [&](BF16& to, const BF16& from) {
                       for (std::size_t row : rows) append_row(to.bits, from.bits, row, dimension);
                   },
                   [&](I8ScalarQuantized& to, const I8ScalarQuantized& from) {
                       for (std::size_t row : rows) {
                           append_row(to.codes, from.codes, row, dimension);
                           to.scales.push_back(from.scales[row]);
                       }
                   },
                   [](auto&, const auto&) {},
               },
               selected.value_, value_);
    return selected;
}

std::uint64_t EncodedVectorStore::estimated_payload_bytes() const noexcept {
    return std::visit(Overloaded{
                          [](const F32& s) { return saturating_mul(4, s.values.size()); },
                          [](const F16& s) { return saturating_mul(2, s.bits.size()); },
                          [](const BF16& s) { return saturating_mul(2, s.bits.size()); },
                          [](const I8ScalarQuantized& s) {
                              return saturating_add(s.codes.size(), saturating_mul(4, s.scales.size()));
                          },
                      },
                      value_);
}

std::vector<std::uint8_t> EncodedVectorStore::to_payload_bytes() const {
    std::vector<std::uint8_t> out;
    out.reserve(static_cast<std::size_t>(estimated_payload_bytes()));
    std::visit(Overloaded{
                   [&](const F32& s) { append_le(out, s.values); },
                   [&](const F16& s) { append_le(out, s.bits); },
                   [&](const BF16& s) { append_le(out, s.bits); },
                   [&](const I8ScalarQuantized& s) {
                       append_le(out, s.codes);
                       append_le(out, s.scales);
                   },
               },
               value_);
    return out;
}

Result<EncodedVectorStore> EncodedVectorStore::from_payload_bytes(VectorEncoding encoding,
                                                                  std::size_t vector_count,
                                                                  std::size_t dimension,
                                                                  std::span<const std::uint8_t> bytes) {
    std::size_t elements = 0;
    if (__builtin_mul_overflow(vector_count, dimension, &elements)) {
        return errors::InvalidFormat{"vector count and dimension overflow"};
    }
    if (encoding == VectorEncoding::BinaryQuantized) return binary_quantized_unsupported();

    // The expected length can overflow even when the element count does not; a
    // wrapped length could then match a short payload, so that is an overflow too.
    std::size_t expected = 0;
    bool overflow = false;
    switch (encoding) {
        case VectorEncoding::F32:
            overflow = __builtin_mul_overflow(elements, std::size_t{4}, &expected);
            break;
        case VectorEncoding::F16:
        case VectorEncoding::BF16:
            overflow = __builtin_mul_overflow(elements, std::size_t{2}, &expected);
            break;
        case VectorEncoding::I8ScalarQuantized: {
            std::size_t scale_bytes = 0;
            overflow = __builtin_mul_overflow(vector_count, std::size_t{4}, &scale_bytes) ||
                       __builtin_add_overflow(elements, scale_bytes, &expected);
            break;
        }
        case VectorEncoding::BinaryQuantized:
            break;
    }
    if (overflow) return errors::InvalidFormat{"vector count and dimension overflow"};
    if (bytes.size() != expected) {
        return errors::InvalidFormat{"vector payload size mismatch: expected " + std::to_string(expected) +
                                     " bytes, got " + std::to_string(bytes.size())};
    }

    switch (encoding) {
        case VectorEncoding::F32:
            return EncodedVectorStore{F32{read_le<float>(bytes.data(), elements)}};
        case VectorEncoding::F16:
            return EncodedVectorStore{F16{read_le<std::uint16_t>(bytes.data(), elements)}};
        case VectorEncoding::BF16:
            return EncodedVectorStore{BF16{read_le<std::uint16_t>(bytes.data(), elements)}};
        case VectorEncoding::I8ScalarQuantized:
            return EncodedVectorStore{
                I8ScalarQuantized{read_le<std::int8_t>(bytes.data(), elements),
                                  read_le<float>(bytes.data() + elements, vector_count)}};
        case VectorEncoding::BinaryQuantized:
            break;
    }
    return binary_quantized_unsupported();
}

}  // namespace tessarin
