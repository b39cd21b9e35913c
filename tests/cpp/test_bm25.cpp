#include <gtest/gtest.h>

#include <unicode/uchar.h>
#include <unicode/uversion.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <random>
#include <sstream>
#include <thread>

#include "core/bm25.h"
#include "core/text.h"

namespace tessarin {
namespace {

// A word made of a prefix and a number (spelled out here: GCC 12 warns, wrongly,
// about literal + std::string concatenations).
// One term's share of a chunk's score, written out operation by operation in the
// order the index must follow, so a reordering there changes the bits.
float reference_contribution(float tf, float dl, float avgdl, float idf, float k1, float b) {
    float x = dl / avgdl;
    x = b * x;
    x = (1.0f - b) + x;
    x = k1 * x;
    x = x + tf;
    float y = (k1 + 1.0f) * tf;
    y = idf * y;
    return y / x;
}

std::string named(const char* prefix, std::uint64_t number) {
    std::string word(prefix);
    word += std::to_string(number);
    return word;
}

using Tokens = std::vector<std::string>;

Bm25Index::CandidateTest test_of(const std::unordered_set<std::uint64_t>& ids) {
    return {&ids, [](const void* context, std::uint64_t id) {
                return static_cast<const std::unordered_set<std::uint64_t>*>(context)->contains(id);
            }};
}

TEST(Tokenize, Examples) {
    const std::pair<const char*, Tokens> cases[] = {
        {"Hello, World!", {"hello", "world"}},
        {"don't", {"don't"}},
        {"e-mail", {"e", "mail"}},
        {"3.14 and 1,000", {"3.14", "and", "1,000"}},
        {"U.S.A.", {"u.s.a"}},
        {"foo_bar", {"foo_bar"}},
        {"a:b", {"a:b"}},
        {"A+B", {"a", "b"}},
        {"to be or not to be", {"to", "be", "or", "not", "to", "be"}},
        {"", {}},
        {"  ... !!! ;; ", {}},
        {"___ _x_", {"_x_"}},
        {"\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97", {"\xE4\xB8\xAD", "\xE6\x96\x87", "\xE5\xAD\x97"}},  // 中文字
        {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 \xCE\xA3\xCE\x91", {"\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82", "\xCF\x83\xCE\xB1"}},  // ΟΔΟΣ ΣΑ
        {"caf\xC3\xA9 cafe", {"caf\xC3\xA9", "cafe"}},
        {"\xEF\xBC\xA1\xEF\xBC\xA2", {"\xEF\xBD\x81\xEF\xBD\x82"}},  // full-width AB -> ab, still full width
        {"\xC4\xB0stanbul", {"i\xCC\x87stanbul"}},                     // I with dot above expands
        {"\xF0\x9F\x98\x80 ok \xE2\x9C\x93", {"ok"}},                  // emoji and symbols dropped
        {"x\xCC\x81y", {"x\xCC\x81y"}},                                // combining mark stays inside
        {"\xE2\x85\xA0 \xC2\xB2", {"\xE2\x85\xB0", "\xC2\xB2"}},       // Nl and No are kept
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(tokenize(text, {}), expected) << text;
    EXPECT_EQ(tokenize("The cat and the hat", StopWords{"the", "and"}), (Tokens{"cat", "hat"}));
}

TEST(Tokenize, AsciiPathMatchesTheGeneralPath) {
    std::mt19937_64 rng(3);
    const std::string alphabet = "aZ09_ .'\":,;-\t\n\r\v\f!?/()";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (std::size_t i = 0, n = rng() % 24; i < n; ++i) text += alphabet[rng() % alphabet.size()];
        ASSERT_EQ(word_segments(text), word_segments_general(text)) << '"' << text << '"';
    }
    for (int c = 0; c < 128; ++c) {
        for (const char* shape : {"a%cb", "1%c2", "a%c2", "%c", "a%c", "%ca"}) {
            char text[8];
            std::snprintf(text, sizeof text, shape, c);
            std::string s(text, std::strlen(shape) - 1);
            ASSERT_EQ(word_segments(s), word_segments_general(s)) << c << " in " << shape;
        }
    }
}

std::string utf8(UChar32 c) {
    std::string out;
    append_utf8(out, static_cast<std::uint32_t>(c));
    return out;
}

// The kept segments of the Unicode word-break conformance data must be ours.
TEST(Tokenize, AgreesWithTheWordBreakConformanceData) {
    std::ifstream file("/usr/share/unicode/auxiliary/WordBreakTest.txt");
    if (!file) GTEST_SKIP() << "unicode-data is not installed";
    std::string header;
    std::getline(file, header);
    UVersionInfo icu;
    u_getUnicodeVersion(icu);
    const std::string icu_version = std::to_string(icu[0]) + "." + std::to_string(icu[1]) + ".";
    if (header.find("WordBreakTest-" + icu_version) == std::string::npos) {
        GTEST_SKIP() << "the data (" << header << ") is for another Unicode version than ICU's " << icu_version;
    }
    std::size_t checked = 0;
    for (std::string line; std::getline(file, line);) {
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        std::istringstream parts(line);
        std::string text, token;
        std::vector<std::pair<std::size_t, std::size_t>> expected;
        std::size_t start = 0;
        bool keep = false, surrogate = false;
        parts >> token;  // leading break
        while (parts >> token) {
            if (token == "\xC3\xB7" || token == "\xC3\x97") {  // ÷ or ×
                if (token == "\xC3\xB7") {
                    if (keep) expected.emplace_back(start, text.size());
                    start = text.size();
                    keep = false;
                }
                continue;
            }
            const auto c = static_cast<UChar32>(std::stoul(token, nullptr, 16));
            surrogate = surrogate || (c >= 0xD800 && c <= 0xDFFF);
            const auto type = u_charType(c);
            keep = keep || u_hasBinaryProperty(c, UCHAR_ALPHABETIC) || type == U_DECIMAL_DIGIT_NUMBER ||
                   type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
            text += utf8(c);
        }
        if (surrogate) continue;
        ASSERT_EQ(word_segments_general(text), expected) << line;
        ++checked;
    }
    EXPECT_GT(checked, 1000u);
}

Bm25Index index_of(const std::vector<std::pair<std::uint64_t, std::string>>& chunks) {
    Bm25Index index;
    for (const auto& [id, text] : chunks) index.add_chunk(id, text, true);
    return index;
}

TEST(Bm25, WorkedScores) {
    Bm25Index one = index_of({{0, "hello world"}});
    auto hits = one.search_with_limit("hello", true, 10, nullptr);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].score, std::log(4.0f / 3.0f));
    EXPECT_NEAR(hits[0].score, 0.28768, 1e-5);
    EXPECT_EQ(hits[0].matched_terms, Tokens{"hello"});
    // Repeated query words count once.
    EXPECT_EQ(one.search_with_limit("Hello hello HELLO", true, 10, nullptr)[0].score, hits[0].score);

