#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/metadata.h"
#include "core/record_store.h"

namespace tessarin {
namespace {

using RV = RecordValue;

std::string identity_error(Status status) { return status ? "ok" : status.error().display(); }
template <typename Id>
std::string make(std::string text) {
    auto made = Id::create(std::move(text));
    return made ? "ok" : made.error().display();
}

TEST(Identifiers, Rules) {
    EXPECT_EQ(make<RecordId>(""), "invalid RecordId '': must contain 1-512 UTF-8 bytes");
    EXPECT_EQ(make<RecordId>(std::string(513, 'a')).substr(0, 20), "invalid RecordId 'aa");
    EXPECT_NE(make<RecordId>(std::string(513, 'a')).find("': must contain 1-512 UTF-8 bytes"), std::string::npos);
    std::string four_byte_chars;
    for (int i = 0; i < 128; ++i) four_byte_chars += "\xF0\x9F\x98\x80";
    EXPECT_EQ(make<RecordId>(four_byte_chars), "ok");
    EXPECT_EQ(make<ChunkKey>("ordinal-0"), "ok");
    EXPECT_EQ(make<CorpusId>(std::string(129, 'c')).find("must contain 1-128 UTF-8 bytes") != std::string::npos, true);
    for (const char* good : {"_x", "A", "Document", "a_1"}) EXPECT_EQ(make<RecordType>(good), "ok") << good;
    for (std::string bad : {std::string("1abc"), std::string("a-b"), std::string(65, 'a'), std::string("caf\xC3\xA9"),
                            std::string("")}) {
        EXPECT_EQ(make<FieldName>(bad), "invalid FieldName '" + bad + "': must match [A-Za-z_][A-Za-z0-9_]{0,63}");
    }
    EXPECT_EQ(make<RecordType>(std::string(64, 'a')), "ok");
}

Record record_with_fields(std::initializer_list<std::pair<const char*, RV>> fields) {
    Record r;
    r.id = RecordId::from_trusted("r");
    r.record_type = RecordType::from_trusted("T");
    for (const auto& [name, value] : fields) r.fields.emplace(FieldName::from_trusted(name), value);
    return r;
}

TEST(RecordValue, CanonicalFormPaths) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto map = [](std::initializer_list<std::pair<const char*, RV>> entries) {
        RV::Map m;
        for (const auto& [k, v] : entries) m.emplace(FieldName::from_trusted(k), v);
        return RV::map(std::move(m));
    };
    struct Case {
        RV value;
        std::string path, expected;
    };
    const std::string reason = "': non-finite floating-point values are not canonical";
    const Case cases[] = {
        {RV::f64(nan), "score", "invalid canonical record value at 'score" + reason},
        {RV::list({RV::f64(1), RV::f64(-INFINITY)}), "scores", "invalid canonical record value at 'scores[1]" + reason},
        {map({{"x", RV::f64(nan)}}), "meta", "invalid canonical record value at 'meta.x" + reason},
        // First failure in order: list items by index, map entries by key.
        {RV::list({RV::i64(0), map({{"b", RV::f64(INFINITY)}, {"a", RV::list({RV(), RV::f64(nan)})}})}), "f",
         "invalid canonical record value at 'f[1].a[1]" + reason},
        {RV::list({RV(), RV::boolean(false), RV::string("")}), "l", "ok"},
        {RV::f64(-0.0), "z", "ok"},
        {RV::f64(std::numeric_limits<double>::max()), "z", "ok"},
        {map({}), "m", "ok"},
    };
    for (const auto& c : cases) EXPECT_EQ(identity_error(RV::validate(c.value, c.path)), c.expected) << c.path;

