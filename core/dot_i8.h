// The exact int8 dot product behind I8ScalarQuantized scoring. Every variant returns
// the sum of a_i * b_i in wrapping 32-bit integer arithmetic, so all of them give
// the same integer for the same input whatever the order of additions. Variants
// are chosen once per process by the processor's capabilities; scans fetch the
// chosen one once and call it for a whole run of rows.
#pragma once

#include <cstddef>      // std::size_t
#include <cstdint>      // std::int8_t, std::int32_t
#include <span>         // std::span
#include <string_view>  // std::string_view

/// The engine's int8 dot product: the signed dot-product instructions on 64-bit ARM,
/// the fastest exact variant of `tessarin::dot_i8_kernel()` elsewhere. Both inputs
/// hold at least n bytes.
extern "C" std::int32_t tessarin_dot_i8_aarch64_dotprod(const std::int8_t* a, const std::int8_t* b,
                                                        std::size_t n) noexcept;

namespace tessarin {

/// @brief One implementation of the exact int8 dot product.
struct DotI8Kernel {
    using Dot = std::int32_t (*)(const std::int8_t* a, const std::int8_t* b, std::size_t n) noexcept;
    /// out[i] = dot(query, codes + row_i * n, n) for i below count, where row_i is
    /// rows[i], or first_row + i when rows is null. The caller has checked every row.
    using DotRows = void (*)(const std::int8_t* query, const std::int8_t* codes, std::size_t n,
                             const std::size_t* rows, std::size_t first_row, std::size_t count,
                             std::int32_t* out) noexcept;

    std::string_view name;
    Dot dot;
    DotRows dot_rows;
};

/// The plain loop every variant must agree with.
std::int32_t dot_i8_reference(const std::int8_t* a, const std::int8_t* b, std::size_t n) noexcept;

/// The fastest variant this processor runs; chosen on first use, then fixed.
const DotI8Kernel& dot_i8_kernel() noexcept;

/// Every compiled variant this processor can run, fastest first (tests and benchmarks).
std::span<const DotI8Kernel> dot_i8_kernels() noexcept;

}  // namespace tessarin