    Bm25Index two = index_of({{0, "hello world"}, {1, "other words"}});
    hits = two.search_with_limit("hello", true, 10, nullptr);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_NEAR(hits[0].score, 0.69315, 1e-5);
}

TEST(Bm25, ScoresFollowTheFormulaInF32) {
    Bm25Index index = index_of({{4, "a b c a"}, {2, "a d"}, {9, "b b b e f g"}});
    auto hits = index.search_with_limit("b a zzz", false, 0, nullptr);
    // Recompute one hit by hand, in the same order of operations.
    const float n = 3, avgdl = 12.0f / n, k1 = 1.2f, b = 0.75f;
    auto idf = [&](float df) { return std::log((((n - df) + 0.5f) / (df + 0.5f)) + 1.0f); };
    auto part = [&](float tf, float dl, float weight) { return reference_contribution(tf, dl, avgdl, weight, k1, b); };
    float expected4 = 0.0f;
    expected4 = part(2, 4, idf(2)) + expected4;  // "a" comes first in byte order
    expected4 = part(1, 4, idf(2)) + expected4;
    ASSERT_EQ(hits.size(), 3u);
    const auto& hit4 = *std::find_if(hits.begin(), hits.end(), [](const Bm25Hit& h) { return h.chunk_id == 4; });
    EXPECT_EQ(hit4.score, expected4);
    EXPECT_EQ(hit4.matched_terms, (Tokens{"a", "b"}));
    EXPECT_TRUE(std::is_sorted(hits.begin(), hits.end(), compare_bm25_hits));
}

TEST(Bm25, ActivityCandidatesAndLimits) {
    Bm25Index index = index_of({{0, "apple pie"}, {1, "apple tart"}, {2, "apple cake"}, {3, "pear"}});
    // Equal scores: the smallest ids win, in ascending order.
    auto hits = index.search_with_limit("apple", true, 2, nullptr);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].chunk_id, 0u);
    EXPECT_EQ(hits[1].chunk_id, 1u);
    EXPECT_TRUE(index.search_with_limit("apple", true, 0, nullptr).empty());
    EXPECT_EQ(index.search_with_limit("apple", true, SIZE_MAX, nullptr).size(), 3u);

    std::unordered_set<std::uint64_t> only2{2, 3};
    hits = index.search_with_limit("apple", false, 0, &only2);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].chunk_id, 2u);
    std::unordered_set<std::uint64_t> none;
    EXPECT_TRUE(index.search_with_limit("apple", false, 0, &none).empty());
    // Candidates as a test give what the same ids as a set give.
    for (const std::vector<std::uint64_t>& ids :
         {std::vector<std::uint64_t>{}, {2}, {0, 2}, {1, 3, 99}, {0, 1, 2, 3}, {5, 6}}) {
        const std::unordered_set<std::uint64_t> set(ids.begin(), ids.end());
        for (std::size_t limit : {1, 10}) {
            const auto from_set = index.search_with_limit("apple pear", true, limit, &set);
            const auto from_ids = index.search_with_limit("apple pear", true, limit, test_of(set));
            ASSERT_EQ(from_ids.size(), from_set.size());
            for (std::size_t i = 0; i < from_ids.size(); ++i) {
                EXPECT_EQ(from_ids[i].chunk_id, from_set[i].chunk_id);
                EXPECT_EQ(from_ids[i].score, from_set[i].score);
            }
        }
    }

    index.deactivate_chunk(0, "apple pie");
    index.deactivate_chunk(1);
    EXPECT_EQ(index.active_chunk_count(), 2u);
    EXPECT_EQ(index.total_length(), 3u);
    EXPECT_TRUE(index.search_with_limit("pie tart", true, 10, nullptr).empty());
    index.add_chunk(0, "apple pie", true);
    hits = index.search_with_limit("pie", true, 10, nullptr);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].chunk_id, 0u);

    // Re-adding with new text drops terms only the old text had.
    index.add_chunk(3, "plum", true);
    EXPECT_TRUE(index.search_with_limit("pear", true, 10, nullptr).empty());
    EXPECT_FALSE(index.to_persisted().postings.contains("pear"));
    EXPECT_TRUE(index.search_with_limit("nothing here", true, 10, nullptr).empty());
    EXPECT_TRUE(index_of({{0, "!!!"}}).search_with_limit("x", true, 10, nullptr).empty());
}

