#include "core/metadata.h"
#include "core/text.h"

#include "core/json.h"

#include <cstring>  // std::memcmp
#include <limits>   // std::numeric_limits

namespace tessarin {

std::string_view metadata_kind_name(MetadataKind kind) noexcept {
    switch (kind) {
        case MetadataKind::String: return "String";
        case MetadataKind::Integer: return "Integer";
        case MetadataKind::Float: return "Float";
        case MetadataKind::Boolean: return "Boolean";
        case MetadataKind::TimestampMillis: return "TimestampMillis";
    }
    return "Unknown";
}

bool MetadataValue::equals(const MetadataValue& other) const noexcept {
    if (kind() != other.kind()) return false;
    switch (kind()) {
        case MetadataKind::String: return as_string() == other.as_string();
        case MetadataKind::Integer: return as_integer() == other.as_integer();
        case MetadataKind::Float: return as_float() == other.as_float();
        case MetadataKind::Boolean: return as_boolean() == other.as_boolean();
        case MetadataKind::TimestampMillis: return as_timestamp_millis() == other.as_timestamp_millis();
    }
    return false;
}

std::optional<double> MetadataValue::numeric_view() const noexcept {
    switch (kind()) {
        case MetadataKind::Integer: return static_cast<double>(as_integer());
        case MetadataKind::Float: return as_float();
        case MetadataKind::TimestampMillis: return static_cast<double>(as_timestamp_millis());
        case MetadataKind::String:
        case MetadataKind::Boolean: return std::nullopt;
    }
    return std::nullopt;
}

bool operator==(const MetadataValue& a, const MetadataValue& b) noexcept {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == MetadataKind::Float) {
        const double x = a.as_float(), y = b.as_float();
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    return a.equals(b);
}

namespace {
}  // namespace

std::uint64_t estimated_metadata_payload_bytes(const MetadataMap& metadata) noexcept {
    std::uint64_t total = 0;
    for (const auto& [key, value] : metadata) {
        total = saturating_add(total, key.size());
        switch (value.kind()) {
            case MetadataKind::String: total = saturating_add(total, value.as_string().size()); break;
            case MetadataKind::Integer:
            case MetadataKind::Float:
            case MetadataKind::TimestampMillis: total = saturating_add(total, 8); break;
            case MetadataKind::Boolean: total = saturating_add(total, 1); break;
        }
    }
    return total;
}

MetadataValue read_metadata_value(json::Reader& reader) {
    const json::Mark start = reader.mark();
    const json::Container object = reader.begin_object();
    std::string_view kind;
    if (!reader.next_member(object, kind)) {
        reader.fail_at(start, "invalid length 0, expected an object with exactly one member");
        return MetadataValue::boolean(false);
    }
    MetadataValue value = MetadataValue::boolean(false);
    if (kind == "String") {
        value = MetadataValue::string(reader.read_string());
    } else if (kind == "Integer") {
        value = MetadataValue::integer(reader.read_i64());
    } else if (kind == "Float") {
        value = MetadataValue::floating(reader.read_f64());
    } else if (kind == "Boolean") {
        value = MetadataValue::boolean(reader.read_bool());
    } else if (kind == "TimestampMillis") {
        value = MetadataValue::timestamp_millis(reader.read_i64());
    } else {
        reader.unknown_variant(kind, {"String", "Integer", "Float", "Boolean", "TimestampMillis"});
        return value;
    }
    std::string_view extra;
    if (reader.next_member(object, extra)) {
        reader.fail_at(reader.last_name_mark(), "invalid length, expected an object with exactly one member");
    }
    return value;
}

MetadataMap read_metadata_map(json::Reader& reader) {
    MetadataMap metadata;
    const json::Container object = reader.begin_object();
    std::string_view key;
    while (reader.next_member(object, key)) {
        auto [entry, inserted] = metadata.try_emplace(std::string(key), MetadataValue::boolean(false));
        if (!inserted) {
            reader.duplicate_field(key);
            break;
        }
        entry->second = read_metadata_value(reader);
    }
    return metadata;
}

}  // namespace tessarin
