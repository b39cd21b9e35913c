// The corpus half of an exact vector index: canonical records, the chunk sequence,
// the offset table from chunk id to offset, the live offsets, generation counters
// and the identities between external chunk names and internal chunk ids.
//
// Two forms. `CorpusIndex` is the plain form a snapshot is read into: ordered maps
// and whole chunk records, able to hold whatever a file says so that the checks
// can name what is wrong. `CorpusState` is what a live index keeps: columns and
// shared tables at a few dozen bytes a chunk, holding only consistent states
// (upsert, deletion and compaction in core/index maintain it).
#pragma once

#include <cstddef>        // std::size_t
#include <cstdint>        // std::uint64_t
#include <map>            // std::map
#include <optional>       // std::optional
#include <string_view>    // std::string_view
#include <utility>        // std::pair
#include <string>         // std::string
#include <unordered_map>  // std::unordered_map
#include <vector>         // std::vector

#include "core/error.h"
#include "core/metadata_index.h"
#include "core/record_store.h"
#include "core/types.h"

namespace tessarin {

/// @brief Chunk id to offset. Dense for the ids an index hands out (a counter),
/// sparse beyond a bound tied to the chunk count, so a loaded file naming huge ids
/// cannot make the table exhaust memory. Lookups answer the same either way.
class ChunkOffsetTable {
public:
    std::optional<std::size_t> get(std::uint64_t chunk_id) const noexcept;
    /// `dense_limit`: ids below it may grow the dense part.
    void set(std::uint64_t chunk_id, std::size_t offset, std::uint64_t dense_limit);
    void clear() noexcept;
    /// One more than the largest id ever set since the last clear (the table's logical length).
    std::uint64_t length() const noexcept { return length_; }

private:
    static constexpr std::size_t empty = static_cast<std::size_t>(-1);
    std::vector<std::size_t> dense_;
    std::unordered_map<std::uint64_t, std::size_t> sparse_;
    std::uint64_t length_ = 0;
};

/// @brief Corpus-level state of one index.
struct CorpusIndex {
    CorpusId corpus_id = CorpusId::from_trusted("default");
    RecordStore record_store{CorpusId::from_trusted("default"), {}};
    std::vector<StoredChunk> chunks;
    ChunkOffsetTable chunk_offsets;
    /// Offsets of the live chunks. Offsets are handed out in increasing order and
    /// compaction renumbers in order, so "in the order added" is ascending order.
    OffsetSet active_offsets;
    std::uint64_t generation = 0;
    std::map<ChunkIdentity, std::uint64_t> identity_to_chunk;
    std::map<std::uint64_t, ChunkIdentity> chunk_to_identity;
    std::uint64_t next_chunk_id = 0;
    std::map<std::string, std::uint64_t, std::less<>> record_generations;

    /// Ids below this grow the dense offset table of `chunk_count` chunks.
    static std::uint64_t dense_id_limit(std::size_t chunk_count) noexcept;
    std::uint64_t dense_id_limit() const noexcept { return dense_id_limit(chunks.size()); }

    /// Recomputes offsets, live offsets, the next chunk id and record generations from `chunks`.
    void rebuild_offsets_and_versions();
    /// Removes every identity of one record from both maps.
    void remove_chunk_identities_for_record(const RecordId& record_id);
    /// The identity and record checks every save and load run; `InvalidFormat` on the first failure.
    Status validate() const;
};

/// The record field value a document's metadata value becomes (timestamps as their milliseconds).
RecordValue record_value_of(const MetadataValue& value);

/// @brief Distinct metadata maps, each kept once for every chunk (and document
/// record) carrying an equal one: the chunks of a document usually share their
/// document's map, and a map costs several times its payload.
class MetadataPool {
public:
    using Id = std::uint32_t;

