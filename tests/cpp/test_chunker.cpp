// Tests for the text chunker: option checks, worked examples, the exact sets of
// whitespace and sentence-terminator characters, invalid UTF-8, extreme
// options, and randomized invariants checked against a naive model.
#include "ingest/lib.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::find
#include <cstddef>    // std::size_t
#include <cstdint>    // SIZE_MAX
#include <cstdio>     // std::snprintf
#include <optional>   // std::optional
#include <ostream>    // std::ostream
#include <random>     // std::mt19937
#include <string>     // std::string
#include <string_view>  // std::string_view
#include <vector>     // std::vector

namespace tessarin::ingest {
// Readable failure output: raw bytes of invalid UTF-8 would garble the log.
void PrintTo(const TextChunk& chunk, std::ostream* os) {
    *os << "{\"";
    for (const char ch : chunk.text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            *os << ch;
        } else {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
            *os << buffer;
        }
    }
    *os << "\", " << chunk.start_byte << ".." << chunk.end_byte << "}";
}
}  // namespace tessarin::ingest

namespace {

using tessarin::ingest::chunk_text;
using tessarin::ingest::ChunkingErrorKind;
using tessarin::ingest::ChunkingOptions;
using tessarin::ingest::ChunkingStrategy;
using tessarin::ingest::TextChunk;
using tessarin::ingest::validate_chunking_options;

constexpr auto kFixed = ChunkingStrategy::Fixed;
constexpr auto kSentence = ChunkingStrategy::Sentence;

std::string utf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// Written out by hand rather than taken from ICU, so a wrong property lookup
// in the library shows up as a disagreement.
const std::vector<char32_t> kWhiteSpace = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000,
    0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
    0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
const std::vector<char32_t> kTerminators = {0x002E, 0x0021, 0x003F, 0x3002, 0xFF01, 0xFF1F};

bool is_white_space(char32_t c) {
    return std::find(kWhiteSpace.begin(), kWhiteSpace.end(), c) != kWhiteSpace.end();
}
bool is_terminator(char32_t c) {
    return std::find(kTerminators.begin(), kTerminators.end(), c) != kTerminators.end();
}

struct Scalar {
    char32_t value;
    std::size_t offset;
};

// Valid UTF-8 only; the random texts below never contain anything else.
std::vector<Scalar> decode_valid(std::string_view text) {
    std::vector<Scalar> out;
    std::size_t at = 0;
    while (at < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[at]);
        const std::size_t length = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
        char32_t value = length == 1 ? b0 : b0 & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) {
            value = (value << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
        }
        out.push_back({value, at});
        at += length;
    }
    return out;
}

// The chunking rules transcribed as literally as possible: a forward scan over
// every position of the window, no shortcuts.
std::vector<TextChunk> naive_chunks(std::string_view text, const ChunkingOptions& options) {
    const std::vector<Scalar> chars = decode_valid(text);
    const std::size_t n = chars.size();
    auto offset = [&](std::size_t i) { return i == n ? text.size() : chars[i].offset; };
    auto space_at = [&](std::size_t i) { return is_white_space(chars[i].value); };

    std::vector<TextChunk> out;
    bool any_content = false;
    for (std::size_t i = 0; i < n; ++i) any_content = any_content || !space_at(i);
    if (!any_content) return out;

    const unsigned long long max = options.max_characters;
    const unsigned long long overlap = options.overlap_characters;
    unsigned long long start = 0;
    for (;;) {
        unsigned long long end = std::min<unsigned long long>(n, start + max);
        if (options.strategy == kSentence && end != n) {
            unsigned long long best_sentence = 0;
            unsigned long long best_space = 0;
            for (unsigned long long k = start + 1; k <= end; ++k) {
                if (k <= start + overlap) continue;
                const char32_t c = chars[k - 1].value;
                if (is_white_space(c)) best_space = k;
                if (is_terminator(c) && (k == end || space_at(k))) best_sentence = k;
            }
            if (best_sentence != 0) {
                end = best_sentence;
            } else if (best_space != 0) {
                end = best_space;
            }
        }
        std::size_t first = start;
        std::size_t last = end;
        while (first < last && space_at(first)) ++first;
        while (last > first && space_at(last - 1)) --last;
        if (first < last) {
            out.push_back({std::string(text.substr(offset(first), offset(last) - offset(first))),
                           offset(first), offset(last)});
        }
        if (end == n) break;
        start = std::max(end >= overlap ? end - overlap : 0, start + 1);
        if (start >= n) break;
    }
    return out;
}

