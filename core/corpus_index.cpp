#include "core/corpus_index.h"

#include <algorithm>  // std::max, std::sort, std::adjacent_find, std::find
#include <bit>        // std::bit_cast
#include <cmath>      // std::isfinite

#include "core/text.h"

namespace tessarin {

std::optional<std::size_t> ChunkOffsetTable::get(std::uint64_t chunk_id) const noexcept {
    if (chunk_id < dense_.size()) {
        const std::size_t offset = dense_[static_cast<std::size_t>(chunk_id)];
        if (offset != empty) return offset;
        return std::nullopt;
    }
    auto found = sparse_.find(chunk_id);
    if (found == sparse_.end()) return std::nullopt;
    return found->second;
}

void ChunkOffsetTable::set(std::uint64_t chunk_id, std::size_t offset, std::uint64_t dense_limit) {
    if (chunk_id < dense_.size() || chunk_id < dense_limit) {
        if (chunk_id >= dense_.size()) dense_.resize(static_cast<std::size_t>(chunk_id) + 1, empty);
        dense_[static_cast<std::size_t>(chunk_id)] = offset;
    } else {
        sparse_[chunk_id] = offset;
    }
    length_ = std::max(length_, chunk_id == UINT64_MAX ? chunk_id : chunk_id + 1);
}

void ChunkOffsetTable::clear() noexcept {
    dense_.clear();
    sparse_.clear();
    length_ = 0;
}

std::uint64_t CorpusIndex::dense_id_limit(std::size_t chunk_count) noexcept {
    // Generous for counters (ids near the chunk count), bounded for hostile ids.
    return saturating_add(saturating_mul(chunk_count, 4), std::uint64_t{1} << 20);
}

void CorpusIndex::rebuild_offsets_and_versions() {
    chunk_offsets.clear();
    active_offsets = OffsetSet{};
    record_generations.clear();
    next_chunk_id = 0;
    const std::uint64_t limit = dense_id_limit();
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const StoredChunk& stored = chunks[i];
        next_chunk_id = std::max(next_chunk_id, saturating_add(stored.chunk_id, 1));
        chunk_offsets.set(stored.chunk_id, i, limit);
        auto [entry, inserted] = record_generations.try_emplace(stored.document_id, stored.generation);
        if (!inserted) entry->second = std::max(entry->second, stored.generation);
        if (!stored.deleted) active_offsets.insert(i);
    }
}

void CorpusIndex::remove_chunk_identities_for_record(const RecordId& record_id) {
    // The record's identities are adjacent in the forward map; in a consistent index
    // the reverse map holds the same pairs, so their chunk ids find the reverse
    // entries without scanning the whole map on every upsert.
    auto first = identity_to_chunk.lower_bound(ChunkIdentity{record_id, ChunkKey::from_trusted("")});
    while (first != identity_to_chunk.end() && first->first.record_id == record_id) {
        auto reverse = chunk_to_identity.find(first->second);
        if (reverse != chunk_to_identity.end() && reverse->second.record_id == record_id) {
            chunk_to_identity.erase(reverse);
        }
        first = identity_to_chunk.erase(first);
    }
}

Status CorpusIndex::validate() const {
    if (record_store.corpus_id != corpus_id) {
        return errors::InvalidFormat{"canonical record corpus does not match the index corpus"};
    }
    if (Status status = RecordStore::validate(record_store); !status) return status;
    std::map<std::uint64_t, bool> named;
    for (const auto& [identity, chunk_id] : identity_to_chunk) {
        const std::string name = identity.record_id.str() + "/" + identity.chunk_key.str();
        if (!named.emplace(chunk_id, true).second) {
            return errors::InvalidFormat{"multiple external chunk identities resolve to internal chunk ID " +
                                         std::to_string(chunk_id)};
        }
        if (!record_store.records.contains(identity.record_id)) {
            return errors::InvalidFormat{"chunk identity " + name + " references a missing canonical record"};
        }
        const auto offset = chunk_offsets.get(chunk_id);
        if (!offset || *offset >= chunks.size()) {
            return errors::InvalidFormat{"chunk identity " + name + " references unavailable internal chunk ID " +
                                         std::to_string(chunk_id)};
        }
        const StoredChunk& stored = chunks[*offset];
        if (stored.deleted || stored.document_id != identity.record_id.str()) {
            return errors::InvalidFormat{"chunk identity " + name + " does not resolve to its active canonical record"};
        }
        auto reverse = chunk_to_identity.find(chunk_id);
        if (reverse == chunk_to_identity.end() || reverse->second != identity) {
            return errors::InvalidFormat{"reverse identity mapping is missing for internal chunk ID " +
                                         std::to_string(chunk_id)};
        }
    }
    if (identity_to_chunk.size() != chunk_to_identity.size()) {
        return errors::InvalidFormat{"forward and reverse chunk identity mapping sizes differ"};
    }
    return {};
}

}  // namespace tessarin