    /// The id of a map identical to `metadata` (floats bit for bit), with one more reference.
    Id acquire(MetadataMap metadata);
    void retain(Id id) noexcept { ++entries_[id].references; }
    /// Drops one reference; the map is freed with its last.
    void release(Id id) noexcept;
    const MetadataMap& get(Id id) const noexcept { return entries_[id].metadata; }
    /// `estimated_metadata_payload_bytes` of the map, computed once.
    std::uint64_t payload_bytes(Id id) const noexcept { return entries_[id].payload_bytes; }

private:
    struct Entry {
        MetadataMap metadata;
        std::uint64_t hash = 0;
        std::uint64_t payload_bytes = 0;
        std::uint32_t references = 0;
    };
    std::vector<Entry> entries_;
    std::vector<Id> free_;
    std::unordered_multimap<std::uint64_t, Id> by_hash_;
};

/// One stored chunk as a set of views into the corpus state; valid until the next change.
struct ChunkView {
    std::string_view document_id;
    std::string_view text;
    std::uint64_t chunk_id;
    const MetadataMap& metadata;
    std::uint64_t generation;
    bool deleted;
};

/// @brief The corpus state of a live index.
///
/// Chunks are columns indexed by offset. Record ids are interned once into slots
/// that also carry the record's generation, its body and where its live chunks
/// are: the chunks one upsert appends are adjacent and compaction keeps their
/// order, so a record's live chunks are one run of offsets (a list is kept for
/// the rare record whose live chunks are not). A chunk's identity is its record
/// plus a key stored with the chunk, "ordinal-{i}" keys as their number.
class CorpusState {
public:
    using Slot = std::uint32_t;

    explicit CorpusState(CorpusId corpus_id);

    const CorpusId& corpus_id() const noexcept { return corpus_id_; }

    // Chunks, by offset.
    std::size_t size() const noexcept { return chunk_ids_.size(); }
    std::uint64_t chunk_id(std::size_t offset) const noexcept { return chunk_ids_[offset]; }
    bool deleted(std::size_t offset) const noexcept { return deleted_[offset] != 0; }
    std::string_view document_id(std::size_t offset) const noexcept { return record_name(records_[offset]); }
    std::string_view text(std::size_t offset) const noexcept {
        const std::uint64_t begin = offset == 0 ? 0 : text_ends_[offset - 1];
        return {texts_.data() + begin, static_cast<std::size_t>(text_ends_[offset] - begin)};
    }
    const MetadataMap& metadata(std::size_t offset) const noexcept { return metadata_.get(metadata_ids_[offset]); }
    std::uint64_t generation(std::size_t offset) const noexcept { return generations_[offset]; }
    ChunkView view(std::size_t offset) const noexcept;
    /// The chunk carrying `chunk_id`, deleted or not.
    std::optional<ChunkView> chunk(std::uint64_t chunk_id) const noexcept;
    std::size_t tombstoned_count() const noexcept;

    const ChunkOffsetTable& chunk_offsets() const noexcept { return chunk_offsets_; }
    const OffsetSet& active_offsets() const noexcept { return active_offsets_; }
    std::uint64_t next_chunk_id() const noexcept { return next_chunk_id_; }
    std::uint64_t corpus_generation() const noexcept { return generation_; }

    // Records.
    std::optional<Slot> find_record(std::string_view id) const noexcept;
    std::string_view record_name(Slot slot) const noexcept {
        const std::uint64_t begin = slot == 0 ? 0 : slots_[slot - 1].name_end;
        return {names_.data() + begin, static_cast<std::size_t>(slots_[slot].name_end - begin)};
    }
    /// The latest upsert's generation of the id, kept after deletion.
    std::optional<std::uint64_t> record_generation(std::string_view id) const noexcept;
    /// The stored record with this id, rebuilt from its parts.
    std::optional<Record> record(std::string_view id) const;
    std::size_t record_count() const noexcept { return record_count_; }
    /// Every stored record, as a snapshot writes them.
    RecordStore record_store() const;
    /// Every (identity, chunk id) pair in identity order (record id, then chunk key).
    std::vector<std::pair<ChunkIdentity, std::uint64_t>> chunk_identities() const;

    /// The record and identity checks of every save, with the messages of `CorpusIndex::validate`.
    Status validate() const;
    /// Size estimate parts over the chunks and records, as `ExactVectorIndex::size_estimate` reports them.
    struct PayloadBytes {
        std::uint64_t document_ids = 0, texts = 0, metadata = 0, records = 0, chunk_identities = 0;
    };
    PayloadBytes payload_bytes() const noexcept;

    // Changes, for the index. Each may allocate; none fails otherwise.

