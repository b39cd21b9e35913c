#include "core/json.h"
#include "core/text.h"

#include <simdjson.h>

#include <algorithm>  // std::min
#include <charconv>   // std::from_chars, std::to_chars
#include <cmath>      // std::isfinite
#include <limits>     // std::numeric_limits

namespace tessarin::json {

std::string Error::describe() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

bool is_whitespace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of the longest prefix of `text` that follows the JSON number grammar, or 0
// when not even one number starts there; `complete` tells whether the number ends
// cleanly (no dangling '-', '.', or exponent).
std::size_t scan_number(std::string_view text, bool& complete) {
    std::size_t i = 0;
    auto digits = [&] {
        const std::size_t start = i;
        while (i < text.size() && is_digit(text[i])) ++i;
        return i > start;
    };
    complete = false;
    if (i < text.size() && text[i] == '-') ++i;
    if (i >= text.size() || !is_digit(text[i])) return i;
    if (text[i] == '0') {
        ++i;
    } else {
        digits();
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) return i;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digits()) return i;
    }
    complete = true;
    return i;
}

// The power of ten of a valid JSON number's leading significant digit (0 for 1.5,
// -3 for 0.002); only its sign is used, so the exponent saturates.
long long decimal_exponent(std::string_view number) {
    std::size_t i = number.front() == '-' ? 1 : 0;
    long long integer_digits = 0, index = 0, first_significant = -1;
    auto digit = [&](char c) {
        if (first_significant < 0 && c != '0') first_significant = index;
        ++index;
    };
    for (; i < number.size() && is_digit(number[i]); ++i, ++integer_digits) digit(number[i]);
    if (i < number.size() && number[i] == '.') {
        for (++i; i < number.size() && is_digit(number[i]); ++i) digit(number[i]);
    }
    if (first_significant < 0) return std::numeric_limits<long long>::min();  // zero
    long long exponent = 0;
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        const bool negative = number[i] == '-';
        if (number[i] == '+' || number[i] == '-') ++i;
        for (; i < number.size(); ++i) exponent = std::min<long long>(exponent * 10 + (number[i] - '0'), 1'000'000'000);
        if (negative) exponent = -exponent;
    }
    return integer_digits - 1 - first_significant + exponent;
}

bool is_json_number(std::string_view text) {
    bool complete = false;
    return scan_number(text, complete) == text.size() && complete;
}

std::string_view trim_right(std::string_view text) {
    while (!text.empty() && is_whitespace(text.back())) text.remove_suffix(1);
    return text;
}