TEST(ValidateChunkingOptions, ChecksZeroMaximumBeforeOverlap) {
    struct Case {
        std::size_t max;
        std::size_t overlap;
        std::optional<ChunkingErrorKind> expected;
    };
    const Case cases[] = {
        {0, 0, ChunkingErrorKind::ZeroMaximum},
        {0, 7, ChunkingErrorKind::ZeroMaximum},
        {1, 0, std::nullopt},
        {5, 4, std::nullopt},
        {5, 5, ChunkingErrorKind::OverlapTooLarge},
        {5, 6, ChunkingErrorKind::OverlapTooLarge},
        {SIZE_MAX, SIZE_MAX - 1, std::nullopt},
        {SIZE_MAX, SIZE_MAX, ChunkingErrorKind::OverlapTooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("max=" + std::to_string(c.max) + " overlap=" + std::to_string(c.overlap));
        const auto error = validate_chunking_options({c.max, c.overlap, kSentence});
        ASSERT_EQ(error.has_value(), c.expected.has_value());
        if (!error) continue;
        EXPECT_EQ(error->kind, *c.expected);
        EXPECT_EQ(error->max_characters, c.max);
        EXPECT_EQ(error->overlap_characters, c.overlap);
    }
}

TEST(ValidateChunkingOptions, MessagesNameTheValuesInDecimal) {
    EXPECT_EQ(validate_chunking_options({0, 3, kFixed})->message(),
              "max_characters must be greater than zero");
    EXPECT_EQ(validate_chunking_options({10, 12, kFixed})->message(),
              "overlap_characters (12) must be smaller than max_characters (10)");
    EXPECT_EQ(validate_chunking_options({SIZE_MAX, SIZE_MAX, kFixed})->message(),
              "overlap_characters (18446744073709551615) must be smaller than "
              "max_characters (18446744073709551615)");
}

struct ChunkCase {
    const char* name;
    std::string text;
    ChunkingOptions options;
    std::vector<TextChunk> expected;
};

void expect_chunks(const std::vector<ChunkCase>& cases) {
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chunk_text(c.text, c.options), c.expected);
    }
}

TEST(ChunkText, WorkedExamples) {
    const std::string nbsp = "\u00A0";
    expect_chunks({
        {"empty", "", {10, 0, kSentence}, {}},
        {"whitespace only", " \t\n\u00A0\u3000\u2029 ", {3, 1, kSentence}, {}},
        {"whitespace only, fixed", "    ", {1, 0, kFixed}, {}},
        {"trims around a single window", "  Hi there.  ", {100, 0, kSentence},
         {{"Hi there.", 2, 11}}},
        {"cuts after sentences", "One. Two. Three.", {10, 0, kSentence},
         {{"One. Two.", 0, 9}, {"Three.", 10, 16}}},
        {"cuts at whitespace", "Hello world, this is a test.", {12, 0, kSentence},
         {{"Hello", 0, 5}, {"world, this", 6, 17}, {"is a test.", 18, 28}}},
        {"overlap moves starts back and bars early cuts", "Hello world, this is a test.",
         {12, 4, kSentence},
         {{"Hello", 0, 5}, {"llo world,", 2, 12}, {"ld, this is", 9, 20}, {"is a test.", 18, 28}}},
        {"fixed with overlap", "abcdefghij", {4, 1, kFixed},
         {{"abcd", 0, 4}, {"defg", 3, 7}, {"ghij", 6, 10}}},
        {"fixed ignores whitespace", "a bcd", {3, 0, kFixed}, {{"a b", 0, 3}, {"cd", 3, 5}}},
        {"sentence uses the same whitespace", "a bcd", {3, 0, kSentence},
         {{"a", 0, 1}, {"bcd", 2, 5}}},
        {"decimal point is not a sentence end", "Pi is 3.14 exactly", {9, 0, kSentence},
         {{"Pi is", 0, 5}, {"3.14", 6, 10}, {"exactly", 11, 18}}},
        {"terminator at window end is a sentence end", "Pi is 3.14 exactly", {8, 0, kSentence},
         {{"Pi is 3.", 0, 8}, {"14", 8, 10}, {"exactly", 11, 18}}},
        {"terminator glued to a word", "Wait!Run now ok", {12, 0, kSentence},
         {{"Wait!Run", 0, 8}, {"now ok", 9, 15}}},
        {"sentence end beats a later space", "Wait! Run now ok", {12, 0, kSentence},
         {{"Wait!", 0, 5}, {"Run now ok", 6, 16}}},
        {"terminator followed by a no-break space", "a." + nbsp + "b c", {5, 0, kSentence},
         {{"a.", 0, 2}, {"b c", 4, 7}}},
        {"candidates inside the overlap do not count", "a bcdefgh", {5, 2, kSentence},
         {{"a bcd", 0, 5}, {"cdefg", 3, 8}, {"fgh", 6, 9}}},
        // Three bytes per character; 。 is followed by an ideograph, not a space.
        {"ideographic full stop inside the window", "一二三四。五六七八九", {6, 0, kSentence},
         {{"一二三四。五", 0, 18}, {"六七八九", 18, 30}}},
        {"ideographic full stop not followed by space", "一二三四。五六七八九", {4, 0, kSentence},
         {{"一二三四", 0, 12}, {"。五六七", 12, 24}, {"八九", 24, 30}}},
        {"ideographic full stop at window end", "一二三四。五六七八九", {5, 0, kSentence},
         {{"一二三四。", 0, 15}, {"五六七八九", 15, 30}}},
        {"no-break space cuts and trims", nbsp + "one" + nbsp + "two" + nbsp, {6, 0, kSentence},
         {{"one", 2, 5}, {"two", 7, 10}}},
        {"no-break space kept inside a chunk", nbsp + "one" + nbsp + "two" + nbsp,
         {100, 0, kSentence},
         {{"one" + nbsp + "two", 2, 10}}},
        {"combining mark is its own character", "e\u0301", {1, 0, kFixed},
         {{"e", 0, 1}, {"\u0301", 1, 3}}},
        {"emoji is one character", "\U0001F600a", {1, 0, kFixed},
         {{"\U0001F600", 0, 4}, {"a", 4, 5}}},
        {"invalid bytes are kept and never trimmed", "\xFF" "ab \xC0\xA0", {100, 0, kSentence},
         {{"\xFF" "ab \xC0\xA0", 0, 6}}},
        {"largest maximum takes everything", " ab. cd ", {SIZE_MAX, SIZE_MAX - 1, kSentence},
         {{"ab. cd", 1, 7}}},
        {"overlap above maximum still advances", "abcd", {2, 5, kFixed},
         {{"ab", 0, 2}, {"bc", 1, 3}, {"cd", 2, 4}}},
        {"overlap equal to maximum disables sentence cuts", "a b c", {2, 2, kSentence},
         {{"a", 0, 1}, {"b", 2, 3}, {"b", 2, 3}, {"c", 4, 5}}},
        {"largest overlap", "a b c d", {3, SIZE_MAX, kSentence},
         {{"a b", 0, 3}, {"b", 2, 3}, {"b c", 2, 5}, {"c", 4, 5}, {"c d", 4, 7}}},
        {"zero maximum yields nothing", "abc", {0, 0, kSentence}, {}},
        {"zero maximum with overlap yields nothing", "a b.", {0, 3, kFixed}, {}},
    });
}

