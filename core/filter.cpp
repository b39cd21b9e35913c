#include "core/filter.h"

namespace tessarin {
namespace {

const MetadataValue* lookup(const MetadataMap& metadata, const std::string& field) {
    auto found = metadata.find(field);
    return found == metadata.end() ? nullptr : &found->second;
}

Result<bool> matches_range(const filters::Range& range, const MetadataMap& metadata) {
    const MetadataValue* stored = lookup(metadata, range.field);
    if (stored == nullptr) return false;
    const std::optional<double> x = stored->numeric_view();
    if (!x) return false;
    // Written as negated comparisons so that NaN, stored or as a bound, never excludes.
    if (range.lower) {
        const std::optional<double> bound = range.lower->numeric_view();
        if (!bound) return errors::InvalidRangeFilter{range.field};
        if (*x < *bound) return false;
    }
    if (range.upper) {
        const std::optional<double> bound = range.upper->numeric_view();
        if (!bound) return errors::InvalidRangeFilter{range.field};
        if (*x > *bound) return false;
    }
    return true;
}

}  // namespace

Result<bool> matches(const Filter& filter, const MetadataMap& metadata) {
    switch (filter.kind()) {
        case FilterKind::Equals: {
            const auto& node = std::get<filters::Equals>(filter.node);
            const MetadataValue* stored = lookup(metadata, node.field);
            return stored != nullptr && stored->equals(node.value);
        }
        case FilterKind::NotEquals: {
            const auto& node = std::get<filters::NotEquals>(filter.node);
            const MetadataValue* stored = lookup(metadata, node.field);
            return stored == nullptr || !stored->equals(node.value);
        }
        case FilterKind::In: {
            const auto& node = std::get<filters::In>(filter.node);
            const MetadataValue* stored = lookup(metadata, node.field);
            if (stored == nullptr) return false;
            for (const MetadataValue& value : node.values) {
                if (stored->equals(value)) return true;
            }
            return false;
        }
        case FilterKind::Range:
            return matches_range(std::get<filters::Range>(filter.node), metadata);
        case FilterKind::Exists:
            return lookup(metadata, std::get<filters::Exists>(filter.node).field) != nullptr;
        case FilterKind::And:
            for (const Filter& child : std::get<filters::And>(filter.node).children) {
                Result<bool> result = matches(child, metadata);
                if (!result || !result.value()) return result;
            }
            return true;
        case FilterKind::Or:
            for (const Filter& child : std::get<filters::Or>(filter.node).children) {
                Result<bool> result = matches(child, metadata);
                if (!result || result.value()) return result;
            }
            return false;
    }
    return false;
}

}  // namespace tessarin
