#include "core/json.h"
#include "core/text.h"

#include <charconv>  // std::from_chars, std::to_chars
#include <cmath>     // std::isfinite
#include <cstring>   // std::memchr

namespace tessarin::json {

std::string Error::describe() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// ---------------------------------------------------------------------------------
// Reader

void Reader::fail_at(std::size_t position, std::string message) const {
    if (position > text_.size()) position = text_.size();
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < position; ++i) {
        if (text_[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    throw detail::Failure{Error{std::move(message), line, column}};
}

void Reader::fail(std::string message) const { fail_at(pos_, std::move(message)); }

void Reader::missing_field(std::string_view key) const {
    fail("missing field `" + std::string(key) + "`");
}

void Reader::duplicate_field(std::string_view key) const {
    fail("duplicate field `" + std::string(key) + "`");
}

void Reader::unknown_variant(std::string_view name, std::initializer_list<std::string_view> expected) const {
    std::string message = "unknown variant `" + std::string(name) + "`, expected one of ";
    bool first = true;
    for (std::string_view option : expected) {
        if (!first) message += ", ";
        first = false;
        message += '`';
        message += option;
        message += '`';
    }
    fail(std::move(message));
}

void Reader::skip_whitespace() {
    while (pos_ < text_.size()) {
        const char c = text_[pos_];
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return;
        ++pos_;
    }
}

char Reader::next_significant() {
    skip_whitespace();
    return pos_ < text_.size() ? text_[pos_] : '\0';
}

Reader::Type Reader::peek() {
    const char c = next_significant();
    switch (c) {
        case 'n': return Type::Null;
        case 't':
        case 'f': return Type::Bool;
        case '"': return Type::String;
        case '[': return Type::Array;
        case '{': return Type::Object;
        default:
            if (c == '-' || (c >= '0' && c <= '9')) return Type::Number;
            if (pos_ >= text_.size()) fail("EOF while parsing a value");
            fail("expected value");
    }
}

namespace {
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
}  // namespace

void Reader::fail_type(std::string_view expected) {
    fail("invalid type: " + std::string(type_name(peek())) + ", expected " + std::string(expected));
}

void Reader::read_null() {
    if (peek() != Type::Null) fail_type("null");
    if (text_.substr(pos_, 4) != "null") fail("expected value");
    pos_ += 4;
}

bool Reader::read_bool() {
    if (peek() != Type::Bool) fail_type("a boolean");
    if (text_.substr(pos_, 4) == "true") {
        pos_ += 4;
        return true;
    }
    if (text_.substr(pos_, 5) == "false") {
        pos_ += 5;
        return false;
    }
    fail("expected value");
}

// Checks the JSON number grammar and returns its text.
std::string_view Reader::scan_number() {
    if (peek() != Type::Number) fail_type("a number");
    const std::size_t start = pos_;
    auto digit = [&] { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; };
    if (text_[pos_] == '-') ++pos_;
    if (!digit()) fail("invalid number");
    if (text_[pos_] == '0') {
        ++pos_;
    } else {
        while (digit()) ++pos_;
    }
    if (pos_ < text_.size() && text_[pos_] == '.') {
        ++pos_;
        if (!digit()) fail("invalid number");
        while (digit()) ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
        ++pos_;
        if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
        if (!digit()) fail("invalid number");
        while (digit()) ++pos_;
    }
    return text_.substr(start, pos_ - start);
}

std::int64_t Reader::read_i64() {
    skip_whitespace();
    const std::size_t start = pos_;
    const std::string_view number = scan_number();
    if (number.find_first_of(".eE") != std::string_view::npos) {
        fail_at(start, "invalid type: floating point `" + std::string(number) + "`, expected i64");
    }
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) {
        fail_at(start, "integer `" + std::string(number) + "` is out of range for i64");
    }
    return value;
}

std::uint64_t Reader::read_u64() {
    skip_whitespace();
    const std::size_t start = pos_;
    const std::string_view number = scan_number();
    if (number.find_first_of(".eE") != std::string_view::npos) {
        fail_at(start, "invalid type: floating point `" + std::string(number) + "`, expected u64");
    }
    if (number.front() == '-') {
        if (number == "-0") return 0;
        fail_at(start, "integer `" + std::string(number) + "` is out of range for u64");
    }
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) {
        fail_at(start, "integer `" + std::string(number) + "` is out of range for u64");
    }
    return value;
}

namespace {
// Roughly the power of ten of a number's first significant digit (0 for 1.x):
// tells underflow from overflow when a number is out of range.
long long decimal_magnitude(std::string_view number) {
    std::size_t i = number.front() == '-' ? 1 : 0;
    long long magnitude = 0;
    bool found = false;
    while (i < number.size() && number[i] >= '0' && number[i] <= '9') {
        if (found || number[i] != '0') {
            found = true;
            ++magnitude;
        }
        ++i;
    }
    if (i < number.size() && number[i] == '.') {
        ++i;
        while (!found && i < number.size() && number[i] == '0') {
            --magnitude;
            ++i;
        }
        while (i < number.size() && number[i] >= '0' && number[i] <= '9') ++i;
    }
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        long long exponent = 0;
        const char* first = number.data() + i + 1;
        if (*first == '+') ++first;
        auto [end, error] = std::from_chars(first, number.data() + number.size(), exponent);
        if (error == std::errc::result_out_of_range) exponent = number[i + 1] == '-' ? -(1LL << 40) : (1LL << 40);
        magnitude += exponent;
    }
    return magnitude - 1;
}
}  // namespace

