// The corpus half of an exact vector index: canonical records, the chunk sequence,
// the offset table from chunk id to offset, the live offsets, generation counters
// and the two identity maps between external chunk names and internal chunk ids.
// Upsert, deletion and compaction (core/index) keep it consistent; this unit
// rebuilds its derived tables after a load and checks its identities.
#pragma once

#include <cstddef>        // std::size_t
#include <cstdint>        // std::uint64_t
#include <map>            // std::map
#include <optional>       // std::optional
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
    /// The chunk carrying `chunk_id`, deleted or not.
    const StoredChunk* chunk(std::uint64_t chunk_id) const noexcept;

    /// Recomputes offsets, live offsets, the next chunk id and record generations from `chunks`.
    void rebuild_offsets_and_versions();
    /// Removes every identity of one record from both maps.
    void remove_chunk_identities_for_record(const RecordId& record_id);
    /// The identity and record checks every save and load run; `InvalidFormat` on the first failure.
    Status validate() const;
};

}  // namespace tessarin
