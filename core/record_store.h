// Canonical records: the identifier types and their rules, typed record values in
// canonical form, records, the per-corpus record store, and the JSON forms in
// which they are saved and read back. Checks return the first violation and
// change nothing.
#pragma once

#include <compare>      // std::strong_ordering
#include <cstdint>      // std::int64_t, std::uint64_t
#include <map>          // std::map
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <utility>      // std::pair
#include <variant>      // std::variant
#include <vector>       // std::vector

#include "core/error.h"
#include "core/json.h"

namespace tessarin {

/// @brief A text identifier compared byte by byte. `create` applies the rules of
/// its kind; `from_trusted` does not (the JSON readers take stored text as is).
template <typename Rules>
class Identifier {
public:
    static Result<Identifier> create(std::string text) {
        if (auto reason = Rules::check(text)) {
            return errors::InvalidIdentity{Rules::kind, std::move(text), std::move(*reason)};
        }
        return Identifier(std::move(text));
    }
    static Identifier from_trusted(std::string text) { return Identifier(std::move(text)); }

    const std::string& str() const noexcept { return text_; }
    auto operator<=>(const Identifier&) const = default;

private:
    explicit Identifier(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

namespace identifiers {
std::optional<std::string> check_length(std::string_view text, std::size_t max);
std::optional<std::string> check_name(std::string_view text);

struct CorpusIdRules {
    static constexpr std::string_view kind = "CorpusId";
    static std::optional<std::string> check(std::string_view t) { return check_length(t, 128); }
};
struct RecordIdRules {
    static constexpr std::string_view kind = "RecordId";
    static std::optional<std::string> check(std::string_view t) { return check_length(t, 512); }
};
struct ChunkKeyRules {
    static constexpr std::string_view kind = "ChunkKey";
    static std::optional<std::string> check(std::string_view t) { return check_length(t, 512); }
};
struct RecordTypeRules {
    static constexpr std::string_view kind = "RecordType";
    static std::optional<std::string> check(std::string_view t) { return check_name(t); }
};
struct FieldNameRules {
    static constexpr std::string_view kind = "FieldName";
    static std::optional<std::string> check(std::string_view t) { return check_name(t); }
};
}  // namespace identifiers

using CorpusId = Identifier<identifiers::CorpusIdRules>;
using RecordId = Identifier<identifiers::RecordIdRules>;
using ChunkKey = Identifier<identifiers::ChunkKeyRules>;
using RecordType = Identifier<identifiers::RecordTypeRules>;
using FieldName = Identifier<identifiers::FieldNameRules>;

/// Kinds in their fixed order.
enum class RecordValueKind : std::uint8_t { Null = 0, Bool = 1, I64 = 2, F64 = 3, String = 4, List = 5, Map = 6 };

/// @brief A typed record value; canonical when every float in it is finite.
class RecordValue {
public:
    using List = std::vector<RecordValue>;
    using Map = std::map<FieldName, RecordValue>;

    RecordValue() = default;  // Null
    static RecordValue boolean(bool v) { return RecordValue(Payload(std::in_place_index<1>, v)); }
    static RecordValue i64(std::int64_t v) { return RecordValue(Payload(std::in_place_index<2>, v)); }
    static RecordValue f64(double v) { return RecordValue(Payload(std::in_place_index<3>, v)); }
    static RecordValue string(std::string v) { return RecordValue(Payload(std::in_place_index<4>, std::move(v))); }
    static RecordValue list(List v) { return RecordValue(Payload(std::in_place_index<5>, std::move(v))); }
    static RecordValue map(Map v) { return RecordValue(Payload(std::in_place_index<6>, std::move(v))); }

    RecordValueKind kind() const noexcept { return static_cast<RecordValueKind>(payload_.index()); }
    bool as_bool() const { return std::get<1>(payload_); }
    std::int64_t as_i64() const { return std::get<2>(payload_); }
    double as_f64() const { return std::get<3>(payload_); }
    const std::string& as_string() const { return std::get<4>(payload_); }
    const List& as_list() const { return std::get<5>(payload_); }
    const Map& as_map() const { return std::get<6>(payload_); }

    /// The canonical-form check; `path` names this value in the error.
    static Status validate(const RecordValue& value, const std::string& path);
    static std::uint64_t estimated_payload_bytes(const RecordValue& value) noexcept;

    /// Identical values (floats bit for bit).
    friend bool operator==(const RecordValue& a, const RecordValue& b) noexcept;

private:
    using Payload = std::variant<std::monostate, bool, std::int64_t, double, std::string, List, Map>;
    explicit RecordValue(Payload payload) : payload_(std::move(payload)) {}
    Payload payload_;
};

/// @brief One canonical record.
struct Record {
    RecordId id = RecordId::from_trusted("");
    RecordType record_type = RecordType::from_trusted("");
    std::map<FieldName, RecordValue> fields;
    std::optional<std::string> content;

    /// Every field value in field order, each with its field name as the path.
    static Status validate(const Record& record);
    bool operator==(const Record&) const = default;
};

/// @brief The records of one corpus, by id.
struct RecordStore {
    CorpusId corpus_id = CorpusId::from_trusted("");
    std::map<RecordId, Record> records;

    /// Validates the record's values; then stores it under its id and returns the
    /// record it replaced, if any. On failure the store is unchanged.
    static Result<std::optional<Record>> upsert(RecordStore& store, Record record);
    static Status validate(const RecordStore& store);
    static std::uint64_t estimated_payload_bytes(const RecordStore& store) noexcept;
    bool operator==(const RecordStore&) const = default;
};

/// @brief The external name of a chunk; ordered by record id, then chunk key.
struct ChunkIdentity {
    RecordId record_id = RecordId::from_trusted("");
    ChunkKey chunk_key = ChunkKey::from_trusted("");
    auto operator<=>(const ChunkIdentity&) const = default;
};

/// @brief What `records.bin` holds: the store and the identity-to-chunk pairs.
struct PersistedRecordState {
    RecordStore record_store;
    std::vector<std::pair<ChunkIdentity, std::uint64_t>> chunk_identities;
    bool operator==(const PersistedRecordState&) const = default;
};

// JSON forms. Writers produce compact JSON and fail only on a non-finite float;
// readers apply no identifier rules.
void write_json(json::Writer& writer, const RecordValue& value);
void write_json(json::Writer& writer, const Record& record);
void write_json(json::Writer& writer, const RecordStore& store);
void write_json(json::Writer& writer, const ChunkIdentity& identity);
void write_json(json::Writer& writer, const PersistedRecordState& state);
/// Compact JSON of `value`, or the writer's error.
template <typename T>
Result<std::string, json::WriteError> to_json(const T& value) {
    json::Writer writer;
    write_json(writer, value);
    return std::move(writer).finish();
}

// Readers of the same forms, for use inside `json::parse`. Members not named by the
// form are skipped; a repeated one, a missing required one or a kind name other
// than the seven fails.
RecordValue read_record_value(json::Reader& reader);
Record read_record(json::Reader& reader);
RecordStore read_record_store(json::Reader& reader);
ChunkIdentity read_chunk_identity(json::Reader& reader);
PersistedRecordState read_persisted_record_state(json::Reader& reader);

/// The persisted state from its JSON text, or the reader's error.
Result<PersistedRecordState, json::Error> parse_persisted_record_state(std::string_view text);

}  // namespace tessarin
