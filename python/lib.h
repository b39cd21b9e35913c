// The binding layer's shared conventions, written once for every entry point:
// the module's exception classes and the one mapping from core errors to them,
// argument conversions with their fixed error wording, the per-object borrow
// flag, and running core work with the interpreter lock released.
//
// Every function here expects the interpreter lock to be held. Failures raise a
// Python exception by throwing `nanobind::python_error`, which nanobind turns back
// into the pending exception when the bound call returns.
#pragma once

#include <nanobind/nanobind.h>

#include <atomic>       // std::atomic
#include <cstdint>      // std::uint64_t
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <utility>      // std::move
#include <vector>       // std::vector

#include "core/error.h"
#include "core/filter.h"
#include "core/metadata.h"
#include "core/types.h"

namespace tessarin::python {

namespace nb = nanobind;

/// The module's exception classes, in registration order.
enum class ExceptionClass : std::uint8_t {
    TessarinError,
    DimensionMismatchError,
    PersistenceError,
    FilterError,
    UnsupportedFormatError,
    CorruptIndexError,
    InvalidIdentityError,
    RetrievalCapabilityUnavailableError,
};
inline constexpr std::size_t exception_class_count = 8;

/// Class name as registered in the module ("FilterError", ...).
const char* exception_class_name(ExceptionClass which) noexcept;

/// The class object, made once per process on first use and kept for its
/// lifetime (a borrowed reference). Throws `python_error` if creation fails.
PyObject* exception_class(ExceptionClass which);

/// Raises `type(message)`.
[[noreturn]] void raise(PyObject* type, const std::string& message);

/// Raises the exception for a core error: the class chosen by its kind, the
/// complete display text as the single argument.
[[noreturn]] void raise_core_error(const TessarinError& error);

/// The result's value, or the core error raised.
template <typename T>
T unwrap(Result<T>&& result) {
    if (!result) raise_core_error(result.error());
    return std::move(result).value();
}
inline void unwrap(Status&& status) {
    if (!status) raise_core_error(status.error());
}

/// Runs core work with the interpreter lock released. `work` must not touch
/// Python objects; the lock is taken back before returning or unwinding.
template <typename Work>
decltype(auto) without_gil(Work&& work) {
    nb::gil_scoped_release released;
    return work();
}

// Argument conversions. `name` is the parameter name used in
// "argument '{name}': {description}" when the conversion fails with TypeError;
// other exception classes (OverflowError, UnicodeEncodeError, ...) pass unchanged.

/// A `str` (or subclass) as UTF-8. The view borrows the string's own UTF-8
/// buffer: it stays valid while `value` is alive, even with the lock released.
std::string_view to_text(nb::handle value, const char* name);
/// The same check without the argument prefix, for values read from dictionaries.
std::string_view text_value(nb::handle value);
/// An integer (or `__index__`) from 0 to 2**64 - 1; negatives and larger values
/// raise OverflowError.
std::uint64_t to_count(nb::handle value, const char* name);
/// Anything `float()` accepts, rounded to the nearest f32.
float to_f32(nb::handle value, const char* name);
/// `True`, `False` or a NumPy boolean scalar.
bool to_bool(nb::handle value, const char* name);
/// The same test without raising: false when `value` is no boolean.
bool to_bool_if_boolean(nb::handle value, bool& out);
/// A `str` or `os.PathLike` giving `str`, encoded with the file-system encoding;
/// `bytes` paths are refused.
std::string to_path(nb::handle value, const char* name);
/// Any sequence but `str`, each item as by `float()` rounded to f32. One-dimensional
/// float32/float64 buffers take a fast path that yields the same values.
std::vector<float> to_embedding(nb::handle value, const char* name);

// Metadata values and `where` filters.

/// A Python object as a metadata value: an object with `__tessarin_timestamp_millis__`
/// gives a timestamp, then exact `bool`, `str`, `int` (signed 64-bit), `float`
/// (subclasses included); anything else raises TypeError.
MetadataValue to_metadata_value(nb::handle value);
/// A new Python object for a value; timestamps become `tessarin.types.TimestampMillis`.
nb::object metadata_value_to_py(const MetadataValue& value);
/// Metric and encoding names: ASCII letters folded, then matched; ValueError otherwise.
VectorMetric parse_metric(std::string_view name);
VectorEncoding parse_encoding(std::string_view name);

/// A new `dict` in key order.
nb::dict metadata_to_py(const MetadataMap& metadata);
/// A `dict` (or subclass) of `str` keys to metadata values, read in iteration order.
MetadataMap parse_metadata(nb::handle value);
/// The "metadata" entry of `dict` (a dict) through `parse_metadata`; absent gives an empty map.
MetadataMap optional_metadata(nb::handle dict);
/// The value under `key` of `dict` (a dict); KeyError "missing required key '{key}'" when absent.
nb::object required_item(nb::handle dict, const char* key);

/// Filters nest at most this deep (`$and`/`$or` levels); deeper input is refused
/// before it can exhaust the stack.
inline constexpr std::size_t max_filter_depth = 128;

/// A `where` dictionary as a filter tree; raises TypeError or FilterError (or a
/// value conversion error) at the first problem.
Filter parse_filter(nb::handle where);
/// No filter for an absent argument (a null handle) or None; otherwise `parse_filter`.
std::optional<Filter> parse_optional_filter(nb::handle where);
/// The list behind `$and` / `$or`; `op` names the operator in the error message.
std::vector<Filter> parse_filter_list(nb::handle value, const char* op);

/// @brief Per-object borrow state: free, shared by a count of readers, or held by
/// one writer. Conflicts fail at once instead of waiting.
class BorrowFlag {
public:
    bool try_acquire_shared() noexcept;
    void release_shared() noexcept;
    bool try_acquire_exclusive() noexcept;
    void release_exclusive() noexcept;

private:
    static constexpr std::int64_t exclusive = -1;
    std::atomic<std::int64_t> state_{0};  // 0 free, > 0 readers, -1 writer
};

/// @brief Shared access for the lifetime of the guard; RuntimeError "Already mutably
/// borrowed" when a writer holds the flag.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag);
    ~SharedBorrow() { flag_.release_shared(); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

/// @brief Exclusive access for the lifetime of the guard; RuntimeError "Already
/// borrowed" when anyone holds the flag.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag);
    ~ExclusiveBorrow() { flag_.release_exclusive(); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace tessarin::python