TEST(Bm25, DeactivatingByTextEqualsTheFullScan) {
    Bm25Index a = index_of({{0, "one two two"}, {1, "two three"}, {2, "three four"}});
    Bm25Index b = a;
    a.deactivate_chunk(1, "two three");
    b.deactivate_chunk(1);
    EXPECT_EQ(a.to_persisted(), b.to_persisted());
    EXPECT_EQ(a.search_with_limit("two three", false, 0, nullptr)[0].score,
              b.search_with_limit("two three", false, 0, nullptr)[0].score);
}

TEST(Bm25, PersistedFormRoundTrips) {
    Bm25Index index = index_of({{5, "b a a"}, {1, "c"}, {3, ""}});
    index.add_chunk(7, "a z", false);
    index.deactivate_chunk(1, "c");
    const PersistedBm25Index persisted = index.to_persisted();
    EXPECT_EQ(persisted.postings.at("a"), (std::map<std::uint64_t, std::size_t>{{5, 2}, {7, 1}}));
    EXPECT_EQ(persisted.chunk_lengths, (std::map<std::uint64_t, std::size_t>{{1, 1}, {3, 0}, {5, 3}, {7, 2}}));
    EXPECT_EQ(persisted.active_chunks, (std::set<std::uint64_t>{3, 5}));
    Bm25Index back = Bm25Index::from_persisted({}, persisted);
    EXPECT_EQ(back.to_persisted(), persisted);
    EXPECT_EQ(back.total_length(), 3u);
    EXPECT_EQ(back.search_with_limit("a z c", false, 0, nullptr).size(), 1u);
    // An active chunk listed without a length counts but is never scored, and no
    // length is made up for it.
    PersistedBm25Index odd = persisted;
    odd.active_chunks.insert(9);
    odd.postings["a"].emplace(9, 1);
    Bm25Index lenient = Bm25Index::from_persisted({}, odd);
    EXPECT_EQ(lenient.to_persisted(), odd);
    EXPECT_EQ(lenient.active_chunk_count(), 3u);
    for (const Bm25Hit& hit : lenient.search_with_limit("a", false, 0, nullptr)) EXPECT_NE(hit.chunk_id, 9u);
    // 5 terms (a b c z): bytes + 16 per posting + 8, then lengths and active chunks.
    EXPECT_EQ(index.estimated_payload_bytes(), (1 + 32 + 8) + (1 + 16 + 8) + (1 + 16 + 8) + (1 + 16 + 8) + 16 * 4 + 8 * 2);
}

