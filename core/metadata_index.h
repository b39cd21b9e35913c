// The inverted index from metadata field and value to chunk offsets, kept beside
// the chunks so that a filtered search scores only the candidates a filter can
// match. Derived state: never saved, rebuilt from the chunks. Reads are safe from
// several threads; insert and remove need the owner's exclusive access.
#pragma once

#include <compare>      // std::strong_ordering
#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint16_t, std::uint64_t
#include <functional>   // std::less
#include <map>          // std::map
#include <optional>     // std::optional
#include <string>       // std::string
#include <span>         // std::span
#include <string_view>  // std::string_view
#include <variant>      // std::variant
#include <vector>       // std::vector

#include "core/error.h"
#include "core/filter.h"
#include "core/metadata.h"

namespace tessarin {

/// @brief An ordered set of chunk offsets. Offsets are split into a high part and
/// a 16-bit low part; each block of equal high parts keeps its lows sorted, so sets
/// cost about two bytes per offset, updates move at most one block, and set algebra
/// runs as ordered merges block by block.
class OffsetSet {
public:
    OffsetSet() = default;
    /// From offsets already sorted ascending without duplicates.
    static OffsetSet from_sorted(const std::vector<std::size_t>& offsets);

    bool insert(std::size_t offset);
    bool erase(std::size_t offset);
    bool contains(std::size_t offset) const noexcept;
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    /// Calls `visit(offset)` in ascending order.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (const Block& block : blocks_) {
            const std::size_t base = static_cast<std::size_t>(block.high) << 16;
            for (std::uint16_t low : block.lows) visit(base | low);
        }
    }
    std::vector<std::size_t> to_vector() const;

    static OffsetSet set_union(const OffsetSet& a, const OffsetSet& b);
    /// The union of many sets at once (null entries are skipped).
    static OffsetSet union_of(std::span<const OffsetSet* const> sets);
    static OffsetSet set_intersection(const OffsetSet& a, const OffsetSet& b);
    static OffsetSet set_difference(const OffsetSet& a, const OffsetSet& b);

    friend bool operator==(const OffsetSet& a, const OffsetSet& b) noexcept;

private:
    struct Block {
        std::uint64_t high = 0;
        std::vector<std::uint16_t> lows;
        bool operator==(const Block&) const = default;
    };
    std::vector<Block>::iterator find_block(std::uint64_t high);
    std::vector<Block>::const_iterator find_block(std::uint64_t high) const;

    std::vector<Block> blocks_;  // ascending by high, none empty
    std::size_t size_ = 0;
};

/// @brief Field and value to offsets, for narrowing filters before scoring.
class MetadataFilterIndex {
public:
    void insert(std::size_t offset, const MetadataMap& metadata);
    /// `metadata` must be the map the offset was inserted with; parts never inserted
    /// are skipped.
    void remove(std::size_t offset, const MetadataMap& metadata);

    /// Offsets whose field holds a value equal (by filter equality) to `value`.
    OffsetSet equals_set(std::string_view field, const MetadataValue& value) const;

    /// A superset of the offsets `filter` can match, or no set when the index cannot
    /// narrow the filter (every live chunk is then a candidate), or the range error
    /// of a string or boolean bound.
    Result<std::optional<OffsetSet>> candidate_set(const Filter& filter) const;

    const OffsetSet& all() const noexcept { return all_; }
    std::uint64_t estimated_payload_bytes() const noexcept;

private:
    struct FloatBits {
        std::uint64_t bits;
        auto operator<=>(const FloatBits&) const = default;
    };
    struct Millis {
        std::int64_t value;
        auto operator<=>(const Millis&) const = default;
    };
    // Equality key of a value: equal keys exactly when the values are equal.
    using IndexedValue = std::variant<std::string, std::int64_t, FloatBits, bool, Millis>;

    struct FieldIndex {
        OffsetSet present;
        std::map<IndexedValue, OffsetSet> values;
        std::map<std::uint64_t, OffsetSet> numbers;  // keyed by total-order bits
        // Offsets whose numeric view is NaN: they pass every range bound, so every
        // range candidate set must hold them.
        OffsetSet nan_numbers;
    };

    static std::optional<IndexedValue> indexed_value(const MetadataValue& value);
    /// The index's own set for (field, value), or null when there is none.
    const OffsetSet* find_equals(std::string_view field, const MetadataValue& value) const;
    Result<std::optional<OffsetSet>> range_candidates(const filters::Range& range) const;

    OffsetSet all_;
    std::map<std::string, FieldIndex, std::less<>> fields_;
};

}  // namespace tessarin