namespace tessarin {

// ---------------------------------------------------------------------------------
// Metadata pool

namespace {

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) noexcept {
    hash ^= value + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2);
    return hash;
}

std::uint64_t hash_metadata(const MetadataMap& metadata) noexcept {
    std::uint64_t hash = metadata.size();
    for (const auto& [name, value] : metadata) {
        hash = mix(hash, std::hash<std::string_view>{}(name));
        hash = mix(hash, static_cast<std::uint64_t>(value.kind()));
        switch (value.kind()) {
            case MetadataKind::String: hash = mix(hash, std::hash<std::string_view>{}(value.as_string())); break;
            case MetadataKind::Integer: hash = mix(hash, static_cast<std::uint64_t>(value.as_integer())); break;
            case MetadataKind::Float: hash = mix(hash, std::bit_cast<std::uint64_t>(value.as_float())); break;
            case MetadataKind::Boolean: hash = mix(hash, value.as_boolean() ? 1 : 0); break;
            case MetadataKind::TimestampMillis:
                hash = mix(hash, static_cast<std::uint64_t>(value.as_timestamp_millis()));
                break;
        }
    }
    return hash;
}

}  // namespace

MetadataPool::Id MetadataPool::acquire(MetadataMap metadata) {
    const std::uint64_t hash = hash_metadata(metadata);
    auto [first, last] = by_hash_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        Entry& entry = entries_[it->second];
        if (entry.metadata == metadata) {
            ++entry.references;
            return it->second;
        }
    }
    Id id;
    if (!free_.empty()) {
        id = free_.back();
        by_hash_.emplace(hash, id);
        free_.pop_back();
    } else {
        id = static_cast<Id>(entries_.size());
        entries_.emplace_back();
        try {
            by_hash_.emplace(hash, id);
        } catch (...) {
            entries_.pop_back();
            throw;
        }
    }
    Entry& entry = entries_[id];
    entry.payload_bytes = estimated_metadata_payload_bytes(metadata);
    entry.metadata = std::move(metadata);
    entry.hash = hash;
    entry.references = 1;
    return id;
}

void MetadataPool::release(Id id) noexcept {
    Entry& entry = entries_[id];
    if (--entry.references > 0) return;
    auto [first, last] = by_hash_.equal_range(entry.hash);
    for (auto it = first; it != last; ++it) {
        if (it->second == id) {
            by_hash_.erase(it);
            break;
        }
    }
    entry.metadata.clear();
    // The free list never outgrows the entries, so its room is reserved up front.
    if (free_.capacity() < entries_.size()) {
        try {
            free_.reserve(entries_.capacity());
        } catch (...) {
            return;  // the entry stays empty and unused
        }
    }
    free_.push_back(id);
}

// ---------------------------------------------------------------------------------
// Corpus state

RecordValue record_value_of(const MetadataValue& value) {
    switch (value.kind()) {
        case MetadataKind::String: return RecordValue::string(value.as_string());
        case MetadataKind::Integer: return RecordValue::i64(value.as_integer());
        case MetadataKind::Float: return RecordValue::f64(value.as_float());
        case MetadataKind::Boolean: return RecordValue::boolean(value.as_boolean());
        case MetadataKind::TimestampMillis: return RecordValue::i64(value.as_timestamp_millis());
    }
    return RecordValue();
}