// Two ways of scoring: term at a time into accumulators (ids the index handed out)
// and a merge of the posting lists (taken when some id is far beyond the count, or
// for queries of more than 32 terms). They must agree bit for bit, ties included.
TEST(Bm25, AccumulatorsAndMergeAgree) {
    std::mt19937_64 rng(5);
    std::vector<std::string> words;
    for (int i = 0; i < 40; ++i) words.push_back(named("w", i));
    auto text_of = [&](std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i) text += words[rng() % (1 + rng() % words.size())] + " ";
        return text;
    };
    Bm25Index dense;
    for (std::uint64_t id = 0; id < 300; ++id) dense.add_chunk(id, text_of(rng() % 12), rng() % 7 != 0);
    for (std::uint64_t id = 0; id < 300; id += 11) dense.deactivate_chunk(id);
    Bm25Index merged = dense;
    merged.add_chunk(std::numeric_limits<std::uint64_t>::max(), "w1 w2", false);  // inactive: changes no score

    auto expect_same = [](const std::vector<Bm25Hit>& a, const std::vector<Bm25Hit>& b, const std::string& query) {
        ASSERT_EQ(a.size(), b.size()) << query;
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].chunk_id, b[i].chunk_id) << query;
            EXPECT_EQ(std::bit_cast<std::uint32_t>(a[i].score), std::bit_cast<std::uint32_t>(b[i].score)) << query;
            EXPECT_EQ(a[i].matched_terms, b[i].matched_terms) << query;
        }
    };
    std::vector<std::uint64_t> some;
    for (std::uint64_t id = 3; id < 300; id += 4) some.push_back(id);
    const std::unordered_set<std::uint64_t> some_set(some.begin(), some.end());
    for (int q = 0; q < 60; ++q) {
        const std::string query = text_of(1 + rng() % 45) + (q % 5 == 0 ? "unknown" : "");
        for (const bool limited : {false, true}) {
            const std::size_t limit = limited ? 1 + rng() % 20 : 0;
            expect_same(dense.search_with_limit(query, limited, limit, nullptr),
                        merged.search_with_limit(query, limited, limit, nullptr), query);
            expect_same(dense.search_with_limit(query, limited, limit, test_of(some_set)),
                        merged.search_with_limit(query, limited, limit, &some_set), query);
        }
    }
}

void expect_same_hits(const std::vector<Bm25Hit>& got, const std::vector<Bm25Hit>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].chunk_id, want[i].chunk_id) << what << " #" << i;
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i].score), std::bit_cast<std::uint32_t>(want[i].score))
            << what << " #" << i;
        EXPECT_EQ(got[i].matched_terms, want[i].matched_terms) << what << " #" << i;
    }
}

std::vector<Bm25Hit> head(std::vector<Bm25Hit> hits, std::size_t limit) {
    hits.resize(std::min(hits.size(), limit));
    return hits;
}