    /// The slot of `id`, made on first use (slots are never dropped: generations outlive records).
    Slot intern_record(std::string_view id);
    /// Room for `chunks` more chunks carrying `text_bytes` bytes of text.
    void reserve(std::size_t chunks, std::size_t text_bytes);
    /// Tombstones the record's live chunks in offset order and drops their
    /// identities; `each(offset)` runs for each before it is marked. Returns their count.
    template <typename Each>
    std::size_t tombstone_record(Slot slot, Each&& each);
    /// Appends a live chunk of the record with the given identity key (taking one
    /// reference on `metadata`) and returns its offset. The chunk id comes from the counter.
    std::size_t append_chunk(Slot slot, std::string_view text, MetadataPool::Id metadata, std::uint64_t generation,
                             const ChunkKey& key);
    void set_record_generation(Slot slot, std::uint64_t generation) noexcept;
    /// Stores a document record: its fields are `metadata` converted, its content `content`.
    void set_document_record(Slot slot, MetadataPool::Id metadata, std::string_view content);
    void set_general_record(Slot slot, Record record);
    /// Removes the record's body; true when there was one.
    bool erase_record(Slot slot) noexcept;
    void bump_generation() noexcept;
    /// Keeps only the chunks at `rows` (ascending offsets), renumbered in order.
    void keep_rows(const std::vector<std::size_t>& rows);

    MetadataPool& metadata_pool() noexcept { return metadata_; }

private:
    friend struct ExactVectorIndexTestAccess;

    enum class Body : std::uint8_t { None = 0, Document = 1, General = 2 };
    struct RecordSlot {
        std::uint64_t name_end = 0;  // into names_; the name begins where the previous slot's ends
        std::uint64_t generation = 0;
        std::uint64_t live_begin = 0;  // first offset of the run of live chunks
        std::uint32_t live_count = 0;
        MetadataPool::Id metadata = 0;  // document records: the fields' source
        bool has_generation = false;
        bool scattered = false;  // live chunks listed in scattered_live_ instead of the run
        Body body = Body::None;
    };
    static constexpr std::uint32_t no_key = 0xFFFFFFFFu;
    static constexpr std::uint32_t general_key_bit = 0x80000000u;

    std::uint32_t encode_key(const ChunkKey& key);
    std::string key_text(std::uint32_t key) const;
    void release_key(std::uint32_t key) noexcept;
    Record document_record(const RecordSlot& slot, Slot index) const;
    std::string_view content(Slot slot) const noexcept;
    /// Adds a live chunk at `offset` to the record's run, or to its list once the run breaks.
    static void note_live(std::vector<RecordSlot>& slots,
                          std::unordered_map<Slot, std::vector<std::size_t>>& scattered, Slot slot, std::size_t offset);
    void grow_name_table();

    CorpusId corpus_id_;
    // Chunk columns.
    std::vector<std::uint64_t> chunk_ids_;
    std::vector<Slot> records_;
    std::vector<std::uint64_t> generations_;
    std::vector<std::uint8_t> deleted_;
    std::vector<std::uint64_t> text_ends_;
    std::vector<MetadataPool::Id> metadata_ids_;
    std::vector<std::uint32_t> keys_;
    std::vector<char> texts_;
    // Record slots and their lookup by name (open addressing, slot + 1, 0 empty).
    std::vector<RecordSlot> slots_;
    std::vector<char> names_;
    std::vector<Slot> name_table_;
    // Document records' content when not empty (chunks usually carry all the text).
    std::unordered_map<Slot, std::string> contents_;
    std::unordered_map<Slot, Record> general_records_;
    std::unordered_map<Slot, std::vector<std::size_t>> scattered_live_;
    std::vector<std::string> general_keys_;
    std::vector<std::uint32_t> free_general_keys_;
    std::size_t record_count_ = 0;
    MetadataPool metadata_;

    ChunkOffsetTable chunk_offsets_;
    OffsetSet active_offsets_;
    std::uint64_t next_chunk_id_ = 0;
    std::uint64_t generation_ = 0;
};

template <typename Each>
std::size_t CorpusState::tombstone_record(Slot slot, Each&& each) {
    RecordSlot& record = slots_[slot];
    auto tombstone = [&](std::size_t offset) {
        each(offset);
        deleted_[offset] = 1;
        release_key(keys_[offset]);
        keys_[offset] = no_key;
        active_offsets_.erase(offset);
    };
    std::size_t count = 0;
    if (record.scattered) {
        auto found = scattered_live_.find(slot);
        if (found != scattered_live_.end()) {
            const std::vector<std::size_t> offsets = std::move(found->second);
            scattered_live_.erase(found);
            for (std::size_t offset : offsets) tombstone(offset);
            count = offsets.size();
        }
    } else {
        for (std::size_t i = 0; i < record.live_count; ++i) tombstone(static_cast<std::size_t>(record.live_begin) + i);
        count = record.live_count;
    }
    record.scattered = false;
    record.live_count = 0;
    return count;
}

}  // namespace tessarin
