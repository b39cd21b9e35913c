#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "core/json.h"

namespace tessarin {
namespace {

// "ok" or the error with its position.
template <typename Decode>
std::string outcome(std::string_view text, Decode decode) {
    auto parsed = json::parse(text, decode);
    return parsed ? std::string("ok") : parsed.error().describe();
}

std::string skip(std::string_view text) {
    return outcome(text, [](json::Reader& r) {
        r.skip_value();
        return 0;
    });
}

TEST(JsonReader, SyntaxErrorsAreNamedWithTheirPosition) {
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {R"({"a":[1,{"b":null}],"c":"\ud83d\ude00","d":-0.5e-3,"e":true})", "ok"},
        {" [ ] \n\t\r", "ok"},
        {"[1e999, 123456789012345678901234567890]", "ok"},  // skipped numbers need not fit
        {"", "EOF while parsing a value at line 1 column 1"},
        {"  ", "EOF while parsing a value at line 1 column 3"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {R"({"a":1,})", "trailing comma at line 1 column 8"},
        {R"({"a" 1})", "expected `:` at line 1 column 6"},
        {R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {R"({"a":1)", "EOF while parsing an object at line 1 column 7"},
        {"[1", "EOF while parsing a list at line 1 column 3"},
        {R"({"a":tru})", "invalid literal at line 1 column 9"},
        {"[nul]", "invalid literal at line 1 column 5"},
        {"[01]", "expected `,` or `]` at line 1 column 3"},
        {"[1.]", "invalid number at line 1 column 4"},
        {"[-]", "invalid number at line 1 column 3"},
        {"[1.5.3]", "expected `,` or `]` at line 1 column 5"},
        {"[+1]", "expected value at line 1 column 2"},
        {"[NaN]", "expected value at line 1 column 2"},
        {"[-Infinity]", "invalid number at line 1 column 3"},
        {R"(["\q"])", "invalid escape at line 1 column 3"},
        {R"(["\u12G4"])", "invalid escape at line 1 column 7"},
        {R"(["x\ud800"])", "lone leading surrogate in hex escape at line 1 column 4"},
        {R"(["\ud800\u0041"])", "lone leading surrogate in hex escape at line 1 column 3"},
        {R"(["\udc00"])", "lone trailing surrogate in hex escape at line 1 column 3"},
        {"[\"\xC3\x28\"]", "invalid UTF-8 in string at line 1 column 3"},
        {"[\"\xED\xA0\x80\"]", "invalid UTF-8 in string at line 1 column 3"},  // encoded surrogate
        {"[\"a\x01\"]", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
        {R"(["abc)", "EOF while parsing a string at line 1 column 6"},
        {"{} x", "trailing characters at line 1 column 4"},
        {"{}}", "trailing characters at line 1 column 3"},
        {"[1]\xFF", "trailing characters at line 1 column 4"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"\"a\" \"b\"", "trailing characters at line 1 column 5"},
        {"{\n  \"a\": 1,\n  \"b\" 2\n}", "expected `:` at line 3 column 7"},
    };
    for (const auto& c : cases) EXPECT_EQ(skip(c.text), c.expected) << c.text;
}

// simdjson decides what is valid, the plain checker names what is not: they must
// agree on every text, or a hostile text could slip through or get a vague message.
TEST(JsonReader, AcceptsExactlyWhatThePlainCheckAccepts) {
    const std::string bases[] = {
        R"({"record":{"id":"a\u00e9","fields":{"x":{"List":[{"F64":-1.5e-3},"Null",{"I64":7}]}},"content":null},)"
        R"("chunks":[{"key":"k","embedding":[0.25,1,-2E+2,3e-1],"ok":[true,false]}]})",
        "[\"\\ud83d\\ude00\", 0, -0.0, 12.5e10, [], {}, [[{}]], \"\xC3\xA9\"]",
    };
    const std::string alphabet = "{}[],:\"\\ 0123456789-+.eEtrufalsn/xu\x01\x7f\xC3\xA9\xFF\n";
    std::mt19937_64 rng(11);
    int rejected = 0;
    for (int round = 0; round < 30000; ++round) {
        std::string text = bases[round % 2];
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const std::size_t at = rng() % text.size();
            const char c = alphabet[rng() % alphabet.size()];
            switch (rng() % 3) {
                case 0: text.erase(at, 1); break;
                case 1: text.insert(at, 1, c); break;
                default: text[at] = c;
            }
        }
        const auto plain = json::detail::check_syntax(text);
        const std::string expected = plain ? plain->describe() : "ok";
        ASSERT_EQ(skip(text), expected) << text;
        rejected += plain.has_value();
    }
    EXPECT_GT(rejected, 10000);  // the edits mostly break the text
}

TEST(JsonReader, NestingIsLimitedTo127Levels) {
    auto arrays = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    auto objects = [](std::size_t depth) {
        std::string text;
        for (std::size_t i = 0; i < depth; ++i) text += "{\"a\":";
        text += "1";
        return text + std::string(depth, '}');
    };
    EXPECT_EQ(skip(arrays(127)), "ok");
    EXPECT_EQ(skip(arrays(128)), "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(skip(objects(127)), "ok");
    EXPECT_EQ(skip(objects(128)), "recursion limit exceeded at line 1 column 636");
    // Refused at the limit, whatever lies deeper, closed or not.
    EXPECT_EQ(skip(arrays(1'000'000)), "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(skip(std::string(1'000'000, '[')), "recursion limit exceeded at line 1 column 128");

    // Also inside members a decoder ignores, and inside containers it leaves early.
    const std::string deep_unknown = R"({"a":1,"ignored":)" + arrays(127) + "}";
    auto read_a = [](json::Reader& r) {
        const json::Container object = r.begin_object();
        std::string_view key;
        std::int64_t a = 0;
        while (r.next_member(object, key)) {
            if (key == "a") a = r.read_i64();
        }
        return a;
    };
    EXPECT_EQ(outcome(deep_unknown, read_a), "recursion limit exceeded at line 1 column 144");
    const std::string deep_after = "[[1," + arrays(127) + "]]";
    EXPECT_EQ(outcome(deep_after,
                      [](json::Reader& r) {
                          const json::Container outer = r.begin_array();
                          r.next_element(outer);
                          const json::Container inner = r.begin_array();
                          r.next_element(inner);
                          return r.read_i64();  // leaves the rest of `inner` unread
                      }),
              "recursion limit exceeded at line 1 column 130");
}

TEST(JsonReader, ScalarReadsCheckTypeAndRange) {
    auto i64 = [](std::string_view t) {
        auto p = json::parse(t, [](json::Reader& r) { return r.read_i64(); });
        return p ? std::to_string(p.value()) : p.error().describe();
    };
    auto u64 = [](std::string_view t) {
        auto p = json::parse(t, [](json::Reader& r) { return r.read_u64(); });
        return p ? std::to_string(p.value()) : p.error().describe();
    };
    auto u32 = [](std::string_view t) {
        auto p = json::parse(t, [](json::Reader& r) { return r.read_u32(); });
        return p ? std::to_string(p.value()) : p.error().describe();
    };
    EXPECT_EQ(i64("9223372036854775807"), "9223372036854775807");
    EXPECT_EQ(i64("[-9223372036854775808]").substr(0, 14), "invalid type: ");  // the array itself
    EXPECT_EQ(i64("-9223372036854775808"), "-9223372036854775808");
    EXPECT_EQ(i64(" 9223372036854775808"), "integer `9223372036854775808` is out of range for i64 at line 1 column 2");
    EXPECT_EQ(i64("-9223372036854775809"),
              "integer `-9223372036854775809` is out of range for i64 at line 1 column 1");
    EXPECT_EQ(i64("1.5"), "invalid type: floating point `1.5`, expected i64 at line 1 column 1");
    EXPECT_EQ(i64("1e2"), "invalid type: floating point `1e2`, expected i64 at line 1 column 1");
    EXPECT_EQ(i64("\"5\""), "invalid type: string, expected i64 at line 1 column 1");
    EXPECT_EQ(i64("01"), "trailing characters at line 1 column 2");
    EXPECT_EQ(u64("18446744073709551615"), "18446744073709551615");
    EXPECT_EQ(u64("18446744073709551616"), "integer `18446744073709551616` is out of range for u64 at line 1 column 1");
    EXPECT_EQ(u64("-1"), "integer `-1` is out of range for u64 at line 1 column 1");
    EXPECT_EQ(u64("-0"), "0");
    EXPECT_EQ(u64("null"), "invalid type: null, expected u64 at line 1 column 1");
    EXPECT_EQ(u32("4294967295"), "4294967295");
    EXPECT_EQ(u32("4294967296"), "integer `4294967296` is out of range for u32 at line 1 column 1");

    auto f64 = [](std::string_view t) -> std::string {
        auto p = json::parse(t, [](json::Reader& r) { return r.read_f64(); });
        if (!p) return p.error().describe();
        char buffer[32];
        return std::string(buffer, std::to_chars(buffer, buffer + sizeof buffer, p.value()).ptr);
    };
    EXPECT_EQ(f64("2"), "2");
    EXPECT_EQ(f64("-0"), "-0");
    EXPECT_EQ(f64("0.1"), "0.1");
    EXPECT_EQ(f64("123456789012345678901234567890"), "1.2345678901234568e+29");
    EXPECT_EQ(f64("1e-999"), "0");
    EXPECT_EQ(f64("1e999"), "number `1e999` is out of range at line 1 column 1");
    EXPECT_EQ(f64("-1.8e308"), "number `-1.8e308` is out of range at line 1 column 1");
    EXPECT_EQ(f64("true"), "invalid type: boolean, expected a number at line 1 column 1");

    auto text = [](std::string_view t) {
        auto p = json::parse(t, [](json::Reader& r) { return r.read_string(); });
        return p ? p.value() : p.error().describe();
    };
    EXPECT_EQ(text(R"("a\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00")"), "a\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(text("5"), "invalid type: number, expected a string at line 1 column 1");

    auto boolean = [](std::string_view t) {
        auto p = json::parse(t, [](json::Reader& r) { return r.read_bool(); });
        return p ? std::string(p.value() ? "true" : "false") : p.error().describe();
    };
    EXPECT_EQ(boolean(" false "), "false");
    EXPECT_EQ(boolean("1"), "invalid type: number, expected a boolean at line 1 column 1");
    EXPECT_EQ(boolean("{}"), "invalid type: object, expected a boolean at line 1 column 1");
    EXPECT_EQ(outcome("[]", [](json::Reader& r) { return r.begin_object() ? 1 : 0; }),
              "invalid type: array, expected an object at line 1 column 1");
}

// A small typed decoder in the style of the engine's own: {"name": str, "kind":
// "A" | "B", "count": u64 (optional)} with unknown members ignored.
struct Item {
    std::string name;
    std::string kind;
    std::uint64_t count = 0;
};

Item read_item(json::Reader& reader) {
    Item item;
    json::MemberSet seen;
    const json::Container object = reader.begin_object();
    std::string_view key;
    while (reader.next_member(object, key)) {
        if (key == "name") {
            if (seen.see(reader, 0, key)) item.name = reader.read_string();
        } else if (key == "kind") {
            if (seen.see(reader, 1, key)) {
                item.kind = reader.read_string();
                if (item.kind != "A" && item.kind != "B") reader.unknown_variant(item.kind, {"A", "B"});
            }
        } else if (key == "count") {
            if (seen.see(reader, 2, key)) item.count = reader.read_u64();
        }
    }
    if (!seen.has(0)) reader.missing_field(object, "name");
    if (!seen.has(1)) reader.missing_field(object, "kind");
    return item;
}

TEST(JsonReader, TypedDecodingErrors) {
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {R"({"kind":"B","extra":{"x":[1,2,{"y":null}]},"name":"n"})", "ok"},
        {R"({"name":"n","\u006bind":"A"})", "ok"},  // keys are compared unescaped
        {R"({"kind":"A"})", "missing field `name` at line 1 column 1"},
        {"[\n {\"name\":\"n\"}]", "missing field `kind` at line 2 column 2"},
        {R"({"name":"n","kind":"A","name":"m"})", "duplicate field `name` at line 1 column 24"},
        {R"({"name":"n","kind":"C"})", "unknown variant `C`, expected one of `A`, `B` at line 1 column 20"},
        {R"({"name":"n","kind":"A","count":-1})", "integer `-1` is out of range for u64 at line 1 column 32"},
        {R"({"name":1,"kind":"A"})", "invalid type: number, expected a string at line 1 column 9"},
        {R"({"name":"n","kind":"A","other":tru})", "invalid literal at line 1 column 35"},
        {R"({"name":"n","kind":"A"} [])", "trailing characters at line 1 column 25"},
        {R"("n")", "invalid type: string, expected an object at line 1 column 1"},
    };
    for (const auto& c : cases) {
        const bool list = c.text.front() == '[';
        const std::string got = list ? outcome(c.text,
                                               [](json::Reader& r) {
                                                   const json::Container items = r.begin_array();
                                                   std::vector<Item> all;
                                                   while (r.next_element(items)) all.push_back(read_item(r));
                                                   return all.size();
                                               })
                                     : outcome(c.text, read_item);
        EXPECT_EQ(got, c.expected) << c.text;
    }

    // The first error stands; the decoder's later complaints are ignored.
    auto first = json::parse(R"({"kind":"Z"})", read_item);
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().message, "unknown variant `Z`, expected one of `A`, `B`");
}

TEST(JsonReader, FloatArraysRoundEachNumberToTheNearestFloat) {
    auto read = [](std::string_view text) {
        return json::parse(text, [](json::Reader& r) {
            std::vector<float> out;
            r.read_f32_array(out);
            return out;
        });
    };
    auto values = read("[1, 2.5, 3e38, -0, 0.1]");
    ASSERT_TRUE(values);
    const std::vector<float> expected = {1.0f, 2.5f, 3e38f, -0.0f, 0.1f};
    ASSERT_EQ(values.value().size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(values.value()[i]), std::bit_cast<std::uint32_t>(expected[i])) << i;
    }
    EXPECT_EQ(read("[1, \"x\"]").error().describe(), "invalid type: string, expected a number at line 1 column 5");
    EXPECT_EQ(read("[1, 2").error().describe(), "EOF while parsing a list at line 1 column 6");
    EXPECT_EQ(read("[1e400]").error().describe(), "number `1e400` is out of range at line 1 column 2");
}

TEST(JsonWriter, CompactText) {
    json::Writer w;
    w.begin_object();
    w.key("s");
    w.string(std::string("q\"\\/\n\r\t\b\f\x01\x1f\x7f\xC3\xA9", 14));
    w.key("ints");
    w.begin_array();
    w.integer(std::numeric_limits<std::int64_t>::min());
    w.unsigned_integer(std::numeric_limits<std::uint64_t>::max());
    w.end_array();
    w.key("floats");
    w.begin_array();
    for (double d : {0.1, -0.0, 1e300, 5e-324, 2.5, 1.0 / 3}) w.number(d);
    w.end_array();
    w.key("e");
    w.begin_object();
    w.end_object();
    w.key("n");
    w.null();
    w.key("b");
    w.boolean(false);
    w.end_object();
    EXPECT_EQ(std::move(w).finish().value(),
              "{\"s\":\"q\\\"\\\\/\\n\\r\\t\\b\\f\\u0001\\u001f\x7f\xC3\xA9\","
              R"("ints":[-9223372036854775808,18446744073709551615],)"
              R"("floats":[0.1,-0,1e+300,5e-324,2.5,0.3333333333333333],"e":{},"n":null,"b":false})");

    json::Writer bad;
    bad.begin_array();
    bad.number(std::numeric_limits<double>::quiet_NaN());
    bad.end_array();
    EXPECT_EQ(std::move(bad).finish().error().message, "non-finite floating-point values cannot be written as JSON");
}

TEST(JsonWriter, IndentedText) {
    json::Writer w(2);
    w.begin_object();
    w.key("format_version");
    w.integer(4);
    w.key("checksums");
    w.begin_object();
    w.key("algorithm");
    w.string("sha256");
    w.key("vectors");
    w.string("ab");
    w.end_object();
    w.key("list");
    w.begin_array();
    w.end_array();
    w.key("has_bm25");
    w.boolean(true);
    w.end_object();
    EXPECT_EQ(std::move(w).finish().value(),
              "{\n"
              "  \"format_version\": 4,\n"
              "  \"checksums\": {\n"
              "    \"algorithm\": \"sha256\",\n"
              "    \"vectors\": \"ab\"\n"
              "  },\n"
              "  \"list\": [],\n"
              "  \"has_bm25\": true\n"
              "}");
}

TEST(JsonRoundTrip, DoublesAndStringsReadBackExactly) {
    std::mt19937_64 rng(7);
    std::vector<double> doubles = {0.0, -0.0, 5e-324, -2.2250738585072014e-308, 1.7976931348623157e308, 1e23,
                                   9007199254740993.0, 0.30000000000000004};
    while (doubles.size() < 20000) {
        const double d = std::bit_cast<double>(rng());
        if (std::isfinite(d)) doubles.push_back(d);
    }
    std::string strings;
    for (int c = 0; c < 0x80; ++c) strings += static_cast<char>(c);
    strings += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";

    json::Writer w;
    w.begin_array();
    w.string(strings);
    for (double d : doubles) w.number(d);
    w.end_array();
    const std::string text = std::move(w).finish().value();

    auto back = json::parse(text, [](json::Reader& r) {
        std::pair<std::string, std::vector<double>> out;
        const json::Container array = r.begin_array();
        if (r.next_element(array)) out.first = r.read_string();
        while (r.next_element(array)) out.second.push_back(r.read_f64());
        return out;
    });
    ASSERT_TRUE(back) << back.error().describe();
    EXPECT_EQ(back.value().first, strings);
    ASSERT_EQ(back.value().second.size(), doubles.size());
    for (std::size_t i = 0; i < doubles.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back.value().second[i]), std::bit_cast<std::uint64_t>(doubles[i]))
            << doubles[i];
    }
}

}  // namespace
}  // namespace tessarin
