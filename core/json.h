// JSON reading and writing for the engine's own formats: record state, record
// batches and the manifest.
//
// Reader: a pull decoder over simdjson's on-demand parser. Decoders call it in
// document order and build typed values directly; the first problem wins and is
// kept (later calls do nothing and return defaults), so decoders need no error
// plumbing. Every value of the document is visited, read or skipped: the whole
// text is checked (grammar, UTF-8, escapes, lone surrogates) and containers
// nested `max_depth` levels deep are refused before they are entered, so
// decoders may recurse without bound checks of their own. Nothing is allocated
// per value beyond what decoders keep. `parse` returns the decoded value or the
// first error with its line and column (1-based, columns counted in bytes).
// Texts larger than 4 GiB are refused.
//
// Writer: compact (no whitespace at all) or indented output, standard escaping,
// integers in decimal and doubles in the shortest form that reads back to the
// same value; members in the order the caller emits them.
#pragma once

#include <cstddef>           // std::size_t
#include <cstdint>           // std::int64_t, std::uint64_t, std::uint32_t
#include <initializer_list>  // std::initializer_list
#include <memory>            // std::addressof
#include <optional>          // std::optional
#include <string>            // std::string
#include <string_view>       // std::string_view
#include <type_traits>       // std::invoke_result_t
#include <utility>           // std::move
#include <vector>            // std::vector

#include "core/error.h"

namespace tessarin::json {

/// The reader's description of a problem and where it was found.
struct Error {
    std::string message;
    std::size_t line = 0;    ///< 1-based
    std::size_t column = 0;  ///< 1-based, in bytes

    /// "{message} at line {line} column {column}"
    std::string describe() const;
};

/// Why the writer could not produce a text.
struct WriteError {
    std::string message;
};

/// Objects and arrays nested this many levels deep are refused ("recursion limit
/// exceeded"); 127 levels are accepted.
inline constexpr std::size_t max_depth = 128;

namespace detail {
class ReaderState;
}

/// A place in the text, taken before reading a value, to report a problem with that
/// value after it has been read.
struct Mark {
    std::size_t offset = 0;
};

/// An open object or array, as returned by `Reader::begin_object`/`begin_array`.
/// False when the container could not be opened (the reader has failed).
class Container {
public:
    explicit operator bool() const noexcept { return level_ != 0; }

private:
    friend class detail::ReaderState;
    std::size_t level_ = 0;   // 1 for a top-level container
    std::size_t opened_ = 0;  // offset of its opening bracket
};

/// @brief Pull decoder over one JSON text; made only by `parse`.
///
/// Reading: the value in front of the reader is either the top-level value or the
/// value after a member key or array element that `next_member`/`next_element` just
/// announced. Read it with one `read_*`, `begin_*` or `skip_value`; a value left
/// unread is skipped (and checked) when the container moves on.
///
///     json::Container object = reader.begin_object();
///     std::string_view key;
///     while (reader.next_member(object, key)) {
///         if (key == "id") id = reader.read_string();    // other members are skipped
///     }
///
/// Errors: each `read_*`/`begin_*` reports a value of the wrong JSON type ("invalid
/// type: string, expected an array"), an integer outside its type, a float where an
/// integer is expected and syntax errors. Decoders add their own with `fail`,
/// `missing_field`, `duplicate_field` and `unknown_variant`. After the first error
/// every call returns a default (0, false, empty, a false `Container`), loops end,
/// and `parse` discards whatever the decoder built.
class Reader {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    /// False once an error was recorded.
    bool ok() const noexcept;

    /// JSON type of the value in front of the reader, without consuming it.
    Type peek();
    /// Where the value in front of the reader starts.
    Mark mark();
    /// Where the member key or string value read last starts.
    Mark last_name_mark() const noexcept;

    void read_null();
    bool read_bool();
    std::int64_t read_i64();
    std::uint64_t read_u64();
    std::uint32_t read_u32();
    /// Any JSON number, as the nearest double; magnitudes beyond the largest double
    /// are refused, ones below the smallest become zero.
    double read_f64();
    /// The unescaped text; the view stays valid until `parse` returns.
    std::string_view read_string_view();
    std::string read_string() { return std::string(read_string_view()); }
    /// An array of numbers, each read as a double and rounded to the nearest float,
    /// appended to `out`.
    void read_f32_array(std::vector<float>& out);
    /// Skips the value in front of the reader, checking it like any other.
    void skip_value();