    Record r = record_with_fields({{"a", RV::i64(1)}, {"b", RV::list({RV::f64(nan)})}, {"c", RV::f64(nan)}});
    EXPECT_EQ(identity_error(Record::validate(r)), "invalid canonical record value at 'b[0]" + reason);
}

TEST(RecordValue, Estimates) {
    EXPECT_EQ(RV::estimated_payload_bytes(RV::list({RV::i64(1), RV::string("ab")})), 10u);
    RV::Map map;
    map.emplace(FieldName::from_trusted("k"), RV::boolean(true));
    EXPECT_EQ(RV::estimated_payload_bytes(RV::map(map)), 2u);
    EXPECT_EQ(RV::estimated_payload_bytes(RV()), 0u);
}

Record record(const char* id, RV value, std::optional<std::string> content = std::nullopt) {
    Record r;
    r.id = RecordId::from_trusted(id);
    r.record_type = RecordType::from_trusted("Document");
    r.fields.emplace(FieldName::from_trusted("score"), std::move(value));
    r.content = std::move(content);
    return r;
}

TEST(RecordStore, UpsertValidateAndEstimate) {
    RecordStore store{CorpusId::from_trusted("default"), {}};
    EXPECT_EQ(RecordStore::estimated_payload_bytes(store), 7u);
    auto first = RecordStore::upsert(store, record("a", RV::i64(1)));
    ASSERT_TRUE(first);
    EXPECT_FALSE(first.value());
    auto second = RecordStore::upsert(store, record("a", RV::i64(2), "body"));
    ASSERT_TRUE(second);
    ASSERT_TRUE(second.value());
    EXPECT_EQ(second.value()->fields.at(FieldName::from_trusted("score")), RV::i64(1));
    auto bad = RecordStore::upsert(store, record("a", RV::f64(NAN)));
    ASSERT_FALSE(bad);
    EXPECT_EQ(store.records.at(RecordId::from_trusted("a")).fields.at(FieldName::from_trusted("score")), RV::i64(2));
    // 7 corpus + 1 id + 8 type + 4 content + 5 name + 8 value
    EXPECT_EQ(RecordStore::estimated_payload_bytes(store), 33u);
    EXPECT_TRUE(RecordStore::validate(store));

    store.records.emplace(RecordId::from_trusted("x"), record("y", RV::i64(0)));
    EXPECT_EQ(identity_error(RecordStore::validate(store)),
              "invalid canonical record value at 'x': record map key does not match the embedded RecordId");
}

PersistedRecordState sample_state() {
    PersistedRecordState state;
    state.record_store.corpus_id = CorpusId::from_trusted("default");
    RV::Map meta;
    meta.emplace(FieldName::from_trusted("b"), RV::string("q\"\\\n\x01\xC3\xA9"));
    meta.emplace(FieldName::from_trusted("a"), RV());
    Record r = record("doc-1", RV::list({RV::f64(0.1), RV::f64(-0.0), RV::f64(1e300), RV::i64(-3),
                                         RV::boolean(true), RV::map(meta)}));
    state.record_store.records.emplace(r.id, r);
    Record plain = record("doc-2", RV::f64(2.5), "text body");
    state.record_store.records.emplace(plain.id, plain);
    state.chunk_identities.push_back({{RecordId::from_trusted("doc-1"), ChunkKey::from_trusted("ordinal-0")}, 7});
    state.chunk_identities.push_back(
        {{RecordId::from_trusted("doc-2"), ChunkKey::from_trusted("k")}, std::numeric_limits<std::uint64_t>::max()});
    return state;
}

TEST(RecordJson, CompactOutputAndRoundTrip) {
    PersistedRecordState empty;
    empty.record_store.corpus_id = CorpusId::from_trusted("default");
    EXPECT_EQ(to_json(empty).value(), R"({"record_store":{"corpus_id":"default","records":{}},"chunk_identities":[]})");

    const PersistedRecordState state = sample_state();
    const std::string text = to_json(state).value();
    EXPECT_EQ(text,
              R"({"record_store":{"corpus_id":"default","records":{"doc-1":{"id":"doc-1","record_type":"Document",)"
              R"("fields":{"score":{"List":[{"F64":0.1},{"F64":-0},{"F64":1e+300},{"I64":-3},{"Bool":true},)"
              R"({"Map":{"a":"Null","b":{"String":"q\"\\\n\u0001)"
              "\xC3\xA9"
              R"("}}}]}},"content":null},"doc-2":{"id":"doc-2","record_type":"Document","fields":{"score":{"F64":2.5}},)"
              R"("content":"text body"}}},"chunk_identities":[[{"record_id":"doc-1","chunk_key":"ordinal-0"},7],)"
              R"([{"record_id":"doc-2","chunk_key":"k"},18446744073709551615]]})");
    auto back = parse_persisted_record_state(text);
    ASSERT_TRUE(back) << back.error().describe();
    EXPECT_EQ(back.value(), state);
}

TEST(RecordJson, WriterRefusesNonFiniteFloats) {
    auto written = to_json(RV::f64(INFINITY));
    ASSERT_FALSE(written);
    EXPECT_NE(written.error().message.find("non-finite"), std::string::npos);
}

std::string read_error(std::string_view text) {
    auto parsed = parse_persisted_record_state(text);
    return parsed ? "ok" : parsed.error().describe();
}