// A limited search skips chunks by bounds on their scores; it must return exactly
// the head of the full ranking. Small vocabularies and few distinct lengths make
// equal scores common, across the blocks the bounds are kept for, and long posting
// lists make the skipping happen. Spikes of rising scores every so many chunks put
// the chunks that must enter next to the ends of blocks that can be skipped. The
// last configuration gives short chunks negative contributions (and their words
// only negative ones), which no bound may be trusted with.
TEST(Bm25, LimitedSearchIsTheHeadOfTheFullRanking) {
    struct Corpus {
        std::size_t chunks;
        std::size_t vocabulary;
        std::size_t max_words;
        std::size_t spike_period;  // 0: none
        Bm25Config config;
    };
    const Corpus corpora[] = {
        {3000, 6, 3, 0, {}},  // mostly ties
        {2500, 40, 12, 0, {}},
        {800, 300, 30, 0, {}},
        {2600, 8, 6, 63, {}},
        {2600, 8, 6, 64, {}},
        {2600, 8, 6, 96, {}},
        {1500, 30, 20, 0, {.stop_words = {}, .k1 = 5.0f, .b = 3.0f}},
    };
    std::mt19937_64 rng(11);
    for (const Corpus& corpus : corpora) {
        // Zipf-like: low word numbers far more often, so some lists are long.
        auto word = [&] { return named("w", rng() % (1 + rng() % corpus.vocabulary)); };
        const bool negative = corpus.config.b > 1.0f;
        Bm25Index index(corpus.config);
        for (std::uint64_t id = 0; id < corpus.chunks; ++id) {
            std::string text;
            if (corpus.spike_period != 0) {
                // Equal lengths; "w0" once, or in a spike more often the later it comes.
                const std::size_t repeats = id % corpus.spike_period == 0 ? 2 + id / corpus.spike_period % 30 : 1;
                for (std::size_t i = 0; i < 40; ++i) {
                    text += i < repeats ? "w0 " : named("w", 1 + rng() % (1 + rng() % 7)) + " ";
                }
            } else if (negative && rng() % 2 == 0) {
                text = named("s", rng() % 4) + (rng() % 2 == 0 ? " w1" : "");
            } else {
                for (std::size_t i = 0, n = 1 + rng() % corpus.max_words; i < n; ++i) text += word() + " ";
            }
            // Spikes stay aligned with the blocks of the list of "w0" only if all count.
            index.add_chunk(id, text, corpus.spike_period != 0 || rng() % 10 != 0);
        }
        for (std::uint64_t id = 5; id < corpus.chunks && corpus.spike_period == 0; id += 17) index.deactivate_chunk(id);
        Bm25Index merged = index;  // scores by merging the posting lists
        merged.add_chunk(std::numeric_limits<std::uint64_t>::max(), "w0", false);

        std::unordered_set<std::uint64_t> some;
        for (std::uint64_t id = 0; id < corpus.chunks; ++id) {
            if (rng() % 3 == 0) some.insert(id);
        }
        for (int q = 0; q < 40; ++q) {
            std::string query = negative ? named("s", q % 5) + " " : "";
            for (std::size_t t = 0, n = 1 + rng() % 8; t < n; ++t) query += word() + " ";
            const auto full = index.search_with_limit(query, false, 0, nullptr);
            const auto full_some = index.search_with_limit(query, false, 0, &some);
            expect_same_hits(full, merged.search_with_limit(query, false, 0, nullptr), query);
            for (std::size_t limit : {1, 2, 3, 10, 64, 200}) {
                const std::string what = query + " limit " + std::to_string(limit);
                expect_same_hits(index.search_with_limit(query, true, limit, nullptr), head(full, limit), what);
                expect_same_hits(index.search_with_limit(query, true, limit, test_of(some)), head(full_some, limit),
                                 what + " among some");
            }
        }
    }

    // A word only short chunks hold has only negative contributions here: adding
    // its largest one to a bound would push the bound below the scores of chunks
    // without the word, whose scores rise a little with each chunk.
    Bm25Index index({.stop_words = {}, .k1 = 5.0f, .b = 3.0f});
    for (std::uint64_t id = 0; id < 400; ++id) {
        std::string text = id % 4 == 0 ? "short short short" : "word";
        for (std::uint64_t i = 0; id % 4 != 0 && i < 60 - id / 10; ++i) text += " filler";
        index.add_chunk(id, text, true);
    }
    for (std::size_t limit : {1, 3, 10}) {
        expect_same_hits(index.search_with_limit("short word", true, limit, nullptr),
                         head(index.search_with_limit("short word", false, 0, nullptr), limit), "short word");
    }
}

std::vector<std::vector<Bm25Hit>> all_results(const Bm25Index& index, const std::vector<std::string>& queries) {
    std::vector<std::vector<Bm25Hit>> results;
    for (const std::string& query : queries) {
        results.push_back(index.search_with_limit(query, false, 0, nullptr));
        results.push_back(index.search_with_limit(query, true, 3, nullptr));
    }
    return results;
}

void expect_same_results(const std::vector<std::vector<Bm25Hit>>& got, const std::vector<std::vector<Bm25Hit>>& want,
                         const std::string& what) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) expect_same_hits(got[i], want[i], what + " result " + std::to_string(i));
}

// Searching keeps what it derived from the statistics; every change to the chunks
// (and so to the count, the average length, document frequencies or the postings)
// must show in the next search exactly as in an index rebuilt from scratch.
TEST(Bm25, SearchesAfterChangesEqualAFreshIndex) {
    const std::vector<std::string> queries = {"apple", "apple pear", "pear plum fig", "fig", "kiwi apple"};
    Bm25Index index = index_of({{0, "apple pear apple"}, {1, "pear plum"}, {2, "fig apple"}, {3, "plum plum fig"}});
    auto fresh = [](const Bm25Index& from) { return Bm25Index::from_persisted(from.config(), from.to_persisted()); };
    const std::pair<const char*, std::function<void(Bm25Index&)>> changes[] = {
        {"add an active chunk", [](Bm25Index& i) { i.add_chunk(4, "apple kiwi", true); }},
        {"add an inactive chunk", [](Bm25Index& i) { i.add_chunk(5, "apple apple fig", false); }},
        {"deactivate by id", [](Bm25Index& i) { i.deactivate_chunk(1); }},
        {"deactivate by text", [](Bm25Index& i) { i.deactivate_chunk(2, "fig apple"); }},
        {"re-add with other text", [](Bm25Index& i) { i.add_chunk(0, "kiwi kiwi pear", true); }},
        {"re-add a deactivated chunk", [](Bm25Index& i) { i.add_chunk(2, "fig apple", true); }},
        {"add a longer chunk", [](Bm25Index& i) { i.add_chunk(9, "plum apple pear fig kiwi kiwi plum", true); }},
    };
    all_results(index, queries);  // whatever the searches keep, they now hold it
    for (const auto& [change, apply] : changes) {
        apply(index);
        expect_same_results(all_results(index, queries), all_results(fresh(index), queries), change);
    }

    // Copies start from their own state, and assigning over a searched index
    // leaves nothing of what it kept, even between copies changed alike.
    Bm25Index copy = index;
    Bm25Index other = index;
    copy.add_chunk(10, "apple", true);
    other.add_chunk(10, "apple apple pear", true);
    all_results(other, queries);
    expect_same_results(all_results(index, queries), all_results(fresh(index), queries), "original after copy changed");
    other = copy;
    expect_same_results(all_results(other, queries), all_results(fresh(copy), queries), "assigned");
}

