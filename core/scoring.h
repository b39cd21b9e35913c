// Encoded vector rows and the similarity arithmetic. `EncodedVectorStore` keeps the
// embeddings of one index as one flat array per encoding (row r is elements r*d to
// r*d + d - 1; the store never records d), converts f32 input on `push`, scores
// rows against an `EncodedQuery`, and round-trips the exact bytes of the vectors
// payload. Scores are bit-for-bit those of the documented arithmetic: the 16-bit
// and f32 dot products come from SimSIMD's kernel for this processor, the int8
// dot product from the exact kernel of core/dot_i8.h. Nothing here throws except
// on memory exhaustion, prints or aborts; payload and row selection errors are
// `InvalidFormat` or `UnsupportedEncoding` values.
#pragma once

#include <cstddef>   // std::size_t
#include <cstdint>   // std::uint8_t, std::uint16_t, std::int8_t, std::uint64_t
#include <new>       // std::bad_alloc
#include <optional>  // std::optional
#include <span>      // std::span
#include <variant>   // std::variant
#include <vector>    // std::vector

#include "core/error.h"
#include "core/types.h"

namespace tessarin {

namespace detail {
void* allocate_rows(std::size_t bytes) noexcept;
void release_rows(void* p) noexcept;
}  // namespace detail

/// @brief Allocates the stores' row arrays. A scan streams through hundreds of
/// megabytes; on 4 KiB pages the hardware prefetcher stops at every page boundary
/// and the TLB misses on every page, so large arrays are aligned to 2 MiB and
/// advised to use huge pages before their first touch.
template <typename T>
struct RowAllocator {
    using value_type = T;
    RowAllocator() noexcept = default;
    template <typename U>
    RowAllocator(const RowAllocator<U>&) noexcept {}  // NOLINT: rebinding
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void* p = detail::allocate_rows(n * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { detail::release_rows(p); }
    friend bool operator==(const RowAllocator&, const RowAllocator&) noexcept { return true; }
};

/// A store's flat array of elements.
template <typename T>
using RowVector = std::vector<T, RowAllocator<T>>;

/// @brief A query brought into the encoding of the rows it is compared with.
class EncodedQuery {
public:
    struct F32 {
        std::vector<float> values;
    };
    struct F16 {
        std::vector<std::uint16_t> bits;  ///< binary16 patterns
    };
    struct BF16 {
        std::vector<std::uint16_t> bits;  ///< bfloat16 patterns
    };
    struct I8ScalarQuantized {
        std::vector<std::int8_t> codes;
        float scale = 0.0f;
    };
    using Variant = std::variant<F32, F16, BF16, I8ScalarQuantized>;

    EncodedQuery(Variant value) : value_(std::move(value)) {}  // NOLINT: tagged choice

    VectorEncoding encoding() const noexcept;
    const Variant& variant() const noexcept { return value_; }

private:
    Variant value_;
};

/// Scales v to unit L2 length in place: the sum of squares in element order in f32
/// from -0.0, then every element times 1 / sqrt(sum), unless the sum is 0.
void scale_to_unit_length(std::span<float> v) noexcept;

/// Copies the embedding, scales it to unit length for `Cosine`, then encodes it.
Result<EncodedQuery> encode_query_embedding(VectorMetric metric, VectorEncoding encoding,
                                            std::span<const float> embedding);

/// Encodes exactly as `EncodedVectorStore::push` encodes a row; fails only for
/// `BinaryQuantized`.
Result<EncodedQuery> encode_query_owned(VectorEncoding encoding, std::vector<float> vector);

/// The two encodings with a fixed conversion, one element at a time.
std::uint16_t encode_f16(float value) noexcept;
std::uint16_t encode_bf16(float value) noexcept;

/// @brief One index's embeddings, encoded, as a flat row-major array.
class EncodedVectorStore {
public:
    struct F32 {
        RowVector<float> values;
    };
    struct F16 {
        RowVector<std::uint16_t> bits;
    };
    struct BF16 {
        RowVector<std::uint16_t> bits;
    };
    struct I8ScalarQuantized {
        RowVector<std::int8_t> codes;  ///< d per row
        RowVector<float> scales;       ///< one per row
    };
    using Variant = std::variant<F32, F16, BF16, I8ScalarQuantized>;

    /// An empty store; `BinaryQuantized` has no store and fails with `UnsupportedEncoding`.
    static Result<EncodedVectorStore> create(VectorEncoding encoding);

    /// Decodes a vectors payload (no header: the caller supplies encoding, count and
    /// dimension). Fails on overflow, `BinaryQuantized`, or a size mismatch.
    static Result<EncodedVectorStore> from_payload_bytes(VectorEncoding encoding, std::size_t vector_count,
                                                         std::size_t dimension,
                                                         std::span<const std::uint8_t> bytes);

    explicit EncodedVectorStore(Variant value) : value_(std::move(value)) {}

    VectorEncoding encoding() const noexcept;
    const Variant& variant() const noexcept { return value_; }
    /// Stored elements (codes for `I8ScalarQuantized`).
    std::size_t element_count() const noexcept;

    /// Appends one row; the caller guarantees it has the index dimension.
    void push(std::span<const float> embedding);
    /// Room for `rows` more rows of `dimension` elements. Only a hint: an impossible
    /// request is ignored and left to fail, if ever, in `push`.
    void reserve_rows(std::size_t rows, std::size_t dimension);

    /// The similarity of one row, or nothing when the row or the query cannot be
    /// scored (out of range, overflowing offsets, or another encoding).
    std::optional<float> score_at(const EncodedQuery& query, std::size_t row,
                                  std::size_t dimension) const noexcept;

    /// Scores rows first_row .. first_row + out.size() - 1 into out, each exactly as
    /// `score_at` would. The range and the query are checked once; returns false,
    /// writing nothing, when any row in it would have no score.
    bool score_rows(const EncodedQuery& query, std::size_t first_row, std::size_t dimension,
                    std::span<float> out) const noexcept;
    /// The same for the listed rows (out.size() == rows.size(), else false).
    bool score_rows(const EncodedQuery& query, std::span<const std::size_t> rows, std::size_t dimension,
                    std::span<float> out) const noexcept;

    /// A new store of the same encoding with copies of the given rows, in that order.
    Result<EncodedVectorStore> select_rows(std::span<const std::size_t> rows, std::size_t dimension) const;

    /// The exact length of `to_payload_bytes()` (saturating).
    std::uint64_t estimated_payload_bytes() const noexcept;
    std::vector<std::uint8_t> to_payload_bytes() const;

private:
    Variant value_;
};

}  // namespace tessarin