namespace {

constexpr std::string_view ordinal_prefix = "ordinal-";
constexpr std::string_view document_type = "Document";

// The number of a key spelled exactly "ordinal-{n}" (no sign, no leading zero), if small enough.
std::optional<std::uint32_t> ordinal_of(std::string_view key) noexcept {
    if (!key.starts_with(ordinal_prefix)) return std::nullopt;
    const std::string_view digits = key.substr(ordinal_prefix.size());
    if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value >= 0x80000000u) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::size_t decimal_digits(std::uint32_t value) noexcept {
    std::size_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

CorpusState::CorpusState(CorpusId corpus_id) : corpus_id_(std::move(corpus_id)) {}

ChunkView CorpusState::view(std::size_t offset) const noexcept {
    return ChunkView{document_id(offset), text(offset), chunk_ids_[offset], metadata(offset), generations_[offset],
                     deleted(offset)};
}

std::optional<ChunkView> CorpusState::chunk(std::uint64_t chunk_id) const noexcept {
    const auto offset = chunk_offsets_.get(chunk_id);
    if (!offset || *offset >= size()) return std::nullopt;
    return view(*offset);
}

std::size_t CorpusState::tombstoned_count() const noexcept {
    std::size_t count = 0;
    for (std::uint8_t flag : deleted_) count += flag;
    return count;
}

std::optional<CorpusState::Slot> CorpusState::find_record(std::string_view id) const noexcept {
    if (name_table_.empty()) return std::nullopt;
    const std::size_t mask = name_table_.size() - 1;
    for (std::size_t i = std::hash<std::string_view>{}(id) & mask;; i = (i + 1) & mask) {
        const Slot entry = name_table_[i];
        if (entry == 0) return std::nullopt;
        if (record_name(entry - 1) == id) return entry - 1;
    }
}

std::optional<std::uint64_t> CorpusState::record_generation(std::string_view id) const noexcept {
    const auto slot = find_record(id);
    if (!slot || !slots_[*slot].has_generation) return std::nullopt;
    return slots_[*slot].generation;
}

Record CorpusState::document_record(const RecordSlot& slot, Slot index) const {
    Record record;
    record.id = RecordId::from_trusted(std::string(record_name(index)));
    record.record_type = RecordType::from_trusted(std::string(document_type));
    for (const auto& [name, value] : metadata_.get(slot.metadata)) {
        record.fields.emplace(FieldName::from_trusted(name), record_value_of(value));
    }
    record.content.emplace(content(index));
    return record;
}

std::string_view CorpusState::content(Slot slot) const noexcept {
    auto found = contents_.find(slot);
    return found == contents_.end() ? std::string_view() : std::string_view(found->second);
}

std::optional<Record> CorpusState::record(std::string_view id) const {
    const auto slot = find_record(id);
    if (!slot) return std::nullopt;
    const RecordSlot& record = slots_[*slot];
    switch (record.body) {
        case Body::None: return std::nullopt;
        case Body::Document: return document_record(record, *slot);
        case Body::General: return general_records_.at(*slot);
    }
    return std::nullopt;
}

RecordStore CorpusState::record_store() const {
    RecordStore store{corpus_id_, {}};
    for (Slot slot = 0; slot < slots_.size(); ++slot) {
        if (auto record = this->record(record_name(slot))) {
            RecordId key = record->id;
            store.records.emplace(std::move(key), std::move(*record));
        }
    }
    return store;
}

std::string CorpusState::key_text(std::uint32_t key) const {
    if ((key & general_key_bit) != 0) return general_keys_[key & ~general_key_bit];
    return std::string(ordinal_prefix) + std::to_string(key);
}

std::vector<std::pair<ChunkIdentity, std::uint64_t>> CorpusState::chunk_identities() const {
    std::vector<std::pair<ChunkIdentity, std::uint64_t>> identities;
    for (std::size_t offset = 0; offset < size(); ++offset) {
        if (keys_[offset] == no_key) continue;
        identities.emplace_back(ChunkIdentity{RecordId::from_trusted(std::string(document_id(offset))),
                                              ChunkKey::from_trusted(key_text(keys_[offset]))},
                                chunk_ids_[offset]);
    }
    std::sort(identities.begin(), identities.end());
    return identities;
}

Status CorpusState::validate() const {
    // The record store's corpus is this state's by construction. Document records
    // are their metadata converted, so checking it is checking them.
    for (Slot slot = 0; slot < slots_.size(); ++slot) {
        const RecordSlot& record = slots_[slot];
        if (record.body == Body::General) {
            if (Status status = Record::validate(general_records_.at(slot)); !status) return status;
        } else if (record.body == Body::Document) {
            for (const auto& [name, value] : metadata_.get(record.metadata)) {
                if (value.kind() == MetadataKind::Float && !std::isfinite(value.as_float())) {
                    if (Status status = RecordValue::validate(record_value_of(value), name); !status) return status;
                }
            }
        }
    }
    const auto identities = chunk_identities();
    std::vector<std::uint64_t> named;
    named.reserve(identities.size());
    for (const auto& [identity, chunk_id] : identities) named.push_back(chunk_id);
    std::sort(named.begin(), named.end());
    const bool repeated = std::adjacent_find(named.begin(), named.end()) != named.end();
    std::vector<std::uint64_t> seen;
    for (const auto& [identity, chunk_id] : identities) {
        const std::string name = identity.record_id.str() + "/" + identity.chunk_key.str();
        if (repeated) {
            // Rare enough (only ids past the counter's end repeat) to search linearly.
            if (std::find(seen.begin(), seen.end(), chunk_id) != seen.end()) {
                return errors::InvalidFormat{"multiple external chunk identities resolve to internal chunk ID " +
                                             std::to_string(chunk_id)};
            }
            seen.push_back(chunk_id);
        }
        const auto slot = find_record(identity.record_id.str());
        if (!slot || slots_[*slot].body == Body::None) {
            return errors::InvalidFormat{"chunk identity " + name + " references a missing canonical record"};
        }
        const auto offset = chunk_offsets_.get(chunk_id);
        if (!offset || *offset >= size()) {
            return errors::InvalidFormat{"chunk identity " + name + " references unavailable internal chunk ID " +
                                         std::to_string(chunk_id)};
        }
        if (deleted(*offset) || document_id(*offset) != identity.record_id.str()) {
            return errors::InvalidFormat{"chunk identity " + name + " does not resolve to its active canonical record"};
        }
        if (keys_[*offset] == no_key || key_text(keys_[*offset]) != identity.chunk_key.str()) {
            return errors::InvalidFormat{"reverse identity mapping is missing for internal chunk ID " +
                                         std::to_string(chunk_id)};
        }
    }
    return {};
}

CorpusState::PayloadBytes CorpusState::payload_bytes() const noexcept {
    PayloadBytes bytes;
    bytes.texts = text_ends_.empty() ? 0 : text_ends_.back();
    for (std::size_t offset = 0; offset < size(); ++offset) {
        const std::uint64_t name = document_id(offset).size();
        bytes.document_ids = saturating_add(bytes.document_ids, name);
        bytes.metadata = saturating_add(bytes.metadata, metadata_.payload_bytes(metadata_ids_[offset]));
        if (keys_[offset] != no_key) {
            const std::uint32_t key = keys_[offset];
            const std::uint64_t key_bytes = (key & general_key_bit) != 0
                                                ? general_keys_[key & ~general_key_bit].size()
                                                : ordinal_prefix.size() + decimal_digits(key);
            bytes.chunk_identities = saturating_add(bytes.chunk_identities, saturating_add(name + key_bytes, 8));
        }
    }
    bytes.chunk_identities = saturating_mul(bytes.chunk_identities, 2);
    bytes.records = corpus_id_.str().size();
    for (Slot slot = 0; slot < slots_.size(); ++slot) {
        const RecordSlot& record = slots_[slot];
        if (record.body == Body::Document) {
            const std::uint64_t parts = record_name(slot).size() + document_type.size() + content(slot).size();
            bytes.records = saturating_add(bytes.records, saturating_add(parts, metadata_.payload_bytes(record.metadata)));
        } else if (record.body == Body::General) {
            const Record& general = general_records_.at(slot);
            std::uint64_t parts = general.id.str().size() + general.record_type.str().size() +
                                  (general.content ? general.content->size() : 0);
            for (const auto& [name, value] : general.fields) {
                parts = saturating_add(parts, saturating_add(name.str().size(), RecordValue::estimated_payload_bytes(value)));
            }
            bytes.records = saturating_add(bytes.records, parts);
        }
    }
    return bytes;
}

CorpusState::Slot CorpusState::intern_record(std::string_view id) {
    if (auto slot = find_record(id)) return *slot;
    // At most 3/4 full: probes stay short and the table costs under 6 bytes a record.
    if ((slots_.size() + 1) * 4 > name_table_.size() * 3) grow_name_table();
    names_.insert(names_.end(), id.begin(), id.end());
    const Slot slot = static_cast<Slot>(slots_.size());
    RecordSlot record;
    record.name_end = names_.size();
    slots_.push_back(record);
    const std::size_t mask = name_table_.size() - 1;
    std::size_t i = std::hash<std::string_view>{}(id) & mask;
    while (name_table_[i] != 0) i = (i + 1) & mask;
    name_table_[i] = slot + 1;
    return slot;
}

void CorpusState::grow_name_table() {
    std::vector<Slot> table(std::max<std::size_t>(16, name_table_.size() * 2), 0);
    const std::size_t mask = table.size() - 1;
    for (Slot entry : name_table_) {
        if (entry == 0) continue;
        std::size_t i = std::hash<std::string_view>{}(record_name(entry - 1)) & mask;
        while (table[i] != 0) i = (i + 1) & mask;
        table[i] = entry;
    }
    name_table_ = std::move(table);
}

void CorpusState::reserve(std::size_t chunks, std::size_t text_bytes) {
    const std::size_t n = size() + chunks;
    // Geometric growth stays amortized when many small upserts each reserve a little.
    auto grow = [&](auto& column, std::size_t wanted) {
        if (wanted > column.capacity()) column.reserve(std::max(wanted, column.capacity() * 2));
    };
    grow(chunk_ids_, n);
    grow(records_, n);
    grow(generations_, n);
    grow(deleted_, n);
    grow(text_ends_, n);
    grow(metadata_ids_, n);
    grow(keys_, n);
    grow(texts_, texts_.size() + text_bytes);
}

std::uint32_t CorpusState::encode_key(const ChunkKey& key) {
    if (auto ordinal = ordinal_of(key.str())) return *ordinal;
    std::uint32_t index;
    if (!free_general_keys_.empty()) {
        index = free_general_keys_.back();
        general_keys_[index] = key.str();
        free_general_keys_.pop_back();
    } else {
        index = static_cast<std::uint32_t>(general_keys_.size());
        general_keys_.push_back(key.str());
    }
    return index | general_key_bit;
}

void CorpusState::release_key(std::uint32_t key) noexcept {
    if (key == no_key || (key & general_key_bit) == 0) return;
    const std::uint32_t index = key & ~general_key_bit;
    general_keys_[index].clear();
    general_keys_[index].shrink_to_fit();
    try {
        free_general_keys_.push_back(index);
    } catch (...) {
        // Without room to note it the entry is just not reused.
    }
}

void CorpusState::note_live(std::vector<RecordSlot>& slots, std::unordered_map<Slot, std::vector<std::size_t>>& scattered,
                            Slot slot, std::size_t offset) {
    RecordSlot& record = slots[slot];
    if (record.scattered) {
        scattered[slot].push_back(offset);
        return;
    }
    if (record.live_count == 0) {
        record.live_begin = offset;
        record.live_count = 1;
        return;
    }
    if (record.live_begin + record.live_count == offset && record.live_count < 0xFFFFFFFFu) {
        ++record.live_count;
        return;
    }
    std::vector<std::size_t> offsets(record.live_count + std::size_t{1});
    for (std::size_t i = 0; i < record.live_count; ++i) offsets[i] = static_cast<std::size_t>(record.live_begin) + i;
    offsets.back() = offset;
    scattered[slot] = std::move(offsets);
    record.scattered = true;
    record.live_count = 0;
}

std::size_t CorpusState::append_chunk(Slot slot, std::string_view text, MetadataPool::Id metadata,
                                      std::uint64_t generation, const ChunkKey& key) {
    reserve(1, text.size());
    const std::size_t offset = size();
    const std::uint64_t chunk_id = next_chunk_id_;
    const std::uint32_t encoded = encode_key(key);
    chunk_offsets_.set(chunk_id, offset, CorpusIndex::dense_id_limit(offset + 1));
    active_offsets_.insert(offset);
    note_live(slots_, scattered_live_, slot, offset);
    // Nothing below allocates: the columns have room.
    next_chunk_id_ = saturating_add(chunk_id, 1);
    texts_.insert(texts_.end(), text.begin(), text.end());
    chunk_ids_.push_back(chunk_id);
    records_.push_back(slot);
    generations_.push_back(generation);
    deleted_.push_back(0);
    text_ends_.push_back(texts_.size());
    metadata_ids_.push_back(metadata);
    keys_.push_back(encoded);
    metadata_.retain(metadata);
    return offset;
}

void CorpusState::set_record_generation(Slot slot, std::uint64_t generation) noexcept {
    slots_[slot].generation = generation;
    slots_[slot].has_generation = true;
}

void CorpusState::set_document_record(Slot slot, MetadataPool::Id metadata, std::string_view content) {
    std::string text(content);
    metadata_.retain(metadata);
    erase_record(slot);
    if (!text.empty()) contents_.emplace(slot, std::move(text));
    RecordSlot& record = slots_[slot];
    record.body = Body::Document;
    record.metadata = metadata;
    ++record_count_;
}

void CorpusState::set_general_record(Slot slot, Record record) {
    general_records_.insert_or_assign(slot, std::move(record));
    RecordSlot& stored = slots_[slot];
    if (stored.body == Body::Document) {
        metadata_.release(stored.metadata);
    } else if (stored.body == Body::None) {
        ++record_count_;
    }
    stored.body = Body::General;
}

bool CorpusState::erase_record(Slot slot) noexcept {
    RecordSlot& record = slots_[slot];
    switch (record.body) {
        case Body::None: return false;
        case Body::Document:
            metadata_.release(record.metadata);
            contents_.erase(slot);
            break;
        case Body::General: general_records_.erase(slot); break;
    }
    record.body = Body::None;
    --record_count_;
    return true;
}

void CorpusState::bump_generation() noexcept { generation_ = saturating_add(generation_, 1); }

void CorpusState::keep_rows(const std::vector<std::size_t>& rows) {
    // Built aside; the state changes only once everything is allocated.
    const std::size_t n = rows.size();
    std::vector<std::uint64_t> chunk_ids(n), generations(n), text_ends(n);
    std::vector<Slot> records(n);
    std::vector<std::uint8_t> deleted(n, 0);
    std::vector<MetadataPool::Id> metadata_ids(n);
    std::vector<std::uint32_t> keys(n);
    std::size_t text_bytes = 0;
    for (std::size_t row : rows) text_bytes += text(row).size();
    std::vector<char> texts;
    texts.reserve(text_bytes);
    ChunkOffsetTable offsets;
    std::vector<std::size_t> active;
    active.reserve(n);
    const std::uint64_t limit = CorpusIndex::dense_id_limit(n);
    std::vector<bool> kept(size(), false);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t row = rows[i];
        kept[row] = true;
        chunk_ids[i] = chunk_ids_[row];
        records[i] = records_[row];
        generations[i] = generations_[row];
        deleted[i] = deleted_[row];
        const std::string_view body = text(row);
        texts.insert(texts.end(), body.begin(), body.end());
        text_ends[i] = texts.size();
        metadata_ids[i] = metadata_ids_[row];
        keys[i] = keys_[row];
        offsets.set(chunk_ids[i], i, limit);
        if (!deleted[i]) active.push_back(i);
    }
    OffsetSet active_offsets = OffsetSet::from_sorted(active);
    std::unordered_map<Slot, std::vector<std::size_t>> scattered;
    std::vector<RecordSlot> slots = slots_;
    for (RecordSlot& slot : slots) {
        slot.live_count = 0;
        slot.scattered = false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (!deleted[i]) note_live(slots, scattered, records[i], i);
    }
    // Swap in; then let go of what the dropped chunks held.
    for (std::size_t row = 0; row < size(); ++row) {
        if (kept[row]) continue;
        metadata_.release(metadata_ids_[row]);
        release_key(keys_[row]);
    }
    chunk_ids_ = std::move(chunk_ids);
    records_ = std::move(records);
    generations_ = std::move(generations);
    deleted_ = std::move(deleted);
    text_ends_ = std::move(text_ends);
    metadata_ids_ = std::move(metadata_ids);
    keys_ = std::move(keys);
    texts_ = std::move(texts);
    slots_ = std::move(slots);
    scattered_live_ = std::move(scattered);
    chunk_offsets_ = std::move(offsets);
    active_offsets_ = std::move(active_offsets);
}

}  // namespace tessarin