// Keeps messages about hostile megabyte-long numbers readable.
std::string quoted_token(std::string_view token) {
    constexpr std::size_t limit = 64;
    std::string out = "`";
    if (token.size() > limit) {
        out.append(token.substr(0, limit));
        out += "...";
    } else {
        out.append(token);
    }
    out += '`';
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::size_t line_of(std::string_view text, std::size_t offset) {
    std::size_t line = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == '\n';
    return line;
}

std::size_t column_of(std::string_view text, std::size_t offset) {
    if (offset > text.size()) offset = text.size();
    const std::size_t newline = text.substr(0, offset).rfind('\n');
    return newline == std::string_view::npos ? offset + 1 : offset - newline;
}

struct SyntaxError {
    std::string message;
    std::size_t offset = 0;
};

// A strict, plain JSON checker. It runs only after the fast parser has refused a
// text, to name the first syntax problem and its place; it applies the same
// nesting limit as the reader.
class SyntaxScanner {
public:
    explicit SyntaxScanner(std::string_view text) : text_(text) {}

    std::optional<SyntaxError> run() {
        if (value(0)) {
            skip_whitespace();
            if (pos_ < text_.size()) fail("trailing characters");
        }
        return error_;
    }

private:
    bool fail(const char* message) { return fail_at(pos_, message); }
    bool fail_at(std::size_t offset, const char* message) {
        error_ = SyntaxError{message, offset};
        return false;
    }
    bool at_end() const { return pos_ >= text_.size(); }
    void skip_whitespace() {
        while (!at_end() && is_whitespace(text_[pos_])) ++pos_;
    }

    bool value(std::size_t depth) {
        skip_whitespace();
        if (at_end()) return fail("EOF while parsing a value");
        const char c = text_[pos_];
        switch (c) {
            case '{':
            case '[':
                if (depth + 1 >= max_depth) return fail("recursion limit exceeded");
                return c == '{' ? object(depth + 1) : array(depth + 1);
            case '"': return string();
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default:
                if (c == '-' || is_digit(c)) return number();
                return fail("expected value");
        }
    }

    bool literal(std::string_view word) {
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (pos_ + i >= text_.size()) return fail_at(text_.size(), "EOF while parsing a value");
            if (text_[pos_ + i] != word[i]) return fail_at(pos_ + i, "invalid literal");
        }
        pos_ += word.size();
        return true;
    }

    bool number() {
        bool complete = false;
        const std::size_t length = scan_number(text_.substr(pos_), complete);
        if (!complete) return fail_at(pos_ + length, "invalid number");
        pos_ += length;
        return true;
    }

    bool string() {
        ++pos_;  // opening quote
        for (;;) {
            if (at_end()) return fail("EOF while parsing a string");
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return fail("control character (\\u0000-\\u001F) found while parsing a string");
            if (c >= 0x80) {
                std::uint32_t code = 0;
                const std::size_t length = utf8_sequence(text_, pos_, code);
                if (length == 0) return fail("invalid UTF-8 in string");
                pos_ += length;
                continue;
            }
            if (c != '\\') {
                ++pos_;
                continue;
            }
            const std::size_t escape_start = pos_;
            if (pos_ + 1 >= text_.size()) return fail_at(text_.size(), "EOF while parsing a string");
            const char escape = text_[pos_ + 1];
            pos_ += 2;
            switch (escape) {
                case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
                case 'u': {
                    std::uint32_t code = 0;
                    if (!hex4(code)) return false;
                    if (code >= 0xDC00 && code <= 0xDFFF) {
                        return fail_at(escape_start, "lone trailing surrogate in hex escape");
                    }
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        if (text_.substr(pos_, 2) != "\\u") {
                            return fail_at(escape_start, "lone leading surrogate in hex escape");
                        }
                        pos_ += 2;
                        std::uint32_t trail = 0;
                        if (!hex4(trail)) return false;
                        if (trail < 0xDC00 || trail > 0xDFFF) {
                            return fail_at(escape_start, "lone leading surrogate in hex escape");
                        }
                    }
                    break;
                }
                default: return fail_at(escape_start, "invalid escape");
            }
        }
    }

    bool hex4(std::uint32_t& value) {
        for (int i = 0; i < 4; ++i) {
            if (at_end()) return fail("EOF while parsing a string");
            const int digit = hex_value(text_[pos_]);
            if (digit < 0) return fail("invalid escape");
            value = (value << 4) | static_cast<std::uint32_t>(digit);
            ++pos_;
        }
        return true;
    }

    bool object(std::size_t depth) {
        ++pos_;
        skip_whitespace();
        if (!at_end() && text_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_whitespace();
            if (at_end()) return fail("EOF while parsing an object");
            if (text_[pos_] != '"') return fail("key must be a string");
            if (!string()) return false;
            skip_whitespace();
            if (at_end()) return fail("EOF while parsing an object");
            if (text_[pos_] != ':') return fail("expected `:`");
            ++pos_;
            if (!value(depth)) return false;
            skip_whitespace();
            if (at_end()) return fail("EOF while parsing an object");
            if (text_[pos_] == '}') {
                ++pos_;
                return true;
            }
            if (text_[pos_] != ',') return fail("expected `,` or `}`");
            ++pos_;
            skip_whitespace();
            if (!at_end() && text_[pos_] == '}') return fail("trailing comma");
        }
    }

    bool array(std::size_t depth) {
        ++pos_;
        skip_whitespace();
        if (!at_end() && text_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            if (!value(depth)) return false;
            skip_whitespace();
            if (at_end()) return fail("EOF while parsing a list");
            if (text_[pos_] == ']') {
                ++pos_;
                return true;
            }
            if (text_[pos_] != ',') return fail("expected `,` or `]`");
            ++pos_;
            skip_whitespace();
            if (!at_end() && text_[pos_] == ']') return fail("trailing comma");
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::optional<SyntaxError> error_;
};

const char* type_name(Reader::Type type) {
    switch (type) {
        case Reader::Type::Null: return "null";
        case Reader::Type::Bool: return "boolean";
        case Reader::Type::Number: return "number";
        case Reader::Type::String: return "string";
        case Reader::Type::Array: return "array";
        case Reader::Type::Object: return "object";
    }
    return "value";
}

// The JSON type a value starting with `c` must have, if any.
std::optional<Reader::Type> type_from_first_byte(char c) {
    switch (c) {
        case '{': return Reader::Type::Object;
        case '[': return Reader::Type::Array;
        case '"': return Reader::Type::String;
        case 't':
        case 'f': return Reader::Type::Bool;
        case 'n': return Reader::Type::Null;
        default:
            if (c == '-' || is_digit(c)) return Reader::Type::Number;
            return std::nullopt;
    }
}

}  // namespace

