// Metadata values and maps: the flat, typed data every chunk carries. Fixes the
// equality used by filters (kinds never mix, floats compare as IEEE doubles) and
// the numeric view used by range filters (integers and timestamps as nearest f64).
#pragma once

#include <cstdint>      // std::int64_t
#include <functional>   // std::less
#include <map>          // std::map
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <utility>      // std::move
#include <variant>      // std::variant

namespace tessarin {

namespace json {
class Reader;
}

/// Kinds in their fixed order; every kind switch in this area follows it.
enum class MetadataKind : std::uint8_t { String = 0, Integer = 1, Float = 2, Boolean = 3, TimestampMillis = 4 };

std::string_view metadata_kind_name(MetadataKind kind) noexcept;

/// @brief One metadata value of exactly one kind. Owns its text.
class MetadataValue {
public:
    static MetadataValue string(std::string text) {
        return MetadataValue(Payload(std::in_place_index<0>, std::move(text)));
    }
    static MetadataValue integer(std::int64_t value) { return MetadataValue(Payload(std::in_place_index<1>, value)); }
    static MetadataValue floating(double value) { return MetadataValue(Payload(std::in_place_index<2>, value)); }
    static MetadataValue boolean(bool value) { return MetadataValue(Payload(std::in_place_index<3>, value)); }
    static MetadataValue timestamp_millis(std::int64_t millis) {
        return MetadataValue(Payload(std::in_place_index<4>, Millis{millis}));
    }

    MetadataKind kind() const noexcept { return static_cast<MetadataKind>(payload_.index()); }

    // Accessors; each requires the matching kind.
    const std::string& as_string() const { return std::get<0>(payload_); }
    std::int64_t as_integer() const { return std::get<1>(payload_); }
    double as_float() const { return std::get<2>(payload_); }
    bool as_boolean() const { return std::get<3>(payload_); }
    std::int64_t as_timestamp_millis() const { return std::get<4>(payload_).value; }

    /// Filter equality: different kinds never equal; floats by IEEE equality, so
    /// NaN equals nothing and 0.0 equals -0.0.
    bool equals(const MetadataValue& other) const noexcept;

    /// Integers and timestamps as the nearest f64, floats as they are; strings and
    /// booleans have none.
    std::optional<double> numeric_view() const noexcept;

    /// Identical representation (floats compared bit for bit). This is what a
    /// round trip must preserve; filters use `equals`.
    friend bool operator==(const MetadataValue& a, const MetadataValue& b) noexcept;

private:
    struct Millis {
        std::int64_t value;
    };
    using Payload = std::variant<std::string, std::int64_t, double, bool, Millis>;
    explicit MetadataValue(Payload payload) : payload_(std::move(payload)) {}

    Payload payload_;
};

/// Field name to value, ordered by the names' bytes.
using MetadataMap = std::map<std::string, MetadataValue, std::less<>>;

/// Sum over entries of the key's bytes plus the value's bytes (text length, 8 for
/// numbers, 1 for booleans); saturates instead of wrapping.
std::uint64_t estimated_metadata_payload_bytes(const MetadataMap& metadata) noexcept;

/// Reads the tagged JSON form: an object with one member named after the kind,
/// e.g. {"Integer": 42}; integers and timestamps must fit i64.
MetadataValue read_metadata_value(json::Reader& reader);
/// An object of field names to tagged values, refusing repeated names.
MetadataMap read_metadata_map(json::Reader& reader);

}  // namespace tessarin