    /// Opens the array or object in front of the reader.
    Container begin_array();
    Container begin_object();
    /// Moves to the next element of `array`; false once its closing bracket is
    /// consumed (or after an error). Parts of nested containers left unread are
    /// skipped first.
    bool next_element(Container array);
    /// Moves to the next member of `object` and sets `key` to its unescaped name
    /// (valid until `parse` returns); false at the closing brace or after an error.
    bool next_member(Container object, std::string_view& key);

    /// Records an error at the value in front of the reader (or where the reader
    /// stands when there is none).
    void fail(std::string message);
    void fail_at(Mark mark, std::string message);
    /// "missing field `{key}`", at the opening brace of `object`.
    void missing_field(Container object, std::string_view key);
    /// "duplicate field `{key}`", at the member key just read.
    void duplicate_field(std::string_view key);
    /// "unknown variant `{name}`, expected one of `A`, `B`, ...", at the member key or
    /// string value just read.
    void unknown_variant(std::string_view name, std::initializer_list<std::string_view> expected);

private:
    friend class detail::ReaderState;
    explicit Reader(detail::ReaderState& state) noexcept : state_(state) {}
    detail::ReaderState& state_;
};

/// @brief Which known members of one object were seen, to refuse repeats. Members
/// are numbered by the decoder (at most 64).
class MemberSet {
public:
    /// True the first time `index` is seen; a repeat records the duplicate-field error
    /// and returns false.
    bool see(Reader& reader, unsigned index, std::string_view key) {
        if (has(index)) {
            reader.duplicate_field(key);
            return false;
        }
        seen_ |= std::uint64_t{1} << index;
        return true;
    }
    bool has(unsigned index) const noexcept { return ((seen_ >> index) & 1u) != 0; }

private:
    std::uint64_t seen_ = 0;
};

namespace detail {
/// Calls `decode(context, reader)` over `text`, then requires the end of the text.
/// Returns the first error, if any.
std::optional<Error> run(std::string_view text, void* context, void (*decode)(void*, Reader&));
/// The plain syntax check that names the reader's syntax errors, on its own.
std::optional<Error> check_syntax(std::string_view text);
}  // namespace detail

/// Decodes `text` with `decode(Reader&)`, which returns the value. Only whitespace
/// may follow the top-level value. Returns the value or the first error; the
/// decoder's partial work is dropped on failure.
template <typename Decode>
auto parse(std::string_view text, Decode&& decode) -> Result<std::invoke_result_t<Decode&, Reader&>, Error> {
    using T = std::invoke_result_t<Decode&, Reader&>;
    struct Context {
        std::remove_reference_t<Decode>* decode;
        std::optional<T> value;
    } context{std::addressof(decode), std::nullopt};
    std::optional<Error> error = detail::run(text, &context, [](void* raw, Reader& reader) {
        auto& c = *static_cast<Context*>(raw);
        c.value.emplace((*c.decode)(reader));
    });
    if (error) return std::move(*error);
    return std::move(*context.value);
}

/// @brief Builds JSON text. Commas and (when indenting) line breaks are placed
/// automatically; keys and values must alternate inside objects.
class Writer {
public:
    /// `indent` 0: compact, no whitespace anywhere. Otherwise every member and element
    /// on its own line, indented by `indent` spaces per level, with ": " after keys.
    explicit Writer(unsigned indent = 0) : indent_(indent) {}

    void null();
    void boolean(bool value);
    void integer(std::int64_t value);
    void unsigned_integer(std::uint64_t value);
    /// Shortest text that reads back to the same double. JSON has no NaN or
    /// infinity: such a value makes the writer fail (see `ok`).
    void number(double value);
    void string(std::string_view value);
    void begin_object();
    void key(std::string_view name);
    void end_object();
    void begin_array();
    void end_array();

    bool ok() const noexcept { return error_.empty(); }
    const std::string& error() const noexcept { return error_; }
    const std::string& text() const noexcept { return out_; }
    /// The text written so far, or the first error.
    Result<std::string, WriteError> finish() &&;

private:
    void before_value();
    void newline();
    void append_escaped(std::string_view value);

    std::string out_;
    std::string error_;
    unsigned indent_;
    std::vector<bool> started_;  // per open container: has it a member/element yet
    bool after_key_ = false;
};

}  // namespace tessarin::json
