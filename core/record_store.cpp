#include "core/record_store.h"
#include "core/text.h"

#include <bit>       // std::bit_cast
#include <iterator>  // std::prev
#include <tuple>     // std::tie
#include <cmath>   // std::isfinite
#include <limits>  // std::numeric_limits

namespace tessarin {

namespace identifiers {

std::optional<std::string> check_length(std::string_view text, std::size_t max) {
    if (text.empty() || text.size() > max) return "must contain 1-" + std::to_string(max) + " UTF-8 bytes";
    return std::nullopt;
}

std::optional<std::string> check_name(std::string_view text) {
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    bool valid = !text.empty() && text.size() <= 64 && letter(text.front());
    for (std::size_t i = 1; valid && i < text.size(); ++i) valid = letter(text[i]) || digit(text[i]);
    if (!valid) return std::string("must match [A-Za-z_][A-Za-z0-9_]{0,63}");
    return std::nullopt;
}

}  // namespace identifiers

Status RecordValue::validate(const RecordValue& value, const std::string& path) {
    switch (value.kind()) {
        case RecordValueKind::F64:
            if (!std::isfinite(value.as_f64())) {
                return errors::InvalidRecordValue{path, "non-finite floating-point values are not canonical"};
            }
            return {};
        case RecordValueKind::List: {
            const List& items = value.as_list();
            for (std::size_t i = 0; i < items.size(); ++i) {
                if (Status status = validate(items[i], path + "[" + std::to_string(i) + "]"); !status) return status;
            }
            return {};
        }
        case RecordValueKind::Map:
            for (const auto& [key, item] : value.as_map()) {
                if (Status status = validate(item, path + "." + key.str()); !status) return status;
            }
            return {};
        default:
            return {};
    }
}

std::uint64_t RecordValue::estimated_payload_bytes(const RecordValue& value) noexcept {
    switch (value.kind()) {
        case RecordValueKind::Null: return 0;
        case RecordValueKind::Bool: return 1;
        case RecordValueKind::I64:
        case RecordValueKind::F64: return 8;
        case RecordValueKind::String: return value.as_string().size();
        case RecordValueKind::List: {
            std::uint64_t total = 0;
            for (const RecordValue& item : value.as_list()) total = saturating_add(total, estimated_payload_bytes(item));
            return total;
        }
        case RecordValueKind::Map: {
            std::uint64_t total = 0;
            for (const auto& [key, item] : value.as_map()) {
                total = saturating_add(total, saturating_add(key.str().size(), estimated_payload_bytes(item)));
            }
            return total;
        }
    }
    return 0;
}

bool operator==(const RecordValue& a, const RecordValue& b) noexcept {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == RecordValueKind::F64) {
        return std::bit_cast<std::uint64_t>(a.as_f64()) == std::bit_cast<std::uint64_t>(b.as_f64());
    }
    return a.payload_ == b.payload_;
}

Status Record::validate(const Record& record) {
    for (const auto& [name, value] : record.fields) {
        if (Status status = RecordValue::validate(value, name.str()); !status) return status;
    }
    return {};
}

Result<std::optional<Record>> RecordStore::upsert(RecordStore& store, Record record) {
    if (Status status = Record::validate(record); !status) return std::move(status).error();
    std::optional<Record> replaced;
    auto found = store.records.find(record.id);
    if (found != store.records.end()) {
        replaced = std::move(found->second);
        found->second = std::move(record);
    } else {
        RecordId key = record.id;
        store.records.emplace(std::move(key), std::move(record));
    }
    return replaced;
}

Status RecordStore::validate(const RecordStore& store) {
    for (const auto& [key, record] : store.records) {
        if (key != record.id) {
            return errors::InvalidRecordValue{key.str(), "record map key does not match the embedded RecordId"};
        }
        if (Status status = Record::validate(record); !status) return status;
    }
    return {};
}

std::uint64_t RecordStore::estimated_payload_bytes(const RecordStore& store) noexcept {
    std::uint64_t total = store.corpus_id.str().size();
    for (const auto& [key, record] : store.records) {
        total = saturating_add(total, record.id.str().size());
        total = saturating_add(total, record.record_type.str().size());
        total = saturating_add(total, record.content ? record.content->size() : 0);
        for (const auto& [name, value] : record.fields) {
            total = saturating_add(total, saturating_add(name.str().size(), RecordValue::estimated_payload_bytes(value)));
        }
    }
    return total;
}

// ---------------------------------------------------------------------------------
// JSON