namespace detail {

namespace od = simdjson::ondemand;

// The state behind a `Reader`. The value in front of the reader is the document
// itself until the top-level value is read (simdjson treats the root apart: it
// checks the outer brackets there), then the value `current_` that the innermost
// container last announced.
class ReaderState {
public:
    explicit ReaderState(std::string_view text) : text_(text) {}

    std::optional<Error> run(void* context, void (*decode)(void*, Reader&)) {
        if (text_.size() > simdjson::SIMDJSON_MAXSIZE_BYTES) {
            record("JSON text larger than 4 GiB is not supported", 0);
            return take_error();
        }
        padded_ = simdjson::padded_string(text_.data(), text_.size());
        frames_.reserve(16);
        if (auto error = parser_.iterate(padded_).get(document_)) {
            if (error == simdjson::EMPTY) {
                record("EOF while parsing a value", text_.size());
            } else {
                locate(error, 0);
            }
            return take_error();
        }
        pending_ = true;
        Reader reader(*this);
        decode(context, reader);
        finish();
        return take_error();
    }

    bool ok() const noexcept { return !failed_; }

    Reader::Type peek() {
        if (!require_pending()) return Reader::Type::Null;
        const char* at = token();
        if (auto type = type_from_first_byte(*at)) return *type;
        locate(simdjson::TAPE_ERROR, offset(at));
        return Reader::Type::Null;
    }

    std::size_t mark() {
        if (failed_) return 0;
        if (pending_) return offset(token());
        return where();
    }

    void read_null() {
        if (!require_pending()) return;
        const char* at = token();
        bool is_null = false;
        const auto error = at_root_ ? document_.is_null().get(is_null) : current_.is_null().get(is_null);
        if (!error && is_null) {
            pending_ = false;
            return;
        }
        type_failure(at, "null", Reader::Type::Null, error ? error : simdjson::N_ATOM_ERROR);
    }

    bool read_bool() {
        if (!require_pending()) return false;
        const char* at = token();
        bool value = false;
        const auto error = at_root_ ? document_.get_bool().get(value) : current_.get_bool().get(value);
        if (!error) {
            pending_ = false;
            return value;
        }
        type_failure(at, "a boolean", Reader::Type::Bool, error);
        return false;
    }

    std::int64_t read_i64() {
        if (!require_pending()) return 0;
        std::int64_t value = 0;
        const auto error = at_root_ ? document_.get_int64().get(value) : current_.get_int64().get(value);
        if (!error) {
            pending_ = false;
            return value;
        }
        integer_failure(error, "i64");
        return 0;
    }

    std::uint64_t read_u64() {
        if (!require_pending()) return 0;
        std::uint64_t value = 0;
        const auto error = at_root_ ? document_.get_uint64().get(value) : current_.get_uint64().get(value);
        if (!error) {
            pending_ = false;
            return value;
        }
        // "-0" is zero, as it is for any other reader of integers.
        if (trim_right(raw_token()) == "-0") {
            step_over_number(token());
            return 0;
        }
        integer_failure(error, "u64");
        return 0;
    }

    std::uint32_t read_u32() {
        if (!require_pending()) return 0;
        const std::size_t at = offset(token());
        const std::string token_text(trim_right(raw_token()));
        const std::uint64_t value = read_u64();
        if (failed_) return 0;
        if (value > 0xFFFFFFFFu) {
            record("integer " + quoted_token(token_text) + " is out of range for u32", at);
            return 0;
        }
        return static_cast<std::uint32_t>(value);
    }

