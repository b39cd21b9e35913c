#include "core/types.h"

#include <cmath>  // std::isfinite

namespace tessarin {

std::string_view vector_metric_name(VectorMetric metric) noexcept {
    switch (metric) {
        case VectorMetric::DotProduct: return "DotProduct";
        case VectorMetric::Cosine: return "Cosine";
    }
    return "Unknown";
}

std::string_view vector_encoding_name(VectorEncoding encoding) noexcept {
    switch (encoding) {
        case VectorEncoding::F32: return "F32";
        case VectorEncoding::F16: return "F16";
        case VectorEncoding::BF16: return "BF16";
        case VectorEncoding::I8ScalarQuantized: return "I8ScalarQuantized";
        case VectorEncoding::BinaryQuantized: return "BinaryQuantized";
    }
    return "Unknown";
}

std::optional<VectorMetric> parse_vector_metric(std::string_view name) noexcept {
    for (auto metric : {VectorMetric::DotProduct, VectorMetric::Cosine}) {
        if (vector_metric_name(metric) == name) return metric;
    }
    return std::nullopt;
}

std::optional<VectorEncoding> parse_vector_encoding(std::string_view name) noexcept {
    for (auto encoding : {VectorEncoding::F32, VectorEncoding::F16, VectorEncoding::BF16,
                          VectorEncoding::I8ScalarQuantized, VectorEncoding::BinaryQuantized}) {
        if (vector_encoding_name(encoding) == name) return encoding;
    }
    return std::nullopt;
}

MetadataMap overlay_metadata(MetadataMap base, const MetadataMap& overlay) {
    for (const auto& [key, value] : overlay) base.insert_or_assign(key, value);
    return base;
}

HybridQuery HybridQuery::with_filter(std::optional<Filter> replacement) && {
    filter = std::move(replacement);
    return std::move(*this);
}

Result<HybridQuery> HybridQuery::try_with_alpha(float alpha) && {
    if (!std::isfinite(alpha) || !(alpha >= 0.0f && alpha <= 1.0f)) {
        return errors::InvalidQueryParameter{
            "alpha", "alpha must be finite and between 0 and 1; use 1 for vector-only or 0 for BM25-only"};
    }
    fusion = fusions::Weighted{alpha, 1.0f - alpha};
    return std::move(*this);
}

}  // namespace tessarin