// Concurrent searches of a changed index all see the statistics after the change.
TEST(Bm25, ConcurrentSearchesAfterAChangeAgree) {
    std::mt19937_64 rng(17);
    Bm25Index index;
    std::vector<std::string> queries;
    for (std::uint64_t id = 0; id < 2000; ++id) {
        std::string text;
        for (int i = 0, n = 1 + static_cast<int>(rng() % 20); i < n; ++i) text += named("t", rng() % 50) + " ";
        index.add_chunk(id, text, true);
        if (id % 100 == 0) queries.push_back(text);
    }
    all_results(index, queries);
    index.deactivate_chunk(7);
    const auto expected = all_results(Bm25Index::from_persisted({}, index.to_persisted()), queries);
    std::vector<std::vector<std::vector<Bm25Hit>>> got(4);
    std::vector<std::thread> threads;
    for (auto& out : got) threads.emplace_back([&] { out = all_results(index, queries); });
    for (std::thread& thread : threads) thread.join();
    for (const auto& out : got) expect_same_results(out, expected, "thread");
}

// Chunk ids far beyond the chunk count (a persisted form may name any u64) must
// neither size a table by the id nor be confused with the small ids.
TEST(Bm25, HugeChunkIdsBesideSmallOnes) {
    const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
    Bm25Index index = index_of({{huge, "apple apple"}, {1, "apple pear"}, {std::uint64_t{1} << 40, "pear"}});
    index.add_chunk(2, "apple", true);
    auto hits = index.search_with_limit("apple pear", false, 0, nullptr);
    ASSERT_EQ(hits.size(), 4u);
    std::set<std::uint64_t> ids;
    for (const Bm25Hit& hit : hits) ids.insert(hit.chunk_id);
    EXPECT_EQ(ids, (std::set<std::uint64_t>{1, 2, std::uint64_t{1} << 40, huge}));
    index.deactivate_chunk(huge, "apple apple");
    EXPECT_EQ(index.search_with_limit("apple", false, 0, nullptr).size(), 2u);
    const PersistedBm25Index persisted = index.to_persisted();
    EXPECT_EQ(persisted.chunk_lengths.at(huge), 2u);
    EXPECT_EQ(Bm25Index::from_persisted({}, persisted).to_persisted(), persisted);

    // An id taken far beyond the count stays found once the counter ids pass it.
    const std::uint64_t early = (std::uint64_t{1} << 20) + 10;
    Bm25Index growing = index_of({{early, "kiwi"}, {0, "fig"}, {1, "fig"}, {2, "fig"}, {3, "fig"}});
    growing.add_chunk(early + 2, "fig kiwi", true);
    hits = growing.search_with_limit("kiwi", false, 0, nullptr);
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].chunk_id, early);
    growing.deactivate_chunk(early);
    EXPECT_EQ(growing.active_chunk_count(), 5u);
    EXPECT_EQ(growing.search_with_limit("kiwi", false, 0, nullptr).size(), 1u);
}

// What an index must hold and find, kept the plain way: the persisted form built
// from the texts, and scores summed per chunk over the query terms in byte order
// with the formula written out in the same f32 operations.
struct Reference {
    Bm25Config config;
    PersistedBm25Index expected;

    void add(std::uint64_t id, const std::string& text, bool active) {
        forget(id);
        const Tokens tokens = tokenize(text, config.stop_words);
        for (const std::string& token : tokens) ++expected.postings[token][id];
        expected.chunk_lengths[id] = tokens.size();
        if (active) expected.active_chunks.insert(id);
    }
    void forget(std::uint64_t id) {
        for (auto term = expected.postings.begin(); term != expected.postings.end();) {
            term->second.erase(id);
            term = term->second.empty() ? expected.postings.erase(term) : std::next(term);
        }
        expected.chunk_lengths.erase(id);
        expected.active_chunks.erase(id);
    }