std::string record_error(std::string_view text) {
    auto parsed = json::parse(text, [](json::Reader& r) { return read_record(r); });
    return parsed ? "ok" : parsed.error().describe();
}

TEST(RecordJson, ReaderErrorsCarryTheirPosition) {
    struct Case {
        std::string text, expected;
    };
    const std::string head = R"({"id":"a","record_type":"T","fields":{"x":)";  // the field value starts at column 43
    const Case cases[] = {
        {R"({"id":"a","record_type":"T","fields":{}})", "ok"},
        {R"({"fields":{},"content":null,"extra":[1,{"k":2}],"record_type":"T","id":"a"})", "ok"},
        {head + R"({"Null":null}}})", "ok"},
        {head + R"({"F64":1e-999}}})", "ok"},
        {R"({"id":"a","record_type":"T"})", "missing field `fields` at line 1 column 1"},
        {R"({"id":"a"})", "missing field `record_type` at line 1 column 1"},
        {"{\"id\":\"a\",\n\"id\":\"b\"}", "duplicate field `id` at line 2 column 1"},
        {head + R"({"I64":1},"x":"Null"}})", "duplicate field `x` at line 1 column 53"},
        {head + R"({"Int":1}}})",
         "unknown variant `Int`, expected one of `Null`, `Bool`, `I64`, `F64`, `String`, `List`, `Map` at line 1 "
         "column 44"},
        {head + R"("Nope"}})",
         "unknown variant `Nope`, expected one of `Null`, `Bool`, `I64`, `F64`, `String`, `List`, `Map` at line 1 "
         "column 43"},
        {head + R"("Bool"}})", "invalid type: unit variant, expected newtype variant at line 1 column 43"},
        {head + R"({}}})", "invalid length 0, expected an object with exactly one member at line 1 column 43"},
        {head + R"({"I64":1,"F64":2}}})",
         "invalid length, expected an object with exactly one member at line 1 column 52"},
        {head + R"({"I64":9223372036854775808}}})",
         "integer `9223372036854775808` is out of range for i64 at line 1 column 50"},
        {head + R"({"I64":1.5}}})", "invalid type: floating point `1.5`, expected i64 at line 1 column 50"},
        {head + R"({"F64":1e999}}})", "number `1e999` is out of range at line 1 column 50"},
        {head + R"({"F64":"1"}}})", "invalid type: string, expected a number at line 1 column 50"},
        {head + R"({"Bool":1}}})", "invalid type: number, expected a boolean at line 1 column 51"},
        {head + R"({"String":null}}})", "invalid type: null, expected a string at line 1 column 53"},
        {head + R"({"List":{}}}})", "invalid type: object, expected an array at line 1 column 51"},
        {head + R"(5}})", "invalid type: number, expected an object at line 1 column 43"},
        {R"({"id":5})", "invalid type: number, expected a string at line 1 column 7"},
        {R"({"id":"a","record_type":"T","fields":{},"content":7})",
         "invalid type: number, expected a string at line 1 column 51"},
        {R"({"id":"\ud800"})", "lone leading surrogate in hex escape at line 1 column 8"},
        {"{\"id\":\"\xC3\x28\"}", "invalid UTF-8 in string at line 1 column 8"},
        {R"({"id":"a","record_type":"T","fields":{}} x)", "trailing characters at line 1 column 42"},
        {R"([])", "invalid type: array, expected an object at line 1 column 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(record_error(c.text), c.expected) << c.text;

    const std::string store = R"({"record_store":{"corpus_id":"d","records":{}},"chunk_identities":)";  // 66 bytes
    EXPECT_EQ(read_error(store + "[]}"), "ok");
    EXPECT_EQ(read_error(store + R"([[{"record_id":"a","chunk_key":"k"}]]})"),
              "invalid length 1, expected a tuple of size 2 at line 1 column 68");
    EXPECT_EQ(read_error(store + R"([[{"record_id":"a","chunk_key":"k"},1,2]]})"),
              "invalid length, expected a tuple of size 2 at line 1 column 105");
    EXPECT_EQ(read_error(store + R"([[{"record_id":"a","chunk_key":"k"},-1]]})"),
              "integer `-1` is out of range for u64 at line 1 column 103");
    EXPECT_EQ(read_error(store + R"([[{"record_id":"a"},1]]})"), "missing field `chunk_key` at line 1 column 69");
    EXPECT_EQ(read_error(R"({"chunk_identities":[]})"), "missing field `record_store` at line 1 column 1");
    EXPECT_EQ(read_error(R"({"record_store":{"records":{}},"chunk_identities":[]})"),
              "missing field `corpus_id` at line 1 column 17");
    // A record stored under a key repeated in the records map.
    EXPECT_EQ(read_error(R"({"record_store":{"corpus_id":"d","records":{"b":)"
                         R"({"id":"b","record_type":"T","fields":{}},"a":{"id":"a","record_type":"T","fields":{}},)"
                         R"("b":{"id":"b","record_type":"T","fields":{}}}},"chunk_identities":[]})"),
              "duplicate field `b` at line 1 column 135");
}

std::string nested_list(int depth) {
    std::string value;
    for (int i = 0; i < depth; ++i) value += "{\"List\":[";
    value += "\"Null\"";
    for (int i = 0; i < depth; ++i) value += "]}";
    return R"({"id":"a","record_type":"T","fields":{"x":)" + value + "}}";
}

TEST(RecordJson, NestingIsBounded) {
    // The record object and its fields object are two levels; each List adds two.
    auto parsed = json::parse(nested_list(62), [](json::Reader& r) { return read_record(r); });
    ASSERT_TRUE(parsed);
    // Values as deep as the reader allows stay within what the checks can recurse over.
    const RecordValue& deepest = parsed.value().fields.begin()->second;
    EXPECT_TRUE(RV::validate(deepest, "x"));
    EXPECT_EQ(RV::estimated_payload_bytes(deepest), 0u);
    EXPECT_EQ(to_json(parsed.value()).value(), nested_list(62).substr(0, nested_list(62).size() - 1) +
                                                  R"(,"content":null})");
    EXPECT_EQ(record_error(nested_list(63)), "recursion limit exceeded at line 1 column 609");
    EXPECT_EQ(record_error(nested_list(100000)), "recursion limit exceeded at line 1 column 609");
}

TEST(MetadataJson, TaggedValues) {
    auto read = [](std::string_view text) -> std::string {
        auto parsed = json::parse(text, [](json::Reader& r) { return read_metadata_value(r); });
        if (!parsed) return parsed.error().describe();
        const MetadataValue& v = parsed.value();
        std::string payload;
        switch (v.kind()) {
            case MetadataKind::String: payload = v.as_string(); break;
            case MetadataKind::Integer: payload = std::to_string(v.as_integer()); break;
            case MetadataKind::Float: payload = std::to_string(v.as_float()); break;
            case MetadataKind::Boolean: payload = v.as_boolean() ? "true" : "false"; break;
            case MetadataKind::TimestampMillis: payload = std::to_string(v.as_timestamp_millis()); break;
        }
        return std::string(metadata_kind_name(v.kind())) + " " + payload;
    };
    struct Case {
        std::string text, expected;
    };
    const Case cases[] = {
        {R"({"String": "en"})", "String en"},
        {R"( { "Float" : 2 } )", "Float 2.000000"},
        {R"({"Integer": -9223372036854775808})", "Integer -9223372036854775808"},
        {R"({"Boolean": true})", "Boolean true"},
        {R"({"TimestampMillis": 5})", "TimestampMillis 5"},
        {R"({"Integer": 1.5})", "invalid type: floating point `1.5`, expected i64 at line 1 column 13"},
        {R"({"TimestampMillis": 9223372036854775808})",
         "integer `9223372036854775808` is out of range for i64 at line 1 column 21"},
        {R"({"Float": "x"})", "invalid type: string, expected a number at line 1 column 11"},
        {R"({"Boolean": 0})", "invalid type: number, expected a boolean at line 1 column 13"},
        {R"("en")", "invalid type: string, expected an object at line 1 column 1"},
        {R"({})", "invalid length 0, expected an object with exactly one member at line 1 column 1"},
        {R"({"Str": "en"})",
         "unknown variant `Str`, expected one of `String`, `Integer`, `Float`, `Boolean`, `TimestampMillis` at line 1 "
         "column 2"},
    };
    for (const auto& c : cases) EXPECT_EQ(read(c.text), c.expected) << c.text;

    auto map = json::parse(R"({"b":{"Integer":1},"a":{"Boolean":true}})",
                           [](json::Reader& r) { return read_metadata_map(r); });
    ASSERT_TRUE(map);
    EXPECT_EQ(map.value().begin()->first, "a");
    auto dup = json::parse(R"({"a":{"Integer":1},"a":{"Integer":2}})",
                           [](json::Reader& r) { return read_metadata_map(r); });
    ASSERT_FALSE(dup);
    EXPECT_EQ(dup.error().describe(), "duplicate field `a` at line 1 column 20");
}

}  // namespace
}  // namespace tessarin
