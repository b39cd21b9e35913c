// Small shared helpers: UTF-8 decoding and encoding with the strict rules of the
// standard, counters that saturate instead of wrapping (every size estimate and
// counter of the engine does), the f32 total order used by every ranking, and a
// visitor helper.
#pragma once

#include <bit>          // std::bit_cast
#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint32_t, std::uint64_t
#include <limits>       // std::numeric_limits
#include <string>       // std::string
#include <string_view>  // std::string_view

namespace tessarin {

/// Visitor built from lambdas, for `std::visit` over the engine's tagged choices.
template <typename... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <typename... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

/// A float's position in the IEEE-754 total order, as a signed integer
/// (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN).
inline std::int32_t f32_total_order_key(float x) noexcept {
    const auto bits = std::bit_cast<std::int32_t>(x);
    return bits < 0 ? bits ^ 0x7FFFFFFF : bits;
}

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    return b != 0 && a > std::numeric_limits<std::uint64_t>::max() / b ? std::numeric_limits<std::uint64_t>::max()
                                                                        : a * b;
}

/// Length of the well-formed UTF-8 sequence starting at `at` (no overlongs,
/// surrogates or values above U+10FFFF), or 0 when it is malformed; its scalar
/// value goes to `value`.
inline std::size_t utf8_sequence(std::string_view text, std::size_t at, std::uint32_t& value) noexcept {
    const auto b0 = static_cast<unsigned char>(text[at]);
    if (b0 < 0x80) {
        value = b0;
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, value = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, value = b0 & 0x0Fu;
        if (b0 == 0xE0) low = 0xA0;
        if (b0 == 0xED) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, value = b0 & 0x07u;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[at + k]);
        if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return 0;
        value = (value << 6) | (b & 0x3Fu);
    }
    return length;
}

/// Appends the UTF-8 encoding of a scalar value.
inline void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace tessarin