    std::vector<Bm25Hit> search(const std::string& query, std::size_t limit = SIZE_MAX) const {
        Tokens terms = tokenize(query, config.stop_words);
        std::sort(terms.begin(), terms.end());
        terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
        const auto& active = expected.active_chunks;
        if (active.empty()) return {};
        std::size_t total = 0;
        for (const auto& [id, length] : expected.chunk_lengths) total += active.contains(id) ? length : 0;
        const float n = static_cast<float>(active.size()), avgdl = static_cast<float>(total) / n;
        if (avgdl == 0.0f) return {};
        const float k1 = config.k1, b = config.b;
        std::map<std::uint64_t, Bm25Hit> hits;
        for (const std::string& term : terms) {
            auto postings = expected.postings.find(term);
            if (postings == expected.postings.end()) continue;
            float df = 0;
            for (const auto& [id, tf] : postings->second) df += active.contains(id) ? 1.0f : 0.0f;
            const float idf = std::log((((n - df) + 0.5f) / (df + 0.5f)) + 1.0f);
            for (const auto& [id, frequency] : postings->second) {
                auto length = expected.chunk_lengths.find(id);
                if (!active.contains(id) || length == expected.chunk_lengths.end()) continue;
                const float tf = static_cast<float>(frequency), dl = static_cast<float>(length->second);
                Bm25Hit& hit = hits[id];
                hit.chunk_id = id;
                hit.score = reference_contribution(tf, dl, avgdl, idf, k1, b) + hit.score;
                hit.matched_terms.push_back(term);
            }
        }
        std::vector<Bm25Hit> ranked;
        for (auto& [id, hit] : hits) ranked.push_back(std::move(hit));
        std::sort(ranked.begin(), ranked.end(), compare_bm25_hits);
        return head(std::move(ranked), limit);
    }
};

// Every way of scoring (accumulators, the bounded top k, the merge) against the
// plain reference, through a random history of adds, re-adds of existing ids,
// inactive adds and both ways of deactivating, searching after each change so
// that what searches keep is always there to go stale. Ids from a counter take
// the cached ways; ids around 2^32 (where postings stop fitting 32 bits) and the
// largest u64 take the merge. A common word's chunks are deactivated over a long
// run of ids, beside chunks of the same ids that other words still score.
TEST(Bm25, RandomHistoriesMatchTheReference) {
    const std::uint64_t wide = std::uint64_t{1} << 32;
    const std::vector<std::uint64_t> odd_ids = {wide - 2, wide - 1, wide, wide + 1,
                                                std::numeric_limits<std::uint64_t>::max()};
    const std::vector<std::string> queries = {"w0", "w1 w3", "w0 w2 w5 w7", "w6 zz", "w0 w1 w2 w3 w4 w5 w6 w7"};
    std::mt19937_64 rng(23);
    for (const bool with_odd_ids : {false, true}) {
        const std::string what = with_odd_ids ? "ids around 2^32" : "counter ids";
        Bm25Index index;
        Reference reference;
        std::vector<std::uint64_t> ids;  // every id added, some repeatedly
        auto text_of = [&] {
            std::string text;
            for (std::size_t i = 0, n = rng() % 9; i < n; ++i) text += named("w", rng() % (1 + rng() % 8)) + " ";
            return text;
        };
        std::map<std::uint64_t, std::string> texts;
        auto add = [&](std::uint64_t id, bool active) {
            const std::string text = text_of();
            index.add_chunk(id, text, active);
            reference.add(id, text, active);
            texts[id] = text;
            ids.push_back(id);
        };
        auto check = [&](const std::string& step) {
            ASSERT_EQ(index.to_persisted(), reference.expected) << what << ", " << step;
            EXPECT_EQ(index.active_chunk_count(), reference.expected.active_chunks.size());
            for (const std::string& query : queries) {
                for (std::size_t limit : {std::size_t{1}, std::size_t{4}, std::size_t{1000}, SIZE_MAX}) {
                    const std::string context = what + ", " + step + ": " + query + " limit " + std::to_string(limit);
                    expect_same_hits(index.search_with_limit(query, limit != SIZE_MAX, limit, nullptr),
                                     reference.search(query, limit), context);
                }
            }
        };
        for (std::uint64_t id = 0; id < 300; ++id) add(id, true);
        for (std::uint64_t id : with_odd_ids ? odd_ids : std::vector<std::uint64_t>{}) add(id, true);
        check("added");
        const auto common = reference.expected.postings.at("w0");
        for (auto at = common.lower_bound(64); at != common.end() && at->first < 250; ++at) {
            index.deactivate_chunk(at->first);
            reference.expected.active_chunks.erase(at->first);
        }
        check("a run deactivated");
        std::uint64_t next = 300;
        for (int step = 0; step < 150; ++step) {
            const std::uint64_t existing = ids[rng() % ids.size()];
            switch (rng() % 5) {
                case 0: add(next++, true); break;
                case 1: add(next++, false); break;
                case 2: add(existing, rng() % 4 != 0); break;
                case 3:
                    index.deactivate_chunk(existing, texts[existing]);
                    reference.expected.active_chunks.erase(existing);
                    break;
                default:
                    index.deactivate_chunk(existing);
                    reference.expected.active_chunks.erase(existing);
                    break;
            }
            check("step " + std::to_string(step));
            if (HasFatalFailure()) return;
        }
    }
}

