#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "core/metadata_index.h"

namespace tessarin {
namespace {

using V = MetadataValue;
using Offsets = std::vector<std::size_t>;
const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

TEST(OffsetSet, AgreesWithStdSetUnderRandomEdits) {
    std::mt19937_64 rng(11);
    // Offsets cluster around block edges so blocks split, empty and merge.
    auto pick = [&] {
        std::size_t base = (rng() % 4) << 16;
        return base + (rng() % 2 ? rng() % 40 : 65536 - 1 - rng() % 40);
    };
    OffsetSet a, b;
    std::set<std::size_t> ra, rb;
    for (int step = 0; step < 20000; ++step) {
        std::size_t offset = pick();
        bool to_a = rng() % 2;
        if (rng() % 3 == 0) {
            EXPECT_EQ((to_a ? a : b).erase(offset), (to_a ? ra : rb).erase(offset) == 1);
        } else {
            EXPECT_EQ((to_a ? a : b).insert(offset), (to_a ? ra : rb).insert(offset).second);
        }
    }
    ASSERT_EQ(a.to_vector(), Offsets(ra.begin(), ra.end()));
    ASSERT_EQ(a.size(), ra.size());
    Offsets expected;
    std::set_union(ra.begin(), ra.end(), rb.begin(), rb.end(), std::back_inserter(expected));
    EXPECT_EQ(OffsetSet::set_union(a, b).to_vector(), expected);
    EXPECT_EQ(OffsetSet::set_union(a, b).size(), expected.size());
    expected.clear();
    std::set_intersection(ra.begin(), ra.end(), rb.begin(), rb.end(), std::back_inserter(expected));
    EXPECT_EQ(OffsetSet::set_intersection(a, b).to_vector(), expected);
    EXPECT_EQ(OffsetSet::set_intersection(a, b).size(), expected.size());
    expected.clear();
    std::set_difference(ra.begin(), ra.end(), rb.begin(), rb.end(), std::back_inserter(expected));
    EXPECT_EQ(OffsetSet::set_difference(a, b).to_vector(), expected);
    EXPECT_EQ(OffsetSet::set_difference(a, b).size(), expected.size());
    EXPECT_EQ(OffsetSet::from_sorted(expected), OffsetSet::set_difference(a, b));
    for (std::size_t offset : {std::size_t{0}, std::size_t{65535}, std::size_t{65536}, pick()}) {
        EXPECT_EQ(a.contains(offset), ra.count(offset) == 1);
    }
}

// Many sets at once: overlapping blocks, one-element sets, empty and missing sets,
// and highs far apart (the sorted rather than counted grouping).
TEST(OffsetSet, UnionOfManyAgreesWithStdSet) {
    std::mt19937_64 rng(3);
    for (const std::size_t spread : {std::size_t{4} << 16, std::size_t{1} << 40}) {
        std::vector<OffsetSet> sets(30);
        std::set<std::size_t> all;
        for (std::size_t s = 0; s < sets.size(); ++s) {
            const std::size_t count = s % 7 == 0 ? 0 : (s % 3 == 0 ? 1 : rng() % 500);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t offset = (rng() % 5) * (spread / 4) + rng() % 70000;
                sets[s].insert(offset);
                all.insert(offset);
            }
        }
        std::vector<const OffsetSet*> pointers{nullptr};
        for (const OffsetSet& set : sets) pointers.push_back(&set);
        const OffsetSet united = OffsetSet::union_of(pointers);
        EXPECT_EQ(united.to_vector(), Offsets(all.begin(), all.end()));
        EXPECT_EQ(united.size(), all.size());
        EXPECT_EQ(united, OffsetSet::from_sorted(Offsets(all.begin(), all.end())));
    }
    EXPECT_TRUE(OffsetSet::union_of({}).empty());
}

Filter equals(const char* f, V v) { return Filter{filters::Equals{f, std::move(v)}}; }
Filter not_equals(const char* f, V v) { return Filter{filters::NotEquals{f, std::move(v)}}; }
Filter range(const char* f, std::optional<V> lo, std::optional<V> hi) {
    return Filter{filters::Range{f, std::move(lo), std::move(hi)}};
}
Filter exists(const char* f) { return Filter{filters::Exists{f}}; }
Filter all_of(std::vector<Filter> c) { return Filter{filters::And{std::move(c)}}; }
Filter any_of(std::vector<Filter> c) { return Filter{filters::Or{std::move(c)}}; }

// The candidate offsets, or "none" for no set, or the error text.
std::string candidates(const MetadataFilterIndex& index, const Filter& filter) {
    auto result = index.candidate_set(filter);
    if (!result) return result.error().display();
    if (!result.value()) return "none";
    std::string out = "{";
    for (std::size_t offset : result.value()->to_vector()) {
        if (out.size() > 1) out += ",";
        out += std::to_string(offset);
    }
    return out + "}";
}

TEST(MetadataFilterIndex, CandidateSetsByNodeKind) {
    MetadataFilterIndex index;
    index.insert(0, {{"a", V::integer(1)}});
    index.insert(1, {{"a", V::floating(1.0)}});
    index.insert(2, {{"a", V::floating(-0.0)}, {"b", V::string("x")}});
    index.insert(3, {{"a", V::floating(inf)}});
    index.insert(4, {{"a", V::floating(nan)}});
    index.insert(5, {{"b", V::string("y")}, {"t", V::timestamp_millis(7)}});

    struct Case {
        Filter filter;
        std::string expected;
    };
    Case cases[] = {
        {equals("a", V::integer(1)), "{0}"},
        {equals("a", V::floating(0.0)), "{2}"},
        {equals("a", V::floating(nan)), "{}"},
        {equals("a", V::floating(inf)), "{3}"},  // infinity equals itself
        {equals("zz", V::integer(1)), "{}"},
        {not_equals("a", V::integer(1)), "{1,2,3,4,5}"},
        {not_equals("a", V::floating(nan)), "{0,1,2,3,4,5}"},
        {Filter{filters::In{"b", {V::string("y"), V::string("x"), V::string("q")}}}, "{2,5}"},
        {Filter{filters::In{"b", {}}}, "{}"},
        {range("a", V::integer(1), std::nullopt), "{0,1,3,4}"},  // +inf and NaN pass
        {range("a", std::nullopt, V::integer(0)), "{2,4}"},
        {range("a", V::floating(0.0), V::floating(0.0)), "{2,4}"},  // -0.0 is 0.0
        {range("a", V::integer(5), V::integer(3)), "{4}"},  // crossed bounds: only NaN passes
        {range("a", V::floating(-inf), std::nullopt), "none"},
        {range("a", std::nullopt, V::floating(nan)), "none"},
        {range("t", V::integer(6), V::timestamp_millis(7)), "{5}"},
        {range("zz", V::integer(0), std::nullopt), "{}"},
        {range("zz", V::string("x"), std::nullopt), "invalid range filter for metadata field 'zz'"},
        {range("a", V::integer(0), V::boolean(true)), "invalid range filter for metadata field 'a'"},
        {exists("b"), "{2,5}"},
        {exists("zz"), "{}"},
        {all_of({}), "{0,1,2,3,4,5}"},
        {all_of({exists("a"), range("b", V::floating(nan), std::nullopt)}), "{0,1,2,3,4}"},
        {all_of({exists("a"), exists("b")}), "{2}"},
        {any_of({exists("a"), range("b", V::floating(nan), std::nullopt)}), "none"},
        {any_of({range("b", V::floating(nan), std::nullopt), range("b", V::string("x"), std::nullopt)}),
         "none"},
        {any_of({}), "{}"},
        {any_of({exists("t"), equals("a", V::integer(1))}), "{0,5}"},
        {all_of({exists("a"), range("b", V::string("x"), std::nullopt)}),
         "invalid range filter for metadata field 'b'"},
    };
    for (const auto& c : cases) EXPECT_EQ(candidates(index, c.filter), c.expected);
}

TEST(MetadataFilterIndex, RemoveAndEstimates) {
    MetadataFilterIndex index;
    EXPECT_EQ(index.estimated_payload_bytes(), 0u);
    index.insert(0, {{"ab", V::boolean(true)}});
    EXPECT_EQ(index.estimated_payload_bytes(), 27u);
    index.remove(0, {{"ab", V::boolean(true)}});
    EXPECT_EQ(candidates(index, exists("ab")), "{}");
    EXPECT_EQ(index.estimated_payload_bytes(), 2u);  // the field's name stays
    // Removing what was never inserted changes nothing.
    index.insert(1, {{"n", V::integer(3)}});
    const auto before = index.estimated_payload_bytes();
    index.remove(9, {{"n", V::integer(4)}, {"zz", V::string("q")}});
    EXPECT_EQ(index.estimated_payload_bytes(), before);
    EXPECT_EQ(candidates(index, equals("n", V::integer(3))), "{1}");
    index.remove(1, {{"n", V::integer(3)}});
    EXPECT_EQ(candidates(index, range("n", V::integer(0), std::nullopt)), "{}");
    EXPECT_EQ(candidates(index, all_of({})), "{}");
}

V random_value(std::mt19937_64& rng) {
    static const double floats[] = {0.0, -0.0, 1.0, 2.5, -3.0, inf, -inf, nan, 1e300};
    switch (rng() % 5) {
        case 0: return V::string(std::string(1, static_cast<char>('a' + rng() % 3)));
        case 1: return V::integer(static_cast<std::int64_t>(rng() % 5) - 2);
        case 2: return V::floating(floats[rng() % std::size(floats)]);
        case 3: return V::boolean(rng() % 2);
        default: return V::timestamp_millis(static_cast<std::int64_t>(rng() % 5) - 2);
    }
}

Filter random_filter(std::mt19937_64& rng, int depth) {
    static const char* fields[] = {"x", "y", "z"};
    const char* field = fields[rng() % 3];
    auto bound = [&]() -> std::optional<V> {
        if (rng() % 3 == 0) return std::nullopt;
        V v = random_value(rng);
        return v.numeric_view() ? std::optional<V>(v) : std::optional<V>(V::integer(0));
    };
    switch (rng() % (depth > 2 ? 5 : 7)) {
        case 0: return equals(field, random_value(rng));
        case 1: return not_equals(field, random_value(rng));
        case 2: return Filter{filters::In{field, {random_value(rng), random_value(rng)}}};
        case 3: return range(field, bound(), bound());
        case 4: return exists(field);
        default: {
            std::vector<Filter> children;
            for (int i = 0, n = static_cast<int>(rng() % 3); i < n; ++i) children.push_back(random_filter(rng, depth + 1));
            return rng() % 2 ? all_of(std::move(children)) : any_of(std::move(children));
        }
    }
}

// The contract searches rely on: a candidate set never misses a matching chunk.
TEST(MetadataFilterIndex, CandidatesAlwaysCoverMatchingChunks) {
    std::mt19937_64 rng(5);
    std::vector<MetadataMap> chunks(300);
    MetadataFilterIndex index;
    for (std::size_t offset = 0; offset < chunks.size(); ++offset) {
        for (const char* field : {"x", "y", "z"}) {
            if (rng() % 4 != 0) chunks[offset].insert_or_assign(field, random_value(rng));
        }
        index.insert(offset, chunks[offset]);
    }
    for (std::size_t offset = 0; offset < chunks.size(); offset += 3) index.remove(offset, chunks[offset]);
    for (int round = 0; round < 2000; ++round) {
        const Filter filter = random_filter(rng, 0);
        auto result = index.candidate_set(filter);
        ASSERT_TRUE(result);
        for (std::size_t offset = 0; offset < chunks.size(); ++offset) {
            if (offset % 3 == 0) continue;
            auto matched = matches(filter, chunks[offset]);
            ASSERT_TRUE(matched);
            if (matched.value() && result.value()) {
                ASSERT_TRUE(result.value()->contains(offset)) << "round " << round << " offset " << offset;
            }
        }
    }
}

}  // namespace
}  // namespace tessarin
