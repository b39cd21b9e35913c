#include "core/corpus_index.h"

#include <algorithm>  // std::max

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

const StoredChunk* CorpusIndex::chunk(std::uint64_t chunk_id) const noexcept {
    auto offset = chunk_offsets.get(chunk_id);
    if (!offset || *offset >= chunks.size()) return nullptr;
    return &chunks[*offset];
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
