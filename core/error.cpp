#include "core/error.h"
#include "core/text.h"

#include <string>  // std::to_string

namespace tessarin {
namespace {

// Concatenation by hand keeps rendering allocation-light and free of locale effects.
std::string join(std::initializer_list<std::string_view> parts) {
    std::size_t total = 0;
    for (auto part : parts) total += part.size();
    std::string out;
    out.reserve(total);
    for (auto part : parts) out.append(part);
    return out;
}

}  // namespace

std::string TessarinError::display() const {
    return std::visit(
        Overloaded{
            [](const errors::InvalidIdentity& e) {
                return join({"invalid ", e.kind, " '", e.value, "': ", e.reason});
            },
            [](const errors::InvalidRecordValue& e) {
                return join({"invalid canonical record value at '", e.path, "': ", e.reason});
            },
            [](const errors::DimensionMismatch& e) {
                return join({"invalid vector dimension: expected ", std::to_string(e.expected),
                             ", got ", std::to_string(e.actual),
                             "; use the same embedding model for indexing and queries"});
            },
            [](const errors::MissingEmbedding& e) {
                return join({"missing embedding: ", e.detail});
            },
            [](const errors::InvalidRangeFilter& e) {
                return join({"invalid range filter for metadata field '", e.field, "'"});
            },
            [](const errors::UnsupportedEncoding& e) {
                return join({"unsupported vector encoding '", e.encoding, "'"});
            },
            [](const errors::RetrievalStateUnavailable& e) {
                return join({e.state,
                             " retrieval state is unavailable; rebuild or reload the database "
                             "from its canonical corpus"});
            },
            [](const errors::Persistence& e) {
                return join({"persistence ", e.operation, " failed for '", e.path, "': ", e.message,
                             ". Check that the index path exists and is readable when loading, "
                             "or that its parent directory is writable when saving"});
            },
            [](const errors::InvalidQueryParameter& e) {
                return join({"invalid query parameter '", e.name, "': ", e.reason});
            },
            [](const errors::InvalidFormat& e) {
                return join({"invalid index format: ", e.message});
            },
            [](const errors::CorruptIndex& e) {
                return join({"corrupt index file '", e.file, "': ", e.reason,
                             ". Restore the index from a known-good copy, or rebuild and replace "
                             "the index directory"});
            },
        },
        fields_);
}

std::string_view error_kind_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::InvalidIdentity: return "InvalidIdentity";
        case ErrorKind::InvalidRecordValue: return "InvalidRecordValue";
        case ErrorKind::DimensionMismatch: return "DimensionMismatch";
        case ErrorKind::MissingEmbedding: return "MissingEmbedding";
        case ErrorKind::InvalidRangeFilter: return "InvalidRangeFilter";
        case ErrorKind::UnsupportedEncoding: return "UnsupportedEncoding";
        case ErrorKind::RetrievalStateUnavailable: return "RetrievalStateUnavailable";
        case ErrorKind::Persistence: return "Persistence";
        case ErrorKind::InvalidQueryParameter: return "InvalidQueryParameter";
        case ErrorKind::InvalidFormat: return "InvalidFormat";
        case ErrorKind::CorruptIndex: return "CorruptIndex";
    }
    return "Unknown";
}

}  // namespace tessarin
