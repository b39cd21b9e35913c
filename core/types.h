// The plain records that cross every boundary of the engine: how vectors are
// compared and stored, the inputs handed to the index, the stored chunk, and the
// queries and hits. They carry no behaviour beyond naming and small helpers.
#pragma once

#include <cstdint>      // std::uint8_t
#include <optional>     // std::optional
#include <string_view>  // std::string_view

namespace tessarin {

/// How scores are computed; the names are the persisted spellings.
enum class VectorMetric : std::uint8_t {
    DotProduct = 0,  ///< dot product of the stored and the query vector as given
    Cosine = 1,      ///< both scaled to unit L2 length first, then the dot product
};

/// How embeddings are stored; the names are the persisted spellings.
enum class VectorEncoding : std::uint8_t {
    F32 = 0,                ///< IEEE-754 binary32
    F16 = 1,                ///< IEEE-754 binary16
    BF16 = 2,               ///< upper half of a binary32
    I8ScalarQuantized = 3,  ///< signed 8-bit codes plus one f32 scale per vector
    BinaryQuantized = 4,    ///< nameable only: no store, query or payload exists for it
};

std::string_view vector_metric_name(VectorMetric metric) noexcept;
std::string_view vector_encoding_name(VectorEncoding encoding) noexcept;
/// Exact, case-sensitive match of a persisted name.
std::optional<VectorMetric> parse_vector_metric(std::string_view name) noexcept;
std::optional<VectorEncoding> parse_vector_encoding(std::string_view name) noexcept;

}  // namespace tessarin