    double read_f64() {
        if (!require_pending()) return 0;
        double value = 0;
        const auto error = at_root_ ? document_.get_double().get(value) : current_.get_double().get(value);
        if (!error) {
            pending_ = false;
            return value;
        }
        // simdjson refuses magnitudes it cannot represent; decide here, the same way
        // whatever its version: below the smallest double is zero, above the largest
        // is an error.
        const char* at = token();
        const std::string_view number = trim_right(raw_token());
        if ((error == simdjson::NUMBER_ERROR || error == simdjson::NUMBER_OUT_OF_RANGE) && is_json_number(number)) {
            const auto [end, status] = std::from_chars(number.data(), number.data() + number.size(), value);
            const bool underflow = status == std::errc::result_out_of_range && decimal_exponent(number) < 0;
            if (status == std::errc() || underflow) {
                if (underflow) value = number.front() == '-' ? -0.0 : 0.0;
                step_over_number(at);
                return value;
            }
        }
        number_failure(error, "a number", [&](std::string_view text) {
            return "number " + quoted_token(text) + " is out of range";
        });
        return 0;
    }

    void read_f32_array(std::vector<float>& out) {
        const Container array = begin_array();
        if (!array) return;
        Frame& frame = frames_.back();
        // The elements are read here directly: one number each, no announcements.
        for (;;) {
            if (frame.started) {
                ++frame.elements;
            } else {
                frame.started = true;
            }
            if (!(frame.elements != od::array_iterator{})) {
                frames_.pop_back();
                return;
            }
            if (auto error = (*frame.elements).get(current_)) {
                locate(error, where());
                return;
            }
            pending_ = true;
            double value = 0;
            if (current_.get_double().get(value) != simdjson::SUCCESS) {
                (void)read_f64();  // reports the problem
                return;
            }
            pending_ = false;
            out.push_back(static_cast<float>(value));
        }
    }

    std::string_view read_string_view() {
        if (!require_pending()) return {};
        const char* at = token();
        std::string_view value;
        const auto error = at_root_ ? document_.get_string().get(value) : current_.get_string().get(value);
        if (!error) {
            pending_ = false;
            last_name_ = offset(at);
            return value;
        }
        type_failure(at, "a string", Reader::Type::String, error);
        return {};
    }

    void skip_value() {
        if (!require_pending()) return;
        const char* at = token();
        switch (*at) {
            case '{': {
                const Container object = begin_object();
                std::string_view key;
                while (next_member(object, key)) {
                }
                return;
            }
            case '[': {
                const Container array = begin_array();
                while (next_element(array)) {
                }
                return;
            }
            case '"': (void)read_string_view(); return;
            case 't':
            case 'f': (void)read_bool(); return;
            case 'n': read_null(); return;
            default:
                break;
        }
        // Numbers are checked, not converted: an ignored value need not fit a double.
        // simdjson steps over the unread token when the container moves on.
        if (!is_json_number(trim_right(raw_token()))) {
            locate(simdjson::NUMBER_ERROR, offset(at));
            return;
        }
        step_over_number(at);
    }

    // Marks a number as read without converting it; simdjson steps over the token
    // when the container moves on (a top-level one is checked by `finish`).
    void step_over_number(const char* at) {
        if (at_root_) skipped_root_number_ = at;
        pending_ = false;
    }

    Container begin_object() { return begin(Reader::Type::Object); }
    Container begin_array() { return begin(Reader::Type::Array); }

    bool next_element(Container array) {
        Frame* frame = enter_frame(array, false);
        if (frame == nullptr) return false;
        if (frame->started) {
            ++frame->elements;
        } else {
            frame->started = true;
        }
        if (!(frame->elements != od::array_iterator{})) {
            frames_.pop_back();
            return false;
        }
        if (auto error = (*frame->elements).get(current_)) {
            locate(error, where());
            return false;
        }
        pending_ = true;
        return true;
    }