void write_json(json::Writer& writer, const RecordValue& value) {
    auto tagged = [&](std::string_view kind) {
        writer.begin_object();
        writer.key(kind);
    };
    switch (value.kind()) {
        case RecordValueKind::Null: writer.string("Null"); return;
        case RecordValueKind::Bool: tagged("Bool"); writer.boolean(value.as_bool()); break;
        case RecordValueKind::I64: tagged("I64"); writer.integer(value.as_i64()); break;
        case RecordValueKind::F64: tagged("F64"); writer.number(value.as_f64()); break;
        case RecordValueKind::String: tagged("String"); writer.string(value.as_string()); break;
        case RecordValueKind::List:
            tagged("List");
            writer.begin_array();
            for (const RecordValue& item : value.as_list()) write_json(writer, item);
            writer.end_array();
            break;
        case RecordValueKind::Map:
            tagged("Map");
            writer.begin_object();
            for (const auto& [key, item] : value.as_map()) {
                writer.key(key.str());
                write_json(writer, item);
            }
            writer.end_object();
            break;
    }
    writer.end_object();
}

void write_json(json::Writer& writer, const Record& record) {
    writer.begin_object();
    writer.key("id");
    writer.string(record.id.str());
    writer.key("record_type");
    writer.string(record.record_type.str());
    writer.key("fields");
    writer.begin_object();
    for (const auto& [name, value] : record.fields) {
        writer.key(name.str());
        write_json(writer, value);
    }
    writer.end_object();
    writer.key("content");
    if (record.content) {
        writer.string(*record.content);
    } else {
        writer.null();
    }
    writer.end_object();
}

void write_json(json::Writer& writer, const RecordStore& store) {
    writer.begin_object();
    writer.key("corpus_id");
    writer.string(store.corpus_id.str());
    writer.key("records");
    writer.begin_object();
    for (const auto& [key, record] : store.records) {
        writer.key(key.str());
        write_json(writer, record);
    }
    writer.end_object();
    writer.end_object();
}

void write_json(json::Writer& writer, const ChunkIdentity& identity) {
    writer.begin_object();
    writer.key("record_id");
    writer.string(identity.record_id.str());
    writer.key("chunk_key");
    writer.string(identity.chunk_key.str());
    writer.end_object();
}

void write_json(json::Writer& writer, const PersistedRecordState& state) {
    writer.begin_object();
    writer.key("record_store");
    write_json(writer, state.record_store);
    writer.key("chunk_identities");
    writer.begin_array();
    for (const auto& [identity, chunk_id] : state.chunk_identities) {
        writer.begin_array();
        write_json(writer, identity);
        writer.unsigned_integer(chunk_id);
        writer.end_array();
    }
    writer.end_array();
    writer.end_object();
}

namespace {

const std::initializer_list<std::string_view> record_value_kinds = {"Null", "Bool", "I64", "F64",
                                                                    "String", "List", "Map"};

// Reads an object of entries into `out`, refusing repeated keys. Stored maps come
// in key order, so entries are appended at the end while they keep it.
template <typename Key, typename Value, typename ReadValue>
void read_map(json::Reader& reader, std::map<Key, Value>& out, ReadValue&& read_value) {
    const json::Container object = reader.begin_object();
    std::string_view key;
    while (reader.next_member(object, key)) {
        typename std::map<Key, Value>::iterator entry;
        if (out.empty() || std::prev(out.end())->first.str() < key) {
            entry = out.emplace_hint(out.end(), Key::from_trusted(std::string(key)), Value{});
        } else {
            bool inserted = false;
            std::tie(entry, inserted) = out.try_emplace(Key::from_trusted(std::string(key)));
            if (!inserted) {
                reader.duplicate_field(key);
                return;
            }
        }
        entry->second = read_value(reader);
    }
}

}  // namespace

RecordValue read_record_value(json::Reader& reader) {
    if (reader.peek() == json::Reader::Type::String) {
        const std::string_view name = reader.read_string_view();
        if (name == "Null") return RecordValue();
        // A known kind written bare lacks its payload; anything else is unknown.
        for (std::string_view kind : record_value_kinds) {
            if (kind == name) {
                reader.fail_at(reader.last_name_mark(), "invalid type: unit variant, expected newtype variant");
                return RecordValue();
            }
        }
        reader.unknown_variant(name, record_value_kinds);
        return RecordValue();
    }
    const json::Mark start = reader.mark();
    const json::Container object = reader.begin_object();
    std::string_view kind;
    if (!reader.next_member(object, kind)) {
        reader.fail_at(start, "invalid length 0, expected an object with exactly one member");
        return RecordValue();
    }
    RecordValue value;
    if (kind == "Null") {
        reader.read_null();
    } else if (kind == "Bool") {
        value = RecordValue::boolean(reader.read_bool());
    } else if (kind == "I64") {
        value = RecordValue::i64(reader.read_i64());
    } else if (kind == "F64") {
        value = RecordValue::f64(reader.read_f64());
    } else if (kind == "String") {
        value = RecordValue::string(reader.read_string());
    } else if (kind == "List") {
        RecordValue::List items;
        const json::Container array = reader.begin_array();
        while (reader.next_element(array)) items.push_back(read_record_value(reader));
        value = RecordValue::list(std::move(items));
    } else if (kind == "Map") {
        RecordValue::Map entries;
        read_map(reader, entries, [](json::Reader& r) { return read_record_value(r); });
        value = RecordValue::map(std::move(entries));
    } else {
        reader.unknown_variant(kind, record_value_kinds);
        return RecordValue();
    }
    std::string_view extra;
    if (reader.next_member(object, extra)) {
        reader.fail_at(reader.last_name_mark(), "invalid length, expected an object with exactly one member");
    }
    return value;
}