TEST(ChunkText, EveryWhiteSpaceCharacterCutsAndTrims) {
    for (const char32_t w : kWhiteSpace) {
        const std::string ws = utf8(w);
        const std::size_t width = ws.size();
        SCOPED_TRACE("U+" + std::to_string(static_cast<unsigned>(w)));
        EXPECT_EQ(chunk_text(ws + "a" + ws + "b" + ws, {2, 0, kSentence}),
                  (std::vector<TextChunk>{{"a", width, width + 1},
                                          {"b", 2 * width + 1, 2 * width + 2}}));
    }
}

TEST(ChunkText, LookalikesOfWhiteSpaceNeitherCutNorTrim) {
    // Zero-width and format characters, and the C0 separators some libraries
    // treat as space, are not White_Space.
    for (const char32_t x : {U'\x1C', U'\x1F', U'\u180E', U'\u200B', U'\u2060', U'\uFEFF'}) {
        const std::string s = utf8(x);
        const std::size_t width = s.size();
        SCOPED_TRACE("U+" + std::to_string(static_cast<unsigned>(x)));
        EXPECT_EQ(chunk_text(s + "a" + s + "b" + s, {2, 0, kSentence}),
                  (std::vector<TextChunk>{{s + "a", 0, width + 1},
                                          {s + "b", width + 1, 2 * width + 2},
                                          {s, 2 * width + 2, 3 * width + 2}}));
    }
}

TEST(ChunkText, OnlyTheSixTerminatorsEndSentences) {
    for (const char32_t t : kTerminators) {
        const std::string s = utf8(t);
        const std::size_t width = s.size();
        SCOPED_TRACE("U+" + std::to_string(static_cast<unsigned>(t)));
        EXPECT_EQ(chunk_text("a" + s + " b c", {5, 0, kSentence}),
                  (std::vector<TextChunk>{{"a" + s, 0, 1 + width}, {"b c", 2 + width, 5 + width}}));
    }
    // Other punctuation falls back to the last space in the window.
    for (const char32_t x : {U',', U';', U':', U'\u2026', U'\u00BF', U'\u0964', U'\uFF0E',
                             U'\uFF61'}) {
        const std::string s = utf8(x);
        const std::size_t width = s.size();
        SCOPED_TRACE("U+" + std::to_string(static_cast<unsigned>(x)));
        EXPECT_EQ(chunk_text("a" + s + " b c", {5, 0, kSentence}),
                  (std::vector<TextChunk>{{"a" + s + " b", 0, 3 + width},
                                          {"c", 4 + width, 5 + width}}));
    }
}

