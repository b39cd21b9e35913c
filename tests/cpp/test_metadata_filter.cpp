#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/filter.h"
#include "core/metadata.h"

namespace tessarin {
namespace {

using V = MetadataValue;

TEST(MetadataValue, EqualityNeverMixesKindsAndFollowsIeee) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(V::integer(1).equals(V::floating(1.0)));
    EXPECT_FALSE(V::integer(1).equals(V::timestamp_millis(1)));
    EXPECT_FALSE(V::integer(1).equals(V::boolean(true)));
    EXPECT_TRUE(V::timestamp_millis(7).equals(V::timestamp_millis(7)));
    EXPECT_TRUE(V::string(std::string("a\0b", 3)).equals(V::string(std::string("a\0b", 3))));
    EXPECT_FALSE(V::string(std::string("a\0b", 3)).equals(V::string("a")));
    EXPECT_TRUE(V::floating(0.0).equals(V::floating(-0.0)));
    EXPECT_FALSE(V::floating(nan).equals(V::floating(nan)));
    // Representation identity is what a stored value keeps: NaN stays itself.
    EXPECT_TRUE(V::floating(nan) == V::floating(nan));
    EXPECT_FALSE(V::floating(0.0) == V::floating(-0.0));
}

TEST(MetadataValue, NumericView) {
    EXPECT_EQ(V::integer((1LL << 53) + 1).numeric_view(), 9007199254740992.0);
    EXPECT_EQ(V::timestamp_millis(-5).numeric_view(), -5.0);
    EXPECT_EQ(V::floating(4.5).numeric_view(), 4.5);
    EXPECT_FALSE(V::string("5").numeric_view());
    EXPECT_FALSE(V::boolean(true).numeric_view());
}

TEST(MetadataValue, PayloadEstimate) {
    EXPECT_EQ(estimated_metadata_payload_bytes({}), 0u);
    EXPECT_EQ(estimated_metadata_payload_bytes({{"a", V::string("xyz")}}), 4u);
    EXPECT_EQ(estimated_metadata_payload_bytes({{"flag", V::boolean(false)}}), 5u);
    EXPECT_EQ(estimated_metadata_payload_bytes({{"n", V::integer(1)}, {"t", V::timestamp_millis(2)}}), 18u);
}

TEST(MetadataMap, OrdersKeysByBytes) {
    MetadataMap map{{"b", V::integer(1)}, {"B", V::integer(2)}, {"\xc3\xa9", V::integer(3)}, {"a", V::integer(4)}};
    std::vector<std::string> keys;
    for (const auto& entry : map) keys.push_back(entry.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "b", "\xc3\xa9"}));
}

Filter range(std::optional<V> lower, std::optional<V> upper) {
    return Filter{filters::Range{"x", std::move(lower), std::move(upper)}};
}

TEST(Matches, RangeWithoutBoundsAcceptsAnyNumber) {
    const Filter open = range(std::nullopt, std::nullopt);
    EXPECT_TRUE(matches(open, {{"x", V::integer(3)}}).value());
    EXPECT_TRUE(matches(open, {{"x", V::floating(std::nan(""))}}).value());
    EXPECT_FALSE(matches(open, {{"x", V::string("3")}}).value());
    EXPECT_FALSE(matches(open, {}).value());
}

TEST(Matches, RangeErrorsNameTheField) {
    auto result = matches(range(V::boolean(true), std::nullopt), {{"x", V::integer(1)}});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), ErrorKind::InvalidRangeFilter);
    EXPECT_EQ(result.error().display(), "invalid range filter for metadata field 'x'");
    // And propagates the first error; a false child before it wins.
    Filter both{filters::And{}};
    auto& children = std::get<filters::And>(both.node).children;
    children.push_back(Filter{filters::Exists{"missing"}});
    children.push_back(range(V::string("a"), std::nullopt));
    EXPECT_FALSE(matches(both, {{"x", V::integer(1)}}).value());
    std::swap(children[0], children[1]);
    EXPECT_FALSE(matches(both, {{"x", V::integer(1)}}));
}

}  // namespace
}  // namespace tessarin