    bool next_member(Container object, std::string_view& key) {
        Frame* frame = enter_frame(object, true);
        if (frame == nullptr) return false;
        if (frame->started) {
            ++frame->members;
        } else {
            frame->started = true;
        }
        if (!(frame->members != od::object_iterator{})) {
            frames_.pop_back();
            return false;
        }
        od::field field;
        if (auto error = (*frame->members).get(field)) {
            locate(error, where());
            return false;
        }
        last_name_ = offset(field.key().raw()) - 1;
        if (auto error = field.unescaped_key().get(key)) {
            locate(error, last_name_);
            return false;
        }
        current_ = field.value();
        pending_ = true;
        return true;
    }

    void record(std::string message, std::size_t at) {
        if (failed_) return;
        failed_ = true;
        error_message_ = std::move(message);
        error_offset_ = at;
    }

    std::size_t opened(Container c) const { return c.opened_; }
    std::size_t last_name() const noexcept { return last_name_; }

private:
    struct Frame {
        bool object = false;
        bool started = false;  // the first member/element was announced
        std::size_t opened = 0;
        od::object_iterator members;
        od::array_iterator elements;
    };

    std::size_t offset(const char* at) const { return static_cast<std::size_t>(at - padded_.data()); }

    // Where the parser stands: the next unread token, or the end of the text.
    std::size_t where() {
        const char* at = nullptr;
        if (document_.current_location().get(at) != simdjson::SUCCESS) return text_.size();
        return offset(at);
    }

    const char* token() {
        if (!at_root_) return current_.raw_json_token().data();
        const char* at = nullptr;
        if (document_.current_location().get(at) != simdjson::SUCCESS) return padded_.data() + text_.size();
        return at;
    }

    std::string_view raw_token() {
        if (!at_root_) return current_.raw_json_token();
        std::string_view token;
        if (document_.raw_json_token().get(token) != simdjson::SUCCESS) return {};
        return token;
    }

    bool require_pending() {
        if (failed_) return false;
        if (!pending_) {
            record("internal reader misuse: no value to read here", where());
            return false;
        }
        return true;
    }

    // Names the first syntax problem of the text (simdjson's own codes say little
    // about where); falls back to simdjson's message where the plain check finds
    // nothing wrong.
    void locate(simdjson::error_code error, std::size_t fallback) {
        if (failed_) return;
        if (error == simdjson::MEMALLOC) {
            record("out of memory while parsing JSON", fallback);
            return;
        }
        if (auto syntax = SyntaxScanner(text_).run()) {
            record(std::move(syntax->message), syntax->offset);
            return;
        }
        record(std::string("invalid JSON: ") + simdjson::error_message(error), fallback);
    }

    void type_failure(const char* at, std::string_view expected, Reader::Type wanted, simdjson::error_code error) {
        const auto found = type_from_first_byte(*at);
        if (!found || *found == wanted) {
            locate(error, offset(at));
            return;
        }
        record("invalid type: " + std::string(type_name(*found)) + ", expected " + std::string(expected), offset(at));
    }

    template <typename RangeMessage>
    void number_failure(simdjson::error_code error, std::string_view expected, RangeMessage&& range_message) {
        const char* at = token();
        const auto found = type_from_first_byte(*at);
        if (found && *found != Reader::Type::Number) {
            record("invalid type: " + std::string(type_name(*found)) + ", expected " + std::string(expected),
                   offset(at));
            return;
        }
        const std::string_view number = trim_right(raw_token());
        const bool conversion_failed = error == simdjson::NUMBER_ERROR || error == simdjson::INCORRECT_TYPE ||
                                       error == simdjson::NUMBER_OUT_OF_RANGE;
        if (!found || !conversion_failed || !is_json_number(number)) {
            locate(error, offset(at));
            return;
        }
        record(range_message(number), offset(at));
    }

    void integer_failure(simdjson::error_code error, std::string_view type) {
        number_failure(error, type, [&](std::string_view number) {
            if (number.find_first_of(".eE") != std::string_view::npos) {
                return "invalid type: floating point " + quoted_token(number) + ", expected " + std::string(type);
            }
            return "integer " + quoted_token(number) + " is out of range for " + std::string(type);
        });
    }

