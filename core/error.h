// The engine's single error type and the result wrapper every fallible core
// operation returns. Errors are plain values: they own their texts, can be moved
// across threads, and render as one line of English through `display()`, which
// never fails. The Python layer maps `kind()` to an exception class in one place.
#pragma once

#include <cstddef>      // std::size_t
#include <cstdint>      // std::uint8_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <type_traits>  // std::is_same_v
#include <utility>      // std::move
#include <variant>      // std::variant

namespace tessarin {

/// The eleven kinds, in declaration order (the order is part of the contract).
enum class ErrorKind : std::uint8_t {
    InvalidIdentity = 0,            ///< an identifier broke its rules
    InvalidRecordValue = 1,         ///< a canonical record value is not in canonical form
    DimensionMismatch = 2,          ///< vector length differs from the index dimension
    MissingEmbedding = 3,           ///< a chunk needs an embedding that is absent
    InvalidRangeFilter = 4,         ///< a range bound that is not a number
    UnsupportedEncoding = 5,        ///< an encoding that cannot back a store or query
    RetrievalStateUnavailable = 6,  ///< a search needs state the index does not hold
    Persistence = 7,                ///< file system work failed while saving or loading
    InvalidQueryParameter = 8,      ///< a query parameter outside its domain
    InvalidFormat = 9,              ///< bytes or settings that do not follow the format
    CorruptIndex = 10,              ///< a saved file fails its digest or consistency check
};

namespace errors {
// Fields marked "static" are texts chosen by the raising code; they must point
// at storage that outlives the error (string literals).
struct InvalidIdentity {
    std::string_view kind;  // static
    std::string value;
    std::string reason;
};
struct InvalidRecordValue {
    std::string path;
    std::string reason;
};
struct DimensionMismatch {
    std::size_t expected;
    std::size_t actual;
};
struct MissingEmbedding {
    std::string detail;
};
struct InvalidRangeFilter {
    std::string field;
};
struct UnsupportedEncoding {
    std::string encoding;
};
struct RetrievalStateUnavailable {
    std::string_view state;  // static
};
struct Persistence {
    std::string operation;
    std::string path;
    std::string message;
};
struct InvalidQueryParameter {
    std::string_view name;  // static
    std::string reason;
};
struct InvalidFormat {
    std::string message;
};
struct CorruptIndex {
    std::string file;
    std::string reason;
};
}  // namespace errors

/// @brief One error value: a kind with the fields its message needs.
class TessarinError {
public:
    // Alternatives are listed in `ErrorKind` order so that `index()` is the kind.
    using Variant = std::variant<errors::InvalidIdentity, errors::InvalidRecordValue,
                                 errors::DimensionMismatch, errors::MissingEmbedding,
                                 errors::InvalidRangeFilter, errors::UnsupportedEncoding,
                                 errors::RetrievalStateUnavailable, errors::Persistence,
                                 errors::InvalidQueryParameter, errors::InvalidFormat,
                                 errors::CorruptIndex>;

    // Implicit from any alternative, so raising code reads `return errors::InvalidFormat{...};`.
    template <typename Fields>
        requires(!std::is_same_v<std::remove_cvref_t<Fields>, TessarinError> &&
                 std::is_constructible_v<Variant, Fields>)
    TessarinError(Fields&& fields) : fields_(std::forward<Fields>(fields)) {}  // NOLINT

    ErrorKind kind() const noexcept { return static_cast<ErrorKind>(fields_.index()); }
    const Variant& fields() const noexcept { return fields_; }
    template <typename Fields>
    const Fields* get_if() const noexcept { return std::get_if<Fields>(&fields_); }

    /// The one-line English text shown to users.
    std::string display() const;

private:
    Variant fields_;
};

/// Name of a kind as written in the code ("DimensionMismatch", ...).
std::string_view error_kind_name(ErrorKind kind) noexcept;

/// @brief The value of a fallible operation: either a `T` or one error (a
/// `TessarinError` unless another error type is named).
template <typename T, typename E = TessarinError>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
    template <typename Fields>
        requires(std::is_same_v<E, TessarinError> &&
                 std::is_constructible_v<TessarinError::Variant, Fields> &&
                 !std::is_convertible_v<Fields, T>)
    Result(Fields&& fields)  // NOLINT: lets `return errors::X{...};` build a failed result
        : state_(std::in_place_index<1>, E(std::forward<Fields>(fields))) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

/// Success carries nothing; failure carries the error.
template <typename E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E error) : error_(std::move(error)) {}  // NOLINT
    template <typename Fields>
        requires(std::is_same_v<E, TessarinError> &&
                 std::is_constructible_v<TessarinError::Variant, Fields>)
    Result(Fields&& fields) : error_(E(std::forward<Fields>(fields))) {}  // NOLINT

    bool has_value() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return has_value(); }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

using Status = Result<void>;

}  // namespace tessarin
