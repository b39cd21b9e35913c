// The parsed `where` expression and its evaluation against one chunk's metadata.
// A filter is built once (by the Python layer's parser or by code) and never
// changed; evaluation is pure and stops at the first range error.
#pragma once

#include <cstdint>   // std::uint8_t
#include <optional>  // std::optional
#include <string>    // std::string
#include <variant>   // std::variant
#include <vector>    // std::vector

#include "core/error.h"
#include "core/metadata.h"

namespace tessarin {

struct Filter;

namespace filters {
struct Equals {
    std::string field;
    MetadataValue value;
};
struct NotEquals {
    std::string field;
    MetadataValue value;
};
struct In {
    std::string field;
    std::vector<MetadataValue> values;  // may be empty: matches nothing
};
/// Both bounds inclusive; a string or boolean bound is an error when evaluated.
struct Range {
    std::string field;
    std::optional<MetadataValue> lower;
    std::optional<MetadataValue> upper;
};
struct Exists {
    std::string field;
};
struct And {
    std::vector<Filter> children;  // empty: matches everything
};
struct Or {
    std::vector<Filter> children;  // empty: matches nothing
};
}  // namespace filters

/// Node kinds in their fixed order.
enum class FilterKind : std::uint8_t { Equals = 0, NotEquals = 1, In = 2, Range = 3, Exists = 4, And = 5, Or = 6 };

/// @brief One node of a filter tree; owns its field names, values and children.
struct Filter {
    using Node = std::variant<filters::Equals, filters::NotEquals, filters::In, filters::Range,
                              filters::Exists, filters::And, filters::Or>;
    Node node;

    FilterKind kind() const noexcept { return static_cast<FilterKind>(node.index()); }
};

/// Whether `metadata` satisfies `filter`, or the invalid range filter error of the
/// first `Range` node met with a string or boolean bound while evaluating.
Result<bool> matches(const Filter& filter, const MetadataMap& metadata);

}  // namespace tessarin
