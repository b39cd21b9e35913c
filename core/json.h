// JSON reading and writing for the engine's own formats: record state, record
// batches and the manifest. The reader is a pull parser that decodes straight
// into typed structures and reports the first problem with its line and column
// (1-based); it rejects duplicate members, nesting 128 levels deep, invalid UTF-8
// and anything after the top-level value. The writer prints compact or indented
// JSON with standard escaping and shortest round-trip doubles.
#pragma once

#include <cstddef>      // std::size_t
#include <cstdint>      // std::int64_t, std::uint64_t
#include <initializer_list>
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <utility>      // std::move
#include <vector>       // std::vector

#include "core/error.h"

namespace tessarin::json {

/// The reader's description of a problem and where it was found.
struct Error {
    std::string message;
    std::size_t line = 0;
    std::size_t column = 0;

    /// "{message} at line {line} column {column}"
    std::string describe() const;
};

/// Why the writer could not produce a text.
struct WriteError {
    std::string message;
};

/// Containers nested this deep are refused.
inline constexpr std::size_t max_depth = 128;

/// @brief Pull parser over one JSON text. Its methods report problems by throwing
/// an internal failure that `parse` turns into an `Error`; use it only inside
/// `parse`.
class Reader {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    explicit Reader(std::string_view text) : text_(text) {}

    /// The type of the next value (after whitespace), without consuming it.
    Type peek();

    void read_null();
    bool read_bool();
    std::int64_t read_i64();
    std::uint64_t read_u64();
    /// Any JSON number as the nearest double; out-of-range magnitudes are refused.
    double read_f64();
    std::string read_string();
    /// Skips one value of any type (checking it like any other).
    void skip_value();

    /// Arrays: `begin_array()`, then `next_element()` before each element; it
    /// returns false once the closing bracket is consumed.
    void begin_array();
    bool next_element();

    /// Objects: `begin_object()`, then `next_member(key)` before each value; it reads
    /// the key and the colon, and returns false once the closing brace is consumed.
    /// Callers reject repeated keys with `duplicate_field` (see `MemberSet`).
    void begin_object();
    bool next_member(std::string& key);

    /// Ends the document: only whitespace may follow the top-level value.
    void finish();

    // Failures with the current position.
    [[noreturn]] void fail(std::string message) const;
    [[noreturn]] void missing_field(std::string_view key) const;
    [[noreturn]] void duplicate_field(std::string_view key) const;
    /// "unknown variant `{name}`, expected one of `A`, `B`, ..."
    [[noreturn]] void unknown_variant(std::string_view name, std::initializer_list<std::string_view> expected) const;

    /// Position of the next unread byte, for callers that want to point back at a value.
    std::size_t position() const noexcept { return pos_; }
    [[noreturn]] void fail_at(std::size_t position, std::string message) const;

private:
    void skip_whitespace();
    char next_significant();  // skips whitespace, returns the next byte or '\0' at the end
    [[noreturn]] void fail_type(std::string_view expected);
    std::string_view scan_number();
    void parse_string_into(std::string& out);
    void enter();
    void leave() { --depth_; }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t depth_ = 0;
    // Per open container: whether a member/element was already read (for commas).
    std::vector<bool> started_;
};

/// @brief Tracks which known members of one object were seen, to reject repeats.
class MemberSet {
public:
    /// True the first time `index` is seen; a repeat fails with the duplicate-field error.
    void see(Reader& reader, unsigned index, std::string_view key) {
        if ((seen_ >> index) & 1u) reader.duplicate_field(key);
        seen_ |= std::uint64_t{1} << index;
    }
    bool has(unsigned index) const noexcept { return ((seen_ >> index) & 1u) != 0; }

private:
    std::uint64_t seen_ = 0;
};

namespace detail {
struct Failure {
    Error error;
};
}  // namespace detail

/// Decodes `text` with `decode(Reader&)`, requiring nothing but whitespace after
/// the value. Nothing escapes but the decoded value or the first error.
template <typename Decode>
auto parse(std::string_view text, Decode&& decode) -> Result<decltype(decode(std::declval<Reader&>())), Error> {
    try {
        Reader reader(text);
        auto value = decode(reader);
        reader.finish();
        return value;
    } catch (detail::Failure& failure) {
        return std::move(failure.error);
    }
}

/// @brief Builds JSON text. Commas and (in indented mode) line breaks are placed
/// automatically; doubles must be finite (check with `ok()`).
class Writer {
public:
    /// indent 0: compact, no whitespace anywhere; otherwise members one per line.
    explicit Writer(unsigned indent = 0) : indent_(indent) {}

    void null();
    void boolean(bool value);
    void integer(std::int64_t value);
    void unsigned_integer(std::uint64_t value);
    /// Shortest text that reads back to the same double; non-finite values set an error.
    void number(double value);
    void string(std::string_view value);
    void begin_object();
    void key(std::string_view name);
    void end_object();
    void begin_array();
    void end_array();

    bool ok() const noexcept { return error_.empty(); }
    const std::string& error() const noexcept { return error_; }
    std::string& text() noexcept { return out_; }

private:
    void before_value();
    void newline();

    std::string out_;
    std::string error_;
    unsigned indent_;
    std::vector<bool> started_;  // per open container
    bool after_key_ = false;
};

}  // namespace tessarin::json