    Container begin(Reader::Type type) {
        if (!require_pending()) return {};
        const char* at = token();
        const bool object = type == Reader::Type::Object;
        if (*at != (object ? '{' : '[')) {
            type_failure(at, object ? "an object" : "an array", type, simdjson::TAPE_ERROR);
            return {};
        }
        if (frames_.size() + 1 >= max_depth) {
            record("recursion limit exceeded", offset(at));
            return {};
        }
        Frame frame;
        frame.object = object;
        frame.opened = offset(at);
        simdjson::error_code error = simdjson::SUCCESS;
        if (object) {
            od::object value;
            error = at_root_ ? document_.get_object().get(value) : current_.get_object().get(value);
            if (!error) error = value.begin().get(frame.members);
        } else {
            od::array value;
            error = at_root_ ? document_.get_array().get(value) : current_.get_array().get(value);
            if (!error) error = value.begin().get(frame.elements);
        }
        if (error) {
            locate(error, offset(at));
            return {};
        }
        at_root_ = false;
        pending_ = false;
        frames_.push_back(frame);
        Container container;
        container.level_ = frames_.size();
        container.opened_ = frame.opened;
        return container;
    }

    // Makes `c` the innermost open container, skipping what is left of any container
    // opened inside it and of its announced but unread value.
    Frame* enter_frame(Container c, bool object) {
        if (failed_ || c.level_ == 0 || c.level_ > frames_.size()) return nullptr;
        if (frames_[c.level_ - 1].opened != c.opened_ || frames_[c.level_ - 1].object != object) return nullptr;
        while (frames_.size() > c.level_ && !failed_) close_innermost();
        if (!failed_ && pending_) skip_value();
        if (failed_) return nullptr;
        return &frames_[c.level_ - 1];
    }

    void close_innermost() {
        Container inner;
        inner.level_ = frames_.size();
        inner.opened_ = frames_.back().opened;
        if (frames_.back().object) {
            std::string_view key;
            while (next_member(inner, key)) {
            }
        } else {
            while (next_element(inner)) {
            }
        }
    }

    void finish() {
        while (!frames_.empty() && !failed_) close_innermost();
        if (!failed_ && pending_) skip_value();
        if (failed_) return;
        if (skipped_root_number_ != nullptr) {
            std::size_t at = offset(skipped_root_number_) + trim_right(raw_token()).size();
            while (at < text_.size() && is_whitespace(text_[at])) ++at;
            if (at < text_.size()) record("trailing characters", at);
            return;
        }
        const char* at = nullptr;
        if (document_.current_location().get(at) == simdjson::SUCCESS) record("trailing characters", offset(at));
    }

    std::optional<Error> take_error() const {
        if (!failed_) return std::nullopt;
        return Error{error_message_, line_of(text_, error_offset_), column_of(text_, error_offset_)};
    }

    std::string_view text_;
    simdjson::padded_string padded_;
    od::parser parser_;
    od::document document_;
    od::value current_;
    bool at_root_ = true;
    bool pending_ = false;
    const char* skipped_root_number_ = nullptr;
    std::vector<Frame> frames_;
    std::size_t last_name_ = 0;

    bool failed_ = false;
    std::string error_message_;
    std::size_t error_offset_ = 0;
};

std::optional<Error> check_syntax(std::string_view text) {
    auto error = SyntaxScanner(text).run();
    if (!error) return std::nullopt;
    return Error{std::move(error->message), line_of(text, error->offset), column_of(text, error->offset)};
}

std::optional<Error> run(std::string_view text, void* context, void (*decode)(void*, Reader&)) {
    ReaderState state(text);
    return state.run(context, decode);
}

}  // namespace detail

// ---------------------------------------------------------------------------------
// Reader: forwards to its state.

