#include "core/metadata_index.h"
#include "core/text.h"

#include <algorithm>  // std::lower_bound, std::set_union, std::sort, std::unique
#include <bit>        // std::bit_cast, std::countr_zero
#include <cmath>      // std::isnan, std::isinf
#include <iterator>   // std::back_inserter
#include <limits>     // std::numeric_limits

namespace tessarin {

// ---------------------------------------------------------------------------------
// OffsetSet

namespace {
constexpr std::uint64_t high_of(std::size_t offset) { return static_cast<std::uint64_t>(offset) >> 16; }
constexpr std::uint16_t low_of(std::size_t offset) { return static_cast<std::uint16_t>(offset & 0xFFFFu); }
}  // namespace

std::vector<OffsetSet::Block>::iterator OffsetSet::find_block(std::uint64_t high) {
    return std::lower_bound(blocks_.begin(), blocks_.end(), high,
                            [](const Block& block, std::uint64_t h) { return block.high < h; });
}

std::vector<OffsetSet::Block>::const_iterator OffsetSet::find_block(std::uint64_t high) const {
    return std::lower_bound(blocks_.begin(), blocks_.end(), high,
                            [](const Block& block, std::uint64_t h) { return block.high < h; });
}

OffsetSet OffsetSet::from_sorted(const std::vector<std::size_t>& offsets) {
    OffsetSet set;
    for (std::size_t offset : offsets) {
        if (set.blocks_.empty() || set.blocks_.back().high != high_of(offset)) {
            set.blocks_.push_back(Block{high_of(offset), {}});
        }
        set.blocks_.back().lows.push_back(low_of(offset));
    }
    set.size_ = offsets.size();
    return set;
}

bool OffsetSet::insert(std::size_t offset) {
    const std::uint64_t high = high_of(offset);
    const std::uint16_t low = low_of(offset);
    // Chunks arrive in offset order, so appending is the common case.
    if (blocks_.empty() || blocks_.back().high < high) {
        blocks_.push_back(Block{high, {low}});
        ++size_;
        return true;
    }
    auto block = blocks_.back().high == high ? blocks_.end() - 1 : find_block(high);
    if (block->high != high) {
        block = blocks_.insert(block, Block{high, {}});
    }
    auto& lows = block->lows;
    if (lows.empty() || lows.back() < low) {
        lows.push_back(low);
    } else {
        auto at = std::lower_bound(lows.begin(), lows.end(), low);
        if (*at == low) return false;
        lows.insert(at, low);
    }
    ++size_;
    return true;
}

bool OffsetSet::erase(std::size_t offset) {
    const std::uint64_t high = high_of(offset);
    auto block = find_block(high);
    if (block == blocks_.end() || block->high != high) return false;
    auto& lows = block->lows;
    auto at = std::lower_bound(lows.begin(), lows.end(), low_of(offset));
    if (at == lows.end() || *at != low_of(offset)) return false;
    lows.erase(at);
    if (lows.empty()) blocks_.erase(block);
    --size_;
    return true;
}

bool OffsetSet::contains(std::size_t offset) const noexcept {
    auto block = find_block(high_of(offset));
    if (block == blocks_.end() || block->high != high_of(offset)) return false;
    return std::binary_search(block->lows.begin(), block->lows.end(), low_of(offset));
}

std::vector<std::size_t> OffsetSet::to_vector() const {
    std::vector<std::size_t> out;
    out.reserve(size_);
    for_each([&](std::size_t offset) { out.push_back(offset); });
    return out;
}

bool operator==(const OffsetSet& a, const OffsetSet& b) noexcept {
    return a.size_ == b.size_ && a.blocks_ == b.blocks_;
}

OffsetSet OffsetSet::set_union(const OffsetSet& a, const OffsetSet& b) {
    OffsetSet out;
    auto x = a.blocks_.begin(), y = b.blocks_.begin();
    while (x != a.blocks_.end() || y != b.blocks_.end()) {
        if (y == b.blocks_.end() || (x != a.blocks_.end() && x->high < y->high)) {
            out.blocks_.push_back(*x++);
        } else if (x == a.blocks_.end() || y->high < x->high) {
            out.blocks_.push_back(*y++);
        } else {
            Block merged{x->high, {}};
            merged.lows.reserve(std::max(x->lows.size(), y->lows.size()));
            std::set_union(x->lows.begin(), x->lows.end(), y->lows.begin(), y->lows.end(),
                           std::back_inserter(merged.lows));
            out.blocks_.push_back(std::move(merged));
            ++x;
            ++y;
        }
        out.size_ += out.blocks_.back().lows.size();
    }
    return out;
}

OffsetSet OffsetSet::union_of(std::span<const OffsetSet* const> sets) {
    // Blocks grouped by their high part; each group is merged through a bitmap of
    // the 2^16 lows, which costs one pass over the members and no sort.
    std::vector<const Block*> blocks;
    std::uint64_t max_high = 0;
    for (const OffsetSet* set : sets) {
        if (set == nullptr) continue;
        for (const Block& block : set->blocks_) {
            blocks.push_back(&block);
            max_high = std::max(max_high, block.high);
        }
    }
    if (max_high < blocks.size() + 4096) {
        // Counting sort by high: highs are dense for offsets of real chunks.
        std::vector<std::size_t> starts(static_cast<std::size_t>(max_high) + 2, 0);
        for (const Block* block : blocks) ++starts[block->high + 1];
        for (std::size_t h = 1; h < starts.size(); ++h) starts[h] += starts[h - 1];
        std::vector<const Block*> sorted(blocks.size());
        for (const Block* block : blocks) sorted[starts[block->high]++] = block;
        blocks = std::move(sorted);
    } else {
        std::stable_sort(blocks.begin(), blocks.end(), [](const Block* a, const Block* b) { return a->high < b->high; });
    }
    OffsetSet out;
    std::vector<std::uint64_t> bits;
    for (std::size_t i = 0; i < blocks.size();) {
        std::size_t j = i + 1;
        while (j < blocks.size() && blocks[j]->high == blocks[i]->high) ++j;
        if (j - i == 1) {
            out.blocks_.push_back(*blocks[i]);
        } else {
            bits.assign(std::size_t{1} << 10, 0);
            for (std::size_t k = i; k < j; ++k) {
                for (std::uint16_t low : blocks[k]->lows) bits[low >> 6] |= std::uint64_t{1} << (low & 63);
            }
            Block merged{blocks[i]->high, {}};
            for (std::size_t w = 0; w < bits.size(); ++w) {
                for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
                    merged.lows.push_back(static_cast<std::uint16_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
                }
            }
            out.blocks_.push_back(std::move(merged));
        }
        out.size_ += out.blocks_.back().lows.size();
        i = j;
    }
    return out;
}

OffsetSet OffsetSet::set_intersection(const OffsetSet& a, const OffsetSet& b) {
    OffsetSet out;
    auto x = a.blocks_.begin(), y = b.blocks_.begin();
    while (x != a.blocks_.end() && y != b.blocks_.end()) {
        if (x->high < y->high) {
            ++x;
        } else if (y->high < x->high) {
            ++y;
        } else {
            Block common{x->high, {}};
            std::set_intersection(x->lows.begin(), x->lows.end(), y->lows.begin(), y->lows.end(),
                                  std::back_inserter(common.lows));
            if (!common.lows.empty()) {
                out.size_ += common.lows.size();
                out.blocks_.push_back(std::move(common));
            }
            ++x;
            ++y;
        }
    }
    return out;
}

OffsetSet OffsetSet::set_difference(const OffsetSet& a, const OffsetSet& b) {
    OffsetSet out;
    auto y = b.blocks_.begin();
    for (const Block& x : a.blocks_) {
        while (y != b.blocks_.end() && y->high < x.high) ++y;
        if (y == b.blocks_.end() || y->high != x.high) {
            out.blocks_.push_back(x);
        } else {
            Block rest{x.high, {}};
            std::set_difference(x.lows.begin(), x.lows.end(), y->lows.begin(), y->lows.end(),
                                std::back_inserter(rest.lows));
            if (rest.lows.empty()) continue;
            out.blocks_.push_back(std::move(rest));
        }
        out.size_ += out.blocks_.back().lows.size();
    }
    return out;
}

// ---------------------------------------------------------------------------------
// MetadataFilterIndex

namespace {

double without_negative_zero(double x) { return x == 0.0 ? 0.0 : x; }

// Maps doubles to unsigned keys whose order is the IEEE total order.
std::uint64_t total_order_key(double x) {
    const auto bits = std::bit_cast<std::uint64_t>(x);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Offsets of many sets, as one set: gathering and sorting once beats repeated
// pairwise unions when a range or an `$in` spans many keys.
class UnionBuilder {
public:
    /// `set` must outlive `build()`; empty sets are skipped.
    void add(const OffsetSet& set) {
        if (!set.empty()) sets_.push_back(&set);
    }
    OffsetSet build() const {
        if (sets_.size() == 1) return *sets_.front();
        return OffsetSet::union_of(sets_);
    }

private:
    std::vector<const OffsetSet*> sets_;
};

std::uint64_t saturating_mul8(std::uint64_t a) noexcept { return saturating_mul(a, 8); }

}  // namespace

// NaN equals nothing, so it has no key. Infinities equal themselves and get one,
// so an equality filter on infinity finds the chunks that store it.
std::optional<MetadataFilterIndex::IndexedValue> MetadataFilterIndex::indexed_value(
    const MetadataValue& value) {
    switch (value.kind()) {
        case MetadataKind::String: return IndexedValue(std::in_place_index<0>, value.as_string());
        case MetadataKind::Integer: return IndexedValue(std::in_place_index<1>, value.as_integer());
        case MetadataKind::Float: {
            const double x = value.as_float();
            if (std::isnan(x)) return std::nullopt;
            return IndexedValue(std::in_place_index<2>,
                                FloatBits{std::bit_cast<std::uint64_t>(without_negative_zero(x))});
        }
        case MetadataKind::Boolean: return IndexedValue(std::in_place_index<3>, value.as_boolean());
        case MetadataKind::TimestampMillis:
            return IndexedValue(std::in_place_index<4>, Millis{value.as_timestamp_millis()});
    }
    return std::nullopt;
}

void MetadataFilterIndex::insert(std::size_t offset, const MetadataMap& metadata) {
    all_.insert(offset);
    for (const auto& [name, value] : metadata) {
        auto field = fields_.find(name);
        if (field == fields_.end()) field = fields_.emplace(name, FieldIndex{}).first;
        FieldIndex& index = field->second;
        index.present.insert(offset);
        if (auto key = indexed_value(value)) index.values[std::move(*key)].insert(offset);
        if (auto number = value.numeric_view()) {
            if (std::isnan(*number)) {
                index.nan_numbers.insert(offset);
            } else {
                index.numbers[total_order_key(without_negative_zero(*number))].insert(offset);
            }
        }
    }
}

void MetadataFilterIndex::remove(std::size_t offset, const MetadataMap& metadata) {
    all_.erase(offset);
    for (const auto& [name, value] : metadata) {
        auto field = fields_.find(name);
        if (field == fields_.end()) continue;
        FieldIndex& index = field->second;
        index.present.erase(offset);
        if (auto key = indexed_value(value)) {
            if (auto entry = index.values.find(*key); entry != index.values.end()) {
                entry->second.erase(offset);
                if (entry->second.empty()) index.values.erase(entry);
            }
        }
        if (auto number = value.numeric_view()) {
            if (std::isnan(*number)) {
                index.nan_numbers.erase(offset);
            } else if (auto entry = index.numbers.find(total_order_key(without_negative_zero(*number)));
                       entry != index.numbers.end()) {
                entry->second.erase(offset);
                if (entry->second.empty()) index.numbers.erase(entry);
            }
        }
    }
}

const OffsetSet* MetadataFilterIndex::find_equals(std::string_view field, const MetadataValue& value) const {
    auto key = indexed_value(value);
    if (!key) return nullptr;
    auto found = fields_.find(field);
    if (found == fields_.end()) return nullptr;
    auto entry = found->second.values.find(*key);
    return entry == found->second.values.end() ? nullptr : &entry->second;
}

OffsetSet MetadataFilterIndex::equals_set(std::string_view field, const MetadataValue& value) const {
    const OffsetSet* set = find_equals(field, value);
    return set == nullptr ? OffsetSet{} : *set;
}

Result<std::optional<OffsetSet>> MetadataFilterIndex::range_candidates(const filters::Range& range) const {
    std::optional<double> lower, upper;
    if (range.lower) {
        lower = range.lower->numeric_view();
        if (!lower) return errors::InvalidRangeFilter{range.field};
    }
    if (range.upper) {
        upper = range.upper->numeric_view();
        if (!upper) return errors::InvalidRangeFilter{range.field};
    }
    // An unbounded or NaN bound cannot narrow: leave it to matching every chunk.
    for (const auto& bound : {lower, upper}) {
        if (bound && (std::isnan(*bound) || std::isinf(*bound))) return std::optional<OffsetSet>{};
    }
    auto found = fields_.find(range.field);
    if (found == fields_.end()) return std::optional<OffsetSet>{OffsetSet{}};
    const FieldIndex& index = found->second;

    UnionBuilder candidates;
    // Stored NaN passes every bound, even crossed ones.
    candidates.add(index.nan_numbers);
    const std::uint64_t low_key = lower ? total_order_key(without_negative_zero(*lower)) : 0;
    const std::uint64_t high_key =
        upper ? total_order_key(without_negative_zero(*upper)) : std::numeric_limits<std::uint64_t>::max();
    if (low_key <= high_key) {
        auto first = index.numbers.lower_bound(low_key);
        auto last = index.numbers.upper_bound(high_key);
        for (auto entry = first; entry != last; ++entry) candidates.add(entry->second);
    }
    return std::optional<OffsetSet>{candidates.build()};
}

Result<std::optional<OffsetSet>> MetadataFilterIndex::candidate_set(const Filter& filter) const {
    using Candidates = std::optional<OffsetSet>;
    switch (filter.kind()) {
        case FilterKind::Equals: {
            const auto& node = std::get<filters::Equals>(filter.node);
            return Candidates{equals_set(node.field, node.value)};
        }
        case FilterKind::NotEquals: {
            const auto& node = std::get<filters::NotEquals>(filter.node);
            return Candidates{OffsetSet::set_difference(all_, equals_set(node.field, node.value))};
        }
        case FilterKind::In: {
            const auto& node = std::get<filters::In>(filter.node);
            UnionBuilder candidates;
            for (const MetadataValue& value : node.values) {
                if (const OffsetSet* set = find_equals(node.field, value)) candidates.add(*set);
            }
            return Candidates{candidates.build()};
        }
        case FilterKind::Range:
            return range_candidates(std::get<filters::Range>(filter.node));
        case FilterKind::Exists: {
            auto found = fields_.find(std::get<filters::Exists>(filter.node).field);
            return Candidates{found == fields_.end() ? OffsetSet{} : found->second.present};
        }
        case FilterKind::And: {
            std::vector<OffsetSet> sets;
            for (const Filter& child : std::get<filters::And>(filter.node).children) {
                auto result = candidate_set(child);
                if (!result) return result;
                if (result.value()) sets.push_back(std::move(*result.value()));
            }
            if (sets.empty()) return Candidates{all_};
            // Smallest first keeps every intermediate result small.
            std::sort(sets.begin(), sets.end(),
                      [](const OffsetSet& a, const OffsetSet& b) { return a.size() < b.size(); });
            OffsetSet running = std::move(sets.front());
            for (std::size_t i = 1; i < sets.size() && !running.empty(); ++i) {
                running = OffsetSet::set_intersection(running, sets[i]);
            }
            return Candidates{std::move(running)};
        }
        case FilterKind::Or: {
            OffsetSet running;
            for (const Filter& child : std::get<filters::Or>(filter.node).children) {
                auto result = candidate_set(child);
                if (!result || !result.value()) return result;
                running = OffsetSet::set_union(running, *result.value());
            }
            return Candidates{std::move(running)};
        }
    }
    return Candidates{};
}

std::uint64_t MetadataFilterIndex::estimated_payload_bytes() const noexcept {
    std::uint64_t total = saturating_mul8(all_.size());
    for (const auto& [name, index] : fields_) {
        total = saturating_add(total, name.size());
        total = saturating_add(total, saturating_mul8(index.present.size()));
        total = saturating_add(total, saturating_mul8(index.nan_numbers.size()));
        for (const auto& [key, set] : index.values) {
            std::uint64_t key_bytes = 8;
            if (const auto* text = std::get_if<std::string>(&key)) key_bytes = text->size();
            if (std::holds_alternative<bool>(key)) key_bytes = 1;
            total = saturating_add(total, saturating_add(saturating_mul8(set.size()), key_bytes));
        }
        for (const auto& [key, set] : index.numbers) {
            total = saturating_add(total, saturating_add(saturating_mul8(set.size()), 8));
        }
    }
    return total;
}

}  // namespace tessarin