TEST(ChunkText, EachInvalidByteIsOneOrdinaryCharacter) {
    expect_chunks({
        {"lone continuation bytes", "\x80\x80\x80", {2, 0, kFixed},
         {{"\x80\x80", 0, 2}, {"\x80", 2, 3}}},
        {"encoded surrogate", "\xED\xA0\x80", {1, 0, kFixed},
         {{"\xED", 0, 1}, {"\xA0", 1, 2}, {"\x80", 2, 3}}},
        {"above U+10FFFF", "\xF4\x90\x80\x80", {2, 0, kFixed},
         {{"\xF4\x90", 0, 2}, {"\x80\x80", 2, 4}}},
        {"U+10FFFF itself is valid", "\xF4\x8F\xBF\xBF", {1, 0, kFixed},
         {{"\xF4\x8F\xBF\xBF", 0, 4}}},
        {"truncated sequence before ASCII", "\xE2\x82" "A", {2, 0, kFixed},
         {{"\xE2\x82", 0, 2}, {"A", 2, 3}}},
        {"truncated sequence at the end", "ab\xF0\x9F\x98", {3, 0, kFixed},
         {{"ab\xF0", 0, 3}, {"\x9F\x98", 3, 5}}},
        // Decoded leniently these would be a space, NEL and a no-break space.
        {"overlong space is not whitespace", "\xE0\x80\xA0" "a\xC0\xA0", {100, 0, kSentence},
         {{"\xE0\x80\xA0" "a\xC0\xA0", 0, 6}}},
        {"bare 0x85 and 0xA0 are not whitespace", "\x85" "a\xA0", {100, 0, kSentence},
         {{"\x85" "a\xA0", 0, 3}}},
        {"encoded NEL is whitespace", "\xC2\x85" "a\xC2\x85", {100, 0, kSentence},
         {{"a", 2, 3}}},
        {"invalid bytes never end a sentence", "a\xE3\x80 bc", {5, 0, kSentence},
         {{"a\xE3\x80", 0, 3}, {"bc", 4, 6}}},
    });
}

TEST(ChunkText, RandomTextsKeepInvariantsAndMatchNaiveModel) {
    const std::vector<std::string> pieces = {
        "a", "b", "Z", " ", " ", ".", "!", "\n", "\u00A0", "\u3000", "\u3002", "\U0001F600",
        "\u0301", "\u0308"};
    std::mt19937 rng(20240611);
    auto pick = [&](std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
    };

    for (int iteration = 0; iteration < 3000; ++iteration) {
        std::string text;
        const std::size_t length = pick(0, 40);
        for (std::size_t i = 0; i < length; ++i) text += pieces[pick(0, pieces.size() - 1)];
        ChunkingOptions options;
        options.max_characters = pick(1, 12);
        // A few unvalidated overlaps (>= max) are mixed in on purpose.
        options.overlap_characters = pick(0, options.max_characters + 1);
        options.strategy = pick(0, 1) == 0 ? kFixed : kSentence;
        SCOPED_TRACE("iteration " + std::to_string(iteration) + " max=" +
                     std::to_string(options.max_characters) + " overlap=" +
                     std::to_string(options.overlap_characters));

        const std::vector<TextChunk> chunks = chunk_text(text, options);
        ASSERT_EQ(chunks, naive_chunks(text, options));

        std::vector<bool> covered(text.size(), false);
        for (std::size_t i = 0; i < chunks.size(); ++i) {
            const TextChunk& chunk = chunks[i];
            ASSERT_LE(chunk.start_byte, chunk.end_byte);
            ASSERT_LE(chunk.end_byte, text.size());
            ASSERT_EQ(chunk.text, text.substr(chunk.start_byte, chunk.end_byte - chunk.start_byte));
            const std::vector<Scalar> chars = decode_valid(chunk.text);
            ASSERT_FALSE(chars.empty());
            EXPECT_FALSE(is_white_space(chars.front().value));
            EXPECT_FALSE(is_white_space(chars.back().value));
            EXPECT_LE(chars.size(), options.max_characters);
            if (i > 0) {
                EXPECT_LE(chunks[i - 1].start_byte, chunk.start_byte);
                if (options.overlap_characters == 0) {
                    EXPECT_LE(chunks[i - 1].end_byte, chunk.start_byte);
                }
            }
            for (std::size_t b = chunk.start_byte; b < chunk.end_byte; ++b) covered[b] = true;
        }
        // Trimming may drop whitespace, but no other character may be lost.
        for (const Scalar& s : decode_valid(text)) {
            if (!is_white_space(s.value)) {
                EXPECT_TRUE(covered[s.offset]) << "at byte " << s.offset;
            }
        }
    }
}

}  // namespace