double Reader::read_f64() {
    skip_whitespace();
    const std::size_t start = pos_;
    const std::string_view number = scan_number();
    double value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    // Underflow to zero is a value; overflow past the largest double is not.
    if (error == std::errc::result_out_of_range && decimal_magnitude(number) <= 0) {
        return number.front() == '-' ? -0.0 : 0.0;
    }
    if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(value)) {
        fail_at(start, "number `" + std::string(number) + "` is out of range");
    }
    return value;
}

namespace {
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void Reader::parse_string_into(std::string& out) {
    if (peek() != Type::String) fail_type("a string");
    ++pos_;  // opening quote
    for (;;) {
        // Copy the run of plain ASCII in one go.
        std::size_t run = pos_;
        while (run < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[run]);
            if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
            ++run;
        }
        out.append(text_.data() + pos_, run - pos_);
        pos_ = run;
        if (pos_ >= text_.size()) fail("EOF while parsing a string");
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"') {
            ++pos_;
            return;
        }
        if (c < 0x20) fail("control character (\\u0000-\\u001F) found while parsing a string");
        if (c >= 0x80) {
            std::uint32_t code = 0;
            const std::size_t length = utf8_sequence(text_, pos_, code);
            if (length == 0) fail("invalid UTF-8 in string");
            out.append(text_.data() + pos_, length);
            pos_ += length;
            continue;
        }
        // Escape sequence.
        if (pos_ + 1 >= text_.size()) fail("EOF while parsing a string");
        const char escape = text_[pos_ + 1];
        pos_ += 2;
        switch (escape) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                auto read_hex = [&]() -> std::uint32_t {
                    if (text_.size() - pos_ < 4) fail("EOF while parsing a string");
                    std::uint32_t value = 0;
                    for (int i = 0; i < 4; ++i) {
                        const int digit = hex_value(text_[pos_ + i]);
                        if (digit < 0) fail("invalid escape");
                        value = (value << 4) | static_cast<std::uint32_t>(digit);
                    }
                    pos_ += 4;
                    return value;
                };
                std::uint32_t code = read_hex();
                if (code >= 0xDC00 && code <= 0xDFFF) fail("lone trailing surrogate in hex escape");
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (text_.substr(pos_, 2) != "\\u") fail("lone leading surrogate in hex escape");
                    pos_ += 2;
                    const std::uint32_t trail = read_hex();
                    if (trail < 0xDC00 || trail > 0xDFFF) fail("lone leading surrogate in hex escape");
                    code = 0x10000 + ((code - 0xD800) << 10) + (trail - 0xDC00);
                }
                append_utf8(out, code);
                break;
            }
            default:
                pos_ -= 1;
                fail("invalid escape");
        }
    }
}

std::string Reader::read_string() {
    std::string out;
    parse_string_into(out);
    return out;
}

void Reader::enter() {
    if (++depth_ >= max_depth) fail("recursion limit exceeded");
    started_.push_back(false);
}

void Reader::begin_array() {
    if (peek() != Type::Array) fail_type("an array");
    enter();
    ++pos_;
}

bool Reader::next_element() {
    char c = next_significant();
    if (c == ']') {
        ++pos_;
        started_.pop_back();
        leave();
        return false;
    }
    if (started_.back()) {
        if (c != ',') fail(pos_ >= text_.size() ? "EOF while parsing a list" : "expected `,` or `]`");
        ++pos_;
        if (next_significant() == ']') fail("trailing comma");
    }
    started_.back() = true;
    return true;
}

void Reader::begin_object() {
    if (peek() != Type::Object) fail_type("an object");
    enter();
    ++pos_;
}

bool Reader::next_member(std::string& key) {
    char c = next_significant();
    if (c == '}') {
        ++pos_;
        started_.pop_back();
        leave();
        return false;
    }
    if (started_.back()) {
        if (c != ',') fail(pos_ >= text_.size() ? "EOF while parsing an object" : "expected `,` or `}`");
        ++pos_;
        c = next_significant();
        if (c == '}') fail("trailing comma");
    }
    started_.back() = true;
    if (c != '"') fail(pos_ >= text_.size() ? "EOF while parsing an object" : "key must be a string");
    key.clear();
    parse_string_into(key);
    if (next_significant() != ':') fail(pos_ >= text_.size() ? "EOF while parsing an object" : "expected `:`");
    ++pos_;
    return true;
}

void Reader::skip_value() {
    switch (peek()) {
        case Type::Null: read_null(); break;
        case Type::Bool: read_bool(); break;
        case Type::Number: scan_number(); break;
        case Type::String: {
            std::string ignored;
            parse_string_into(ignored);
            break;
        }
        case Type::Array:
            begin_array();
            while (next_element()) skip_value();
            break;
        case Type::Object: {
            begin_object();
            std::vector<std::string> seen;  // repeats are refused even in skipped objects
            std::string key;
            while (next_member(key)) {
                for (const auto& earlier : seen) {
                    if (earlier == key) duplicate_field(key);
                }
                seen.push_back(key);
                skip_value();
            }
            break;
        }
    }
}

void Reader::finish() {
    if (next_significant() != '\0' || pos_ < text_.size()) fail("trailing characters");
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
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
}

void Writer::unsigned_integer(std::uint64_t value) {
    before_value();
    char buffer[24];
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
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
    auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out_.append(buffer, end);
}

void Writer::string(std::string_view value) {
    before_value();
    static const char hex[] = "0123456789abcdef";
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

void Writer::begin_object() {
    before_value();
    out_ += '{';
    started_.push_back(false);
}

void Writer::key(std::string_view name) {
    string(name);
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

}  // namespace tessarin::json
