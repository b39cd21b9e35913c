#include "ingest/lib.h"

#include <unicode/uchar.h>  // u_isUWhiteSpace
#include <unicode/umachine.h>  // UChar32

#include <algorithm>  // std::max
#include <string>     // std::to_string

namespace tessarin::ingest {
namespace {

enum class CharClass : std::uint8_t { Other, Space, Terminator };

// Decoded once up front so that overlapping windows never decode a byte twice.
struct CharTable {
    std::vector<std::size_t> offsets;  // n + 1 entries; the last is the byte length
    std::vector<CharClass> classes;    // n entries
    bool has_content = false;          // some character is not whitespace
};

constexpr UChar32 kInvalid = -1;

bool is_continuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

// Strict UTF-8 (no overlongs, surrogates or values above U+10FFFF). On any
// error exactly one byte is consumed, so each bad byte is its own character.
std::size_t decode_one(std::string_view text, std::size_t at, UChar32& out) {
    const auto b0 = static_cast<unsigned char>(text[at]);
    if (b0 < 0x80U) {
        out = b0;
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80U;  // allowed range of the second byte
    unsigned char high = 0xBFU;
    UChar32 value = 0;
    if (b0 >= 0xC2U && b0 <= 0xDFU) {
        length = 2;
        value = b0 & 0x1FU;
    } else if (b0 >= 0xE0U && b0 <= 0xEFU) {
        length = 3;
        value = b0 & 0x0FU;
        if (b0 == 0xE0U) low = 0xA0U;   // overlong
        if (b0 == 0xEDU) high = 0x9FU;  // surrogates
    } else if (b0 >= 0xF0U && b0 <= 0xF4U) {
        length = 4;
        value = b0 & 0x07U;
        if (b0 == 0xF0U) low = 0x90U;   // overlong
        if (b0 == 0xF4U) high = 0x8FU;  // above U+10FFFF
    } else {
        out = kInvalid;
        return 1;
    }
    if (text.size() - at < length) {
        out = kInvalid;
        return 1;
    }
    const auto b1 = static_cast<unsigned char>(text[at + 1]);
    if (b1 < low || b1 > high) {
        out = kInvalid;
        return 1;
    }
    value = (value << 6) | (b1 & 0x3FU);
    for (std::size_t i = 2; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[at + i]);
        if (!is_continuation(b)) {
            out = kInvalid;
            return 1;
        }
        value = (value << 6) | (b & 0x3FU);
    }
    out = value;
    return length;
}

CharClass classify(UChar32 c) {
    switch (c) {
        case 0x002E:
        case 0x0021:
        case 0x003F:
        case 0x3002:
        case 0xFF01:
        case 0xFF1F:
            return CharClass::Terminator;
        default:
            break;
    }
    if (c < 0) return CharClass::Other;
    if (c < 0x80) {
        // ASCII White_Space is exactly TAB..CR and SPACE; skip the ICU lookup.
        return (c == 0x20 || (c >= 0x09 && c <= 0x0D)) ? CharClass::Space : CharClass::Other;
    }
    return u_isUWhiteSpace(c) ? CharClass::Space : CharClass::Other;
}

CharTable build_table(std::string_view text) {
    CharTable table;
    table.offsets.reserve(text.size() + 1);
    table.classes.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        UChar32 c = kInvalid;
        const std::size_t length = decode_one(text, at, c);
        const CharClass cls = classify(c);
        table.has_content = table.has_content || cls != CharClass::Space;
        table.offsets.push_back(at);
        table.classes.push_back(cls);
        at += length;
    }
    table.offsets.push_back(text.size());
    return table;
}

// The largest sentence candidate in (start + overlap, end], else the largest
// whitespace candidate, else `end`. Scanning backwards lets the first sentence
// candidate found end the search.
std::size_t sentence_end(const CharTable& table, std::size_t start, std::size_t end,
                         std::size_t overlap) {
    if (overlap >= end - start) return end;  // no position qualifies
    const std::size_t lowest_excluded = start + overlap;
    std::size_t space_end = 0;  // 0 never qualifies: candidates exceed start
    for (std::size_t k = end; k > lowest_excluded; --k) {
        const CharClass c = table.classes[k - 1];
        if (c == CharClass::Terminator &&
            (k == end || table.classes[k] == CharClass::Space)) {
            return k;
        }
        if (c == CharClass::Space && space_end == 0) space_end = k;
    }
    return space_end != 0 ? space_end : end;
}

}  // namespace

std::string ChunkingError::message() const {
    switch (kind) {
        case ChunkingErrorKind::ZeroMaximum:
            return "max_characters must be greater than zero";
        case ChunkingErrorKind::OverlapTooLarge:
            break;
    }
    return "overlap_characters (" + std::to_string(overlap_characters) +
           ") must be smaller than max_characters (" + std::to_string(max_characters) + ")";
}

std::optional<ChunkingError> validate_chunking_options(const ChunkingOptions& options) {
    if (options.max_characters == 0) {
        return ChunkingError{ChunkingErrorKind::ZeroMaximum, options.overlap_characters,
                             options.max_characters};
    }
    if (options.overlap_characters >= options.max_characters) {
        return ChunkingError{ChunkingErrorKind::OverlapTooLarge, options.overlap_characters,
                             options.max_characters};
    }
    return std::nullopt;
}

std::vector<TextChunk> chunk_text(std::string_view text, const ChunkingOptions& options) {
    std::vector<TextChunk> chunks;
    const CharTable table = build_table(text);
    if (!table.has_content) return chunks;

    const std::size_t n = table.classes.size();
    const std::size_t max = options.max_characters;
    const std::size_t overlap = options.overlap_characters;
    const bool by_sentence = options.strategy == ChunkingStrategy::Sentence;

    std::size_t start = 0;
    for (;;) {
        std::size_t end = max >= n - start ? n : start + max;  // saturating
        if (by_sentence && end != n) end = sentence_end(table, start, end, overlap);

        std::size_t first = start;
        std::size_t last = end;
        while (first < last && table.classes[first] == CharClass::Space) ++first;
        while (last > first && table.classes[last - 1] == CharClass::Space) --last;
        if (first < last) {
            const std::size_t from = table.offsets[first];
            const std::size_t to = table.offsets[last];
            chunks.push_back(TextChunk{std::string(text.substr(from, to - from)), from, to});
        }

        if (end == n) break;
        // Always advance, even when the overlap would not let the window move.
        start = std::max(end > overlap ? end - overlap : 0, start + 1);
        if (start >= n) break;
    }
    return chunks;
}

}  // namespace tessarin::ingest