// A long run of one word's chunks deactivated (longer than the blocks a limited
// search skips by): it must still find what other words score among the same
// ids, and never report a deactivated chunk. "x" is in the even chunks, and the
// chunks of "y", which outscore them, sit among its deactivated ones.
TEST(Bm25, LimitedSearchPastDeactivatedBlocks) {
    Bm25Index index;
    for (std::uint64_t id = 0; id < 800; ++id) {
        std::string text = id % 2 == 0 ? "x f f" : (id > 128 && id < 384 && id % 10 == 1 ? "y y y" : "f f f");
        index.add_chunk(id, text, true);
    }
    for (std::uint64_t id = 128; id < 384; id += 2) index.deactivate_chunk(id);
    for (const char* query : {"x y", "x", "y x f"}) {
        const auto full = index.search_with_limit(query, false, 0, nullptr);
        for (int repeat = 0; repeat < 2; ++repeat) {  // while the impacts are built, then from them
            for (std::size_t limit : {1, 3, 20, 1000}) {
                expect_same_hits(index.search_with_limit(query, true, limit, nullptr), head(full, limit),
                                 std::string(query) + " limit " + std::to_string(limit));
            }
        }
    }
}

// Term frequencies and lengths too large for the compact fields (2^32 - 1 and up
// for a frequency, 2^29 - 1 and up for a length), which a persisted form can
// hold: kept exactly, scored exactly, and dropped cleanly when the chunk is
// re-added with a short text.
TEST(Bm25, HugeFrequenciesAndLengthsFromAPersistedForm) {
    const std::uint64_t u32_max = std::numeric_limits<std::uint32_t>::max();
    const std::uint64_t long_length = (std::uint64_t{1} << 29) - 1;
    Reference reference;
    reference.expected.postings = {
        {"big", {{0, (std::uint64_t{1} << 40) - 5}, {1, u32_max}, {2, u32_max - 1}, {4, 3}, {6, u32_max + 1}}},
        {"small", {{1, 4}, {3, 1}, {5, std::uint64_t{1} << 32}, {6, 2}}},
    };
    reference.expected.chunk_lengths = {
        {0, std::uint64_t{1} << 40}, {1, u32_max + 9},        {2, long_length},
        {3, long_length - 1},        {4, 7},                  {5, long_length + 1},
        {6, u32_max + 3},
    };
    reference.expected.active_chunks = {0, 1, 2, 3, 5, 6};
    const std::vector<std::string> queries = {"big", "small", "big small"};
    auto check = [&](const Bm25Index& index, const Reference& want, const std::string& what) {
        ASSERT_EQ(index.to_persisted(), want.expected) << what;
        std::size_t total = 0;
        for (std::uint64_t id : want.expected.active_chunks) total += want.expected.chunk_lengths.at(id);
        EXPECT_EQ(index.total_length(), total) << what;
        for (const std::string& query : queries) {
            for (std::size_t limit : {std::size_t{1}, std::size_t{2}, SIZE_MAX}) {
                expect_same_hits(index.search_with_limit(query, limit != SIZE_MAX, limit, nullptr),
                                 want.search(query, limit), what + ": " + query);
            }
        }
    };
    Bm25Index index = Bm25Index::from_persisted({}, reference.expected);
    check(index, reference, "loaded");
    Bm25Index merged = index;  // scores by merging the posting lists
    Reference merged_reference = reference;
    merged.add_chunk(std::numeric_limits<std::uint64_t>::max(), "big", false);
    merged_reference.add(std::numeric_limits<std::uint64_t>::max(), "big", false);
    check(merged, merged_reference, "merged");
    check(index, reference, "after its copy changed");

    index.add_chunk(1, "small small", true);
    reference.add(1, "small small", true);
    check(index, reference, "chunk 1 re-added");
    index.add_chunk(2, "big", true);
    reference.add(2, "big", true);
    check(index, reference, "chunk 2 re-added");
    index.deactivate_chunk(0);
    reference.expected.active_chunks.erase(0);
    check(index, reference, "chunk 0 deactivated");
}

}  // namespace
}  // namespace tessarin