Record read_record(json::Reader& reader) {
    Record record;
    json::MemberSet seen;
    const json::Container object = reader.begin_object();
    std::string_view key;
    while (reader.next_member(object, key)) {
        if (key == "id") {
            if (seen.see(reader, 0, key)) record.id = RecordId::from_trusted(reader.read_string());
        } else if (key == "record_type") {
            if (seen.see(reader, 1, key)) record.record_type = RecordType::from_trusted(reader.read_string());
        } else if (key == "fields") {
            if (seen.see(reader, 2, key)) {
                read_map(reader, record.fields, [](json::Reader& r) { return read_record_value(r); });
            }
        } else if (key == "content") {
            if (seen.see(reader, 3, key)) {
                if (reader.peek() == json::Reader::Type::Null) {
                    reader.read_null();
                } else {
                    record.content = reader.read_string();
                }
            }
        }
    }
    if (!seen.has(0)) reader.missing_field(object, "id");
    if (!seen.has(1)) reader.missing_field(object, "record_type");
    if (!seen.has(2)) reader.missing_field(object, "fields");
    return record;
}

RecordStore read_record_store(json::Reader& reader) {
    RecordStore store;
    json::MemberSet seen;
    const json::Container object = reader.begin_object();
    std::string_view key;
    while (reader.next_member(object, key)) {
        if (key == "corpus_id") {
            if (seen.see(reader, 0, key)) store.corpus_id = CorpusId::from_trusted(reader.read_string());
        } else if (key == "records") {
            if (seen.see(reader, 1, key)) {
                read_map(reader, store.records, [](json::Reader& r) { return read_record(r); });
            }
        }
    }
    if (!seen.has(0)) reader.missing_field(object, "corpus_id");
    if (!seen.has(1)) reader.missing_field(object, "records");
    return store;
}

ChunkIdentity read_chunk_identity(json::Reader& reader) {
    ChunkIdentity identity;
    json::MemberSet seen;
    const json::Container object = reader.begin_object();
    std::string_view key;
    while (reader.next_member(object, key)) {
        if (key == "record_id") {
            if (seen.see(reader, 0, key)) identity.record_id = RecordId::from_trusted(reader.read_string());
        } else if (key == "chunk_key") {
            if (seen.see(reader, 1, key)) identity.chunk_key = ChunkKey::from_trusted(reader.read_string());
        }
    }
    if (!seen.has(0)) reader.missing_field(object, "record_id");
    if (!seen.has(1)) reader.missing_field(object, "chunk_key");
    return identity;
}

namespace {

void read_chunk_identities(json::Reader& reader, std::vector<std::pair<ChunkIdentity, std::uint64_t>>& out) {
    const json::Container pairs = reader.begin_array();
    while (reader.next_element(pairs)) {
        const json::Mark start = reader.mark();
        const json::Container pair = reader.begin_array();
        if (!reader.next_element(pair)) {
            reader.fail_at(start, "invalid length 0, expected a tuple of size 2");
            return;
        }
        ChunkIdentity identity = read_chunk_identity(reader);
        if (!reader.next_element(pair)) {
            reader.fail_at(start, "invalid length 1, expected a tuple of size 2");
            return;
        }
        const std::uint64_t chunk_id = reader.read_u64();
        if (reader.next_element(pair)) {
            reader.fail("invalid length, expected a tuple of size 2");
            return;
        }
        out.emplace_back(std::move(identity), chunk_id);
    }
}

}  // namespace

PersistedRecordState read_persisted_record_state(json::Reader& reader) {
    PersistedRecordState state;
    json::MemberSet seen;
    const json::Container object = reader.begin_object();
    std::string_view key;
    while (reader.next_member(object, key)) {
        if (key == "record_store") {
            if (seen.see(reader, 0, key)) state.record_store = read_record_store(reader);
        } else if (key == "chunk_identities") {
            if (seen.see(reader, 1, key)) read_chunk_identities(reader, state.chunk_identities);
        }
    }
    if (!seen.has(0)) reader.missing_field(object, "record_store");
    if (!seen.has(1)) reader.missing_field(object, "chunk_identities");
    return state;
}

Result<PersistedRecordState, json::Error> parse_persisted_record_state(std::string_view text) {
    return json::parse(text, [](json::Reader& reader) { return read_persisted_record_state(reader); });
}

}  // namespace tessarin