bool Reader::ok() const noexcept { return state_.ok(); }
Reader::Type Reader::peek() { return state_.peek(); }
Mark Reader::mark() { return Mark{state_.mark()}; }
Mark Reader::last_name_mark() const noexcept { return Mark{state_.last_name()}; }
void Reader::read_null() { state_.read_null(); }
bool Reader::read_bool() { return state_.read_bool(); }
std::int64_t Reader::read_i64() { return state_.read_i64(); }
std::uint64_t Reader::read_u64() { return state_.read_u64(); }
std::uint32_t Reader::read_u32() { return state_.read_u32(); }
double Reader::read_f64() { return state_.read_f64(); }
std::string_view Reader::read_string_view() { return state_.read_string_view(); }
void Reader::read_f32_array(std::vector<float>& out) { state_.read_f32_array(out); }
void Reader::skip_value() { state_.skip_value(); }
Container Reader::begin_array() { return state_.begin_array(); }
Container Reader::begin_object() { return state_.begin_object(); }
bool Reader::next_element(Container array) { return state_.next_element(array); }
bool Reader::next_member(Container object, std::string_view& key) { return state_.next_member(object, key); }

void Reader::fail(std::string message) { state_.record(std::move(message), state_.mark()); }
void Reader::fail_at(Mark mark, std::string message) { state_.record(std::move(message), mark.offset); }

void Reader::missing_field(Container object, std::string_view key) {
    state_.record("missing field `" + std::string(key) + "`", state_.opened(object));
}

void Reader::duplicate_field(std::string_view key) {
    state_.record("duplicate field `" + std::string(key) + "`", state_.last_name());
}

void Reader::unknown_variant(std::string_view name, std::initializer_list<std::string_view> expected) {
    if (!ok()) return;
    std::string message = "unknown variant `" + std::string(name) + "`, expected one of ";
    bool first = true;
    for (std::string_view option : expected) {
        if (!first) message += ", ";
        first = false;
        message += '`';
        message += option;
        message += '`';
    }
    state_.record(std::move(message), state_.last_name());
}

// ---------------------------------------------------------------------------------
// Writer

void Writer::newline() {
    out_ += '\n';
    out_.append(static_cast<std::size_t>(indent_) * started_.size(), ' ');
}

void Writer::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (started_.empty()) return;
    if (started_.back()) out_ += ',';
    started_.back() = true;
    if (indent_ != 0) newline();
}

void Writer::null() {
    before_value();
    out_ += "null";
}

void Writer::boolean(bool value) {
    before_value();
    out_ += value ? "true" : "false";
}

void Writer::integer(std::int64_t value) {
    before_value();
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
}

void Writer::unsigned_integer(std::uint64_t value) {
    before_value();
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
}

void Writer::number(double value) {
    before_value();
    if (!std::isfinite(value)) {
        if (error_.empty()) error_ = "non-finite floating-point values cannot be written as JSON";
        out_ += "null";
        return;
    }
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
}

void Writer::append_escaped(std::string_view value) {
    static constexpr char hex[] = "0123456789abcdef";
    out_ += '"';
    std::size_t plain = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const auto c = static_cast<unsigned char>(value[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out_.append(value.data() + plain, i - plain);
        plain = i + 1;
        switch (c) {
            case '"': out_ += "\\\""; break;
            case '\\': out_ += "\\\\"; break;
            case '\n': out_ += "\\n"; break;
            case '\r': out_ += "\\r"; break;
            case '\t': out_ += "\\t"; break;
            case '\b': out_ += "\\b"; break;
            case '\f': out_ += "\\f"; break;
            default:
                out_ += "\\u00";
                out_ += hex[c >> 4];
                out_ += hex[c & 15];
        }
    }
    out_.append(value.data() + plain, value.size() - plain);
    out_ += '"';
}

void Writer::string(std::string_view value) {
    before_value();
    append_escaped(value);
}

void Writer::begin_object() {
    before_value();
    out_ += '{';
    started_.push_back(false);
}

void Writer::key(std::string_view name) {
    before_value();
    append_escaped(name);
    out_ += indent_ != 0 ? ": " : ":";
    after_key_ = true;
}

void Writer::end_object() {
    const bool had_members = started_.back();
    started_.pop_back();
    if (indent_ != 0 && had_members) newline();
    out_ += '}';
}

void Writer::begin_array() {
    before_value();
    out_ += '[';
    started_.push_back(false);
}

void Writer::end_array() {
    const bool had_elements = started_.back();
    started_.pop_back();
    if (indent_ != 0 && had_elements) newline();
    out_ += ']';
}

Result<std::string, WriteError> Writer::finish() && {
    if (!ok()) return WriteError{std::move(error_)};
    return std::move(out_);
}

}  // namespace tessarin::json
