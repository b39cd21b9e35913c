#include "core/bm25.h"
#include "core/text.h"

#include <unicode/uchar.h>   // u_getIntPropertyValue, u_hasBinaryProperty, u_charType
#include <unicode/unistr.h>  // icu::UnicodeString
#include <unicode/locid.h>   // icu::Locale

#include <algorithm>  // std::sort, std::lower_bound, std::push_heap
#include <array>      // std::array
#include <bit>        // std::bit_cast
#include <cmath>      // std::log
#include <cstring>    // std::memcpy
#include <iterator>   // std::distance
#include <limits>     // std::numeric_limits
#include <memory>     // std::make_unique_for_overwrite

namespace tessarin {

// ---------------------------------------------------------------------------------
// Word segmentation

namespace {

bool is_ascii(std::string_view text) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) return false;
    }
    for (; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
    }
    return true;
}

bool ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }
bool ascii_word(char c) { return ascii_letter(c) || ascii_digit(c) || c == '_'; }

// All-ASCII text: words are runs of letters, digits and underscores; a full stop
// or apostrophe joins two letters or two digits, a colon two letters, a comma or
// semicolon two digits. Other ASCII segments hold no letter or digit.
void ascii_segments(std::string_view text, std::vector<std::pair<std::size_t, std::size_t>>& out) {
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (!ascii_word(text[i])) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        bool has_alnum = false;
        for (;;) {
            while (i < n && ascii_word(text[i])) {
                has_alnum = has_alnum || text[i] != '_';
                ++i;
            }
            if (i + 1 >= n) break;
            const char mid = text[i], before = text[i - 1], after = text[i + 1];
            const bool letters = ascii_letter(before) && ascii_letter(after) &&
                                 (mid == '.' || mid == '\'' || mid == ':');
            const bool digits = ascii_digit(before) && ascii_digit(after) &&
                                (mid == '.' || mid == '\'' || mid == ',' || mid == ';');
            if (!letters && !digits) break;
            ++i;
        }
        if (has_alnum) out.emplace_back(start, i);
    }
}

struct CodePoint {
    UChar32 value;
    std::size_t offset;
    std::int32_t word_break;
    bool extended_pictographic;
};

UChar32 decode(std::string_view text, std::size_t& at) {
    std::uint32_t value = 0;
    const std::size_t length = utf8_sequence(text, at, value);
    if (length == 0) {
        ++at;  // each malformed byte stands for one replacement character
        return 0xFFFD;
    }
    at += length;
    return static_cast<UChar32>(value);
}

bool ignorable(std::int32_t c) { return c == U_WB_EXTEND || c == U_WB_FORMAT || c == U_WB_ZWJ; }
bool ah_letter(std::int32_t c) { return c == U_WB_ALETTER || c == U_WB_HEBREW_LETTER; }
bool mid_num_let_q(std::int32_t c) { return c == U_WB_MIDNUMLET || c == U_WB_SINGLE_QUOTE; }
bool hard_break_class(std::int32_t c) { return c == U_WB_CR || c == U_WB_LF || c == U_WB_NEWLINE; }

// Whether there is a boundary before code point i (0 < i < n), by the default
// word boundary rules; ignorable characters (Extend, Format, ZWJ) attach to the
// character before them unless that is a line break or the start.
bool boundary_before(const std::vector<CodePoint>& cps, std::size_t i) {
    const std::int32_t p = cps[i - 1].word_break, c = cps[i].word_break;
    if (p == U_WB_CR && c == U_WB_LF) return false;
    if (hard_break_class(p) || hard_break_class(c)) return true;
    if (p == U_WB_ZWJ && cps[i].extended_pictographic) return false;
    if (p == U_WB_WSEGSPACE && c == U_WB_WSEGSPACE) return false;
    if (ignorable(c)) return false;

    // The effective character at or before j: skip ignorables unless they stand alone.
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    auto effective_before = [&](std::size_t j) -> std::size_t {
        std::size_t k = j;
        while (k != none && ignorable(cps[k].word_break)) k = k == 0 ? none : k - 1;
        if (k == none || hard_break_class(cps[k].word_break)) return j;
        return k;
    };
    const std::size_t pi = effective_before(i - 1);
    const std::int32_t prev = cps[pi].word_break;
    const std::int32_t prev2 = pi == 0 ? -1 : cps[effective_before(pi - 1)].word_break;
    std::size_t ni = i + 1;
    while (ni < cps.size() && ignorable(cps[ni].word_break)) ++ni;
    const std::int32_t next = ni < cps.size() ? cps[ni].word_break : -1;

    if (ah_letter(prev) && ah_letter(c)) return false;                                                 // WB5
    if (ah_letter(prev) && (c == U_WB_MIDLETTER || mid_num_let_q(c)) && ah_letter(next)) return false;  // WB6
    if (ah_letter(prev2) && (prev == U_WB_MIDLETTER || mid_num_let_q(prev)) && ah_letter(c)) return false;  // WB7
    if (prev == U_WB_HEBREW_LETTER && c == U_WB_SINGLE_QUOTE) return false;                            // WB7a
    if (prev == U_WB_HEBREW_LETTER && c == U_WB_DOUBLE_QUOTE && next == U_WB_HEBREW_LETTER) return false;  // WB7b
    if (prev2 == U_WB_HEBREW_LETTER && prev == U_WB_DOUBLE_QUOTE && c == U_WB_HEBREW_LETTER) return false;  // WB7c
    if (prev == U_WB_NUMERIC && c == U_WB_NUMERIC) return false;                                       // WB8
    if (ah_letter(prev) && c == U_WB_NUMERIC) return false;                                            // WB9
    if (prev == U_WB_NUMERIC && ah_letter(c)) return false;                                            // WB10
    if (prev2 == U_WB_NUMERIC && (prev == U_WB_MIDNUM || mid_num_let_q(prev)) && c == U_WB_NUMERIC) return false;  // WB11
    if (prev == U_WB_NUMERIC && (c == U_WB_MIDNUM || mid_num_let_q(c)) && next == U_WB_NUMERIC) return false;  // WB12
    if (prev == U_WB_KATAKANA && c == U_WB_KATAKANA) return false;                                     // WB13
    if ((ah_letter(prev) || prev == U_WB_NUMERIC || prev == U_WB_KATAKANA || prev == U_WB_EXTENDNUMLET) &&
        c == U_WB_EXTENDNUMLET) {
        return false;  // WB13a
    }
    if (prev == U_WB_EXTENDNUMLET && (ah_letter(c) || c == U_WB_NUMERIC || c == U_WB_KATAKANA)) return false;  // WB13b
    if (prev == U_WB_REGIONAL_INDICATOR && c == U_WB_REGIONAL_INDICATOR) {  // WB15, WB16: pairs
        std::size_t count = 0;
        for (std::size_t k = pi;; k = effective_before(k - 1)) {
            if (cps[k].word_break != U_WB_REGIONAL_INDICATOR) break;
            ++count;
            if (k == 0) break;
        }
        return count % 2 == 0;
    }
    return true;  // WB999
}

bool keeps_segment(const std::vector<CodePoint>& cps, std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to; ++k) {
        const UChar32 c = cps[k].value;
        if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC)) return true;
        const auto type = u_charType(c);
        if (type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER) return true;
    }
    return false;
}

void general_segments(std::string_view text, std::vector<std::pair<std::size_t, std::size_t>>& out) {
    std::vector<CodePoint> cps;
    cps.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t offset = at;
        const UChar32 c = decode(text, at);
        cps.push_back(CodePoint{c, offset, u_getIntPropertyValue(c, UCHAR_WORD_BREAK),
                                u_hasBinaryProperty(c, UCHAR_EXTENDED_PICTOGRAPHIC) != 0});
    }
    std::size_t start = 0;
    for (std::size_t i = 1; i <= cps.size(); ++i) {
        if (i < cps.size() && !boundary_before(cps, i)) continue;
        if (keeps_segment(cps, start, i)) {
            out.emplace_back(cps[start].offset, i < cps.size() ? cps[i].offset : text.size());
        }
        start = i;
    }
}

std::string lower(std::string_view segment) {
    if (is_ascii(segment)) {
        std::string out(segment);
        for (char& ch : out) {
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        }
        return out;
    }
    // The whole segment at once, so context rules such as the final sigma apply.
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(segment.data(), static_cast<std::int32_t>(segment.size())));
    unicode.toLower(icu::Locale::getRoot());
    std::string out;
    unicode.toUTF8String(out);
    return out;
}

}  // namespace

std::vector<std::pair<std::size_t, std::size_t>> word_segments(std::string_view text) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    if (is_ascii(text)) {
        ascii_segments(text, out);
    } else {
        general_segments(text, out);
    }
    return out;
}

std::vector<std::pair<std::size_t, std::size_t>> word_segments_general(std::string_view text) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    general_segments(text, out);
    return out;
}

std::vector<std::string> tokenize(std::string_view text, const StopWords& stop_words) {
    std::vector<std::string> tokens;
    for (const auto& [from, to] : word_segments(text)) {
        std::string token = lower(text.substr(from, to - from));
        if (token.empty() || stop_words.contains(token)) continue;
        tokens.push_back(std::move(token));
    }
    return tokens;
}

// ---------------------------------------------------------------------------------
// BM25 index

namespace {

// Distinct tokens in ascending byte order with their counts.
std::vector<std::pair<std::string, std::size_t>> count_terms(std::vector<std::string> tokens) {
    std::sort(tokens.begin(), tokens.end());
    std::vector<std::pair<std::string, std::size_t>> counted;
    for (auto& token : tokens) {
        if (!counted.empty() && counted.back().first == token) {
            ++counted.back().second;
        } else {
            counted.emplace_back(std::move(token), 1);
        }
    }
    return counted;
}


}  // namespace

bool compare_bm25_hits(const Bm25Hit& a, const Bm25Hit& b) noexcept {
    const auto ka = f32_total_order_key(a.score), kb = f32_total_order_key(b.score);
    if (ka != kb) return ka > kb;
    return a.chunk_id < b.chunk_id;
}

// ---------------------------------------------------------------------------------
// Posting lists

Bm25Index::PostingList::PostingList(const PostingList& other)
    : narrow_size_(other.narrow_size_),
      rare_(other.rare_ == nullptr ? nullptr : std::make_unique<Rare>(*other.rare_)) {
    if (narrow_size_ == 0) return;
    data_.reset(new std::uint32_t[2 * narrow_size_]);
    capacity_ = narrow_size_;
    std::copy_n(other.ids(), narrow_size_, data_.get());
    std::copy_n(other.frequencies(), narrow_size_, data_.get() + capacity_);
}

Bm25Index::PostingList& Bm25Index::PostingList::operator=(const PostingList& other) {
    if (this != &other) *this = PostingList(other);
    return *this;
}

std::size_t Bm25Index::PostingList::frequency_at(std::size_t k) const noexcept {
    const std::uint32_t frequency = frequencies()[k];
    if (frequency != large_frequency) return frequency;
    return rare_->frequencies.find(ids()[k])->second;
}

Bm25Index::Posting Bm25Index::PostingList::at(std::size_t k) const noexcept {
    if (k < narrow_size_) return Posting{ids()[k], frequency_at(k)};
    return rare_->wide[k - narrow_size_];
}

std::size_t Bm25Index::PostingList::narrow_find(std::uint32_t chunk_id) const noexcept {
    return static_cast<std::size_t>(std::lower_bound(ids(), ids() + narrow_size_, chunk_id) - ids());
}

namespace {

constexpr std::uint64_t max_narrow_id = std::numeric_limits<std::uint32_t>::max();

bool wide_before(const auto& posting, std::uint64_t chunk_id) { return posting.chunk_id < chunk_id; }

}  // namespace

bool Bm25Index::PostingList::contains(std::uint64_t chunk_id) const noexcept {
    if (chunk_id <= max_narrow_id) {
        const std::size_t at = narrow_find(static_cast<std::uint32_t>(chunk_id));
        return at < narrow_size_ && ids()[at] == chunk_id;
    }
    if (rare_ == nullptr) return false;
    auto at = std::lower_bound(rare_->wide.begin(), rare_->wide.end(), chunk_id, wide_before<Posting>);
    return at != rare_->wide.end() && at->chunk_id == chunk_id;
}

void Bm25Index::PostingList::grow_narrow(std::size_t capacity) {
    auto data = std::make_unique_for_overwrite<std::uint32_t[]>(2 * capacity);
    if (narrow_size_ > 0) {
        std::copy_n(ids(), narrow_size_, data.get());
        std::copy_n(frequencies(), narrow_size_, data.get() + capacity);
    }
    data_ = std::move(data);
    capacity_ = capacity;
}

void Bm25Index::PostingList::reserve_narrow(std::size_t capacity) {
    if (capacity > capacity_) grow_narrow(capacity);
}

void Bm25Index::PostingList::insert(std::uint64_t chunk_id, std::size_t frequency) {
    if (chunk_id > max_narrow_id) {
        if (rare_ == nullptr) rare_ = std::make_unique<Rare>();
        auto& wide = rare_->wide;
        wide.insert(std::lower_bound(wide.begin(), wide.end(), chunk_id, wide_before<Posting>),
                    Posting{chunk_id, frequency});
        return;
    }
    const auto id = static_cast<std::uint32_t>(chunk_id);
    const bool large = frequency >= large_frequency;
    if (large) {
        if (rare_ == nullptr) rare_ = std::make_unique<Rare>();
        rare_->frequencies[id] = frequency;
    }
    // By half again: less room left over than doubling, for few more copies.
    if (narrow_size_ == capacity_) grow_narrow(std::max<std::size_t>(3, capacity_ + capacity_ / 2));
    std::uint32_t* const id_of = data_.get();
    std::uint32_t* const frequency_of = id_of + capacity_;
    const std::size_t at = narrow_size_ == 0 || id_of[narrow_size_ - 1] < id ? narrow_size_ : narrow_find(id);
    std::copy_backward(id_of + at, id_of + narrow_size_, id_of + narrow_size_ + 1);
    std::copy_backward(frequency_of + at, frequency_of + narrow_size_, frequency_of + narrow_size_ + 1);
    id_of[at] = id;
    frequency_of[at] = large ? large_frequency : static_cast<std::uint32_t>(frequency);
    ++narrow_size_;
}

void Bm25Index::PostingList::erase(std::uint64_t chunk_id) noexcept {
    if (chunk_id > max_narrow_id) {
        if (rare_ == nullptr) return;
        auto& wide = rare_->wide;
        auto at = std::lower_bound(wide.begin(), wide.end(), chunk_id, wide_before<Posting>);
        if (at != wide.end() && at->chunk_id == chunk_id) wide.erase(at);
        return;
    }
    const auto id = static_cast<std::uint32_t>(chunk_id);
    const std::size_t at = narrow_find(id);
    if (at == narrow_size_ || ids()[at] != id) return;
    std::uint32_t* const id_of = data_.get();
    std::uint32_t* const frequency_of = id_of + capacity_;
    if (frequency_of[at] == large_frequency) rare_->frequencies.erase(id);
    std::copy(id_of + at + 1, id_of + narrow_size_, id_of + at);
    std::copy(frequency_of + at + 1, frequency_of + narrow_size_, frequency_of + at);
    --narrow_size_;
}

// ---------------------------------------------------------------------------------
// Chunk states

Bm25Index::ChunkState Bm25Index::ChunkStates::unpack(std::size_t dense_id) const noexcept {
    const std::uint32_t word = dense_[dense_id];
    const std::uint32_t length = word >> length_shift;
    return ChunkState{length == long_length ? long_lengths_.find(dense_id)->second : length, (word & active) != 0,
                      (word & has_length) != 0};
}

void Bm25Index::ChunkStates::store(std::size_t dense_id, const ChunkState& state) {
    const bool long_one = state.length >= long_length;
    if (long_one) {
        long_lengths_[dense_id] = state.length;
    } else if ((dense_[dense_id] >> length_shift) == long_length) {
        long_lengths_.erase(dense_id);
    }
    const auto length = long_one ? long_length : static_cast<std::uint32_t>(state.length);
    dense_[dense_id] = present | (state.active ? active : 0) | (state.has_length ? has_length : 0) |
                       (length << length_shift);
    const bool scored = state.active && state.has_length;
    scored_lengths_[dense_id] = scored ? static_cast<float>(state.length) : -1.0f;
}

std::optional<Bm25Index::ChunkState> Bm25Index::ChunkStates::find(std::uint64_t chunk_id) const noexcept {
    if (chunk_id < dense_.size() && (dense_[chunk_id] & present) != 0) return unpack(chunk_id);
    // The array may have grown past an id the map took when it was far beyond it.
    if (sparse_.empty()) return std::nullopt;
    auto found = sparse_.find(chunk_id);
    if (found == sparse_.end()) return std::nullopt;
    return found->second;
}

void Bm25Index::ChunkStates::set(std::uint64_t chunk_id, ChunkState state) {
    if (chunk_id < dense_.size() && (dense_[chunk_id] & present) != 0) {
        store(chunk_id, state);
        return;
    }
    if (auto found = sparse_.find(chunk_id); found != sparse_.end()) {
        found->second = state;
        return;
    }
    // Generous for counters, bounded for hostile ids.
    const std::uint64_t dense_limit = saturating_add(saturating_mul(size_, 4), std::uint64_t{1} << 20);
    if (chunk_id < dense_limit) {
        if (chunk_id >= dense_.size()) {
            const std::size_t wanted = static_cast<std::size_t>(chunk_id) + 1;
            if (wanted > dense_.capacity()) {
                dense_.reserve(std::max(wanted, dense_.capacity() * 2));
                scored_lengths_.reserve(dense_.capacity());
            }
            dense_.resize(wanted, 0);
            scored_lengths_.resize(wanted, -1.0f);
        }
        store(chunk_id, state);
    } else {
        sparse_.emplace(chunk_id, state);
    }
    ++size_;
}

void Bm25Index::ChunkStates::add_if_absent(std::uint64_t chunk_id, ChunkState state) {
    if (!find(chunk_id).has_value()) set(chunk_id, state);
}

void Bm25Index::ChunkStates::erase(std::uint64_t chunk_id) noexcept {
    if (chunk_id < dense_.size() && (dense_[chunk_id] & present) != 0) {
        if ((dense_[chunk_id] >> length_shift) == long_length) long_lengths_.erase(chunk_id);
        dense_[chunk_id] = 0;
        scored_lengths_[chunk_id] = -1.0f;
        --size_;
    } else if (sparse_.erase(chunk_id) > 0) {
        --size_;
    }
}

// ---------------------------------------------------------------------------------
// Changes

void Bm25Index::remove_postings(std::uint64_t chunk_id) {
    for (auto term = terms_.begin(); term != terms_.end();) {
        auto& postings = term->second.postings;
        postings.erase(chunk_id);
        term = postings.empty() ? terms_.erase(term) : std::next(term);
    }
}

void Bm25Index::add_chunk(std::uint64_t chunk_id, std::string_view text, bool active) {
    ++epoch_;
    if (chunks_.find(chunk_id).has_value()) {
        // Re-adding replaces everything the chunk had; this path is rare.
        deactivate_terms(chunk_id, nullptr);
        chunks_.erase(chunk_id);
        remove_postings(chunk_id);
    }
    std::vector<std::string> tokens = tokenize(text, config_.stop_words);
    const std::size_t length = tokens.size();
    for (auto& [term, count] : count_terms(std::move(tokens))) {
        auto found = terms_.find(std::string_view(term));
        if (found == terms_.end()) found = terms_.emplace(std::move(term), TermPostings{}).first;
        found->second.postings.insert(chunk_id, count);
        if (active) ++found->second.active_count;
    }
    chunks_.set(chunk_id, ChunkState{length, active});
    if (active) {
        ++active_count_;
        total_length_ += length;
    }
}

void Bm25Index::deactivate_terms(std::uint64_t chunk_id, const std::vector<std::string>* tokens) {
    const std::optional<ChunkState> found = chunks_.find(chunk_id);
    if (!found.has_value() || !found->active) return;
    ++epoch_;
    ChunkState state = *found;
    state.active = false;
    chunks_.set(chunk_id, state);
    --active_count_;
    if (state.has_length) total_length_ -= std::min(total_length_, state.length);
    auto drop = [&](TermPostings& term) {
        if (term.active_count > 0 && term.postings.contains(chunk_id)) --term.active_count;
    };
    if (tokens == nullptr) {
        for (auto& [text, term] : terms_) drop(term);
        return;
    }
    for (const auto& [text, count] : count_terms(*tokens)) {
        if (auto term = terms_.find(std::string_view(text)); term != terms_.end()) drop(term->second);
    }
}

void Bm25Index::deactivate_chunk(std::uint64_t chunk_id) { deactivate_terms(chunk_id, nullptr); }

void Bm25Index::deactivate_chunk(std::uint64_t chunk_id, std::string_view text) {
    const std::vector<std::string> tokens = tokenize(text, config_.stop_words);
    deactivate_terms(chunk_id, &tokens);
}

std::vector<Bm25Hit> Bm25Index::search_with_limit(std::string_view query, bool apply_limit, std::size_t limit,
                                                  const std::unordered_set<std::uint64_t>* candidates) const {
    if (candidates == nullptr) {
        return search_where(query, apply_limit, limit, [](std::uint64_t) { return true; });
    }
    if (candidates->empty()) return {};
    return search_where(query, apply_limit, limit, [&](std::uint64_t id) { return candidates->contains(id); });
}

std::vector<Bm25Hit> Bm25Index::search_with_limit(std::string_view query, bool apply_limit, std::size_t limit,
                                                  CandidateTest candidates) const {
    return search_where(query, apply_limit, limit,
                        [&](std::uint64_t id) { return candidates.allows(candidates.context, id); });
}

namespace {

// Term at a time into accumulators indexed by chunk id: a tight loop per impact
// list. The accumulators belong to the thread (searches run concurrently) and only
// the touched entries are cleared afterwards.
// `each_impact(c, visit)` hands term c's (chunk id, impact) pairs to `visit`.
template <typename EachImpact, typename Allowed, typename Keep, typename Scored>
void add_up(std::size_t term_count, EachImpact& each_impact, std::size_t chunk_slots, Allowed& allowed, Keep& keep,
            std::vector<Scored>& scored, bool apply_limit, std::size_t limit) {
    struct Sum {
        float score;
        std::uint32_t terms;  // bit c: term c matched
    };
    thread_local std::vector<Sum> thread_sums;
    thread_local std::vector<std::uint32_t> thread_touched;
    // Plain locals: through the thread-local vectors every iteration would look
    // the thread's storage up again and reload what the stores might alias.
    std::vector<Sum>& sums = thread_sums;
    std::vector<std::uint32_t>& touched = thread_touched;
    if (sums.size() < chunk_slots) sums.assign(chunk_slots, Sum{0.0f, 0});
    touched.clear();
    // The sums must be all zero when the next search on this thread starts, even
    // if this one ends by an exception (memory exhaustion while collecting).
    struct ClearOnUnwind {
        std::vector<Sum>& sums;
        std::vector<std::uint32_t>& touched;
        bool finished = false;
        ~ClearOnUnwind() {
            if (finished) return;
            for (std::uint32_t chunk_id : touched) sums[chunk_id] = Sum{0.0f, 0};
            touched.clear();
        }
    } clear_on_unwind{sums, touched};
    Sum* const sum_of = sums.data();
    for (std::size_t c = 0; c < term_count; ++c) {
        const std::uint32_t bit = std::uint32_t{1} << c;
        each_impact(c, [&](std::uint32_t chunk_id, float impact) {
            if (!allowed(chunk_id)) return;
            Sum& sum = sum_of[chunk_id];
            if (sum.terms == 0) touched.push_back(chunk_id);  // first, so a throw leaves no stray sum
            sum.score = impact + sum.score;
            sum.terms |= bit;
        });
    }
    // Once the heap is full, most sums fall below its worst entry: one key
    // comparison settles them (equal keys still go by chunk id in `keep`).
    std::int32_t entry_key = std::numeric_limits<std::int32_t>::min();
    for (std::uint32_t chunk_id : touched) {
        Sum& sum = sum_of[chunk_id];
        if (f32_total_order_key(sum.score) >= entry_key) {
            keep(Scored{chunk_id, sum.score, 0, 0, sum.terms});
            if (apply_limit && limit > 0 && scored.size() == limit) entry_key = f32_total_order_key(scored.front().score);
        }
        sum = Sum{0.0f, 0};
    }
    clear_on_unwind.finished = true;  // collecting cleared every sum it read
}

// Top `limit` (> 0) by walking the impact lists together in ascending chunk id,
// skipping what cannot enter: with every impact +0 or more, a chunk's f32 score is
// at most the sum of its terms' largest impacts (f32 addition never decreases when
// an addend grows), and a chunk reached later loses a tie to every hit held, which
// all have smaller ids. So once `limit` hits are held, a chunk whose bound is at
// most the worst of them is skipped: whole blocks of impacts by their maxima, the
// lists whose maxima together stay below that worst (they only complete scores
// found through the others), and single chunks as their partial sums grow.
template <typename Cache, typename Allowed, typename Keep, typename Scored>
void top_k_by_bounds(const std::vector<const Cache*>& caches, Allowed& allowed, Keep& keep,
                     std::vector<Scored>& scored, std::size_t limit) {
    constexpr std::size_t block_size = Cache::block_size;
    constexpr std::uint64_t end_id = std::numeric_limits<std::uint64_t>::max();
    struct Cursor {
        const std::uint32_t* ids;
        const float* impacts;
        const typename Cache::Block* blocks;
        std::size_t at;
        std::size_t size;
        float max_impact;
        std::uint32_t c;  // index into caches: the term's place in query-term order

        std::uint64_t id() const noexcept { return at < size ? ids[at] : end_id; }
        // To the first entry at or past `target`, over whole blocks first.
        void advance_to(std::uint64_t target) noexcept {
            if (at >= size || ids[at] >= target) return;
            std::size_t block = at / block_size;
            if (blocks[block].last_id < target) {
                const std::size_t block_count = (size + block_size - 1) / block_size;
                do {
                    ++block;
                } while (block < block_count && blocks[block].last_id < target);
                if (block == block_count) {
                    at = size;
                    return;
                }
                at = block * block_size;
            }
            const std::uint32_t* block_end = ids + std::min(size, (block + 1) * block_size);
            at = static_cast<std::size_t>(std::lower_bound(ids + at, block_end, target) - ids);
        }
    };
    std::vector<Cursor> cursors;  // by largest impact, ascending
    for (std::uint32_t c = 0; c < caches.size(); ++c) {
        const Cache& cache = *caches[c];
        if (cache.size == 0) continue;
        cursors.push_back(Cursor{cache.ids.get(), cache.impacts.get(), cache.blocks.get(), 0, cache.size,
                                 cache.max_impact, c});
    }
    std::sort(cursors.begin(), cursors.end(),
              [](const Cursor& x, const Cursor& y) { return x.max_impact < y.max_impact; });
    const std::size_t n = cursors.size();
    // Bounds add in double and are widened by far more than the rounding of up to
    // 32 f32 additions (and of the double sums themselves) could add.
    constexpr double widen = 1.0 + 1.0 / 65536.0;
    std::vector<double> below(n + 1, 0.0);  // below[i]: the largest impacts of cursors[0, i) summed
    for (std::size_t i = 0; i < n; ++i) below[i + 1] = below[i] + static_cast<double>(cursors[i].max_impact);
    bool full = false;
    double worst = 0.0;  // the worst score held, once `limit` are held
    auto cannot_enter = [&](double bound) { return full && bound * widen <= worst; };
    std::size_t essential = 0;  // cursors[0, essential) only complete scores
    std::array<float, 32> impact_of{};
    for (;;) {
        if (essential == n) break;
        std::uint64_t chunk_id = end_id;
        for (std::size_t i = essential; i < n; ++i) chunk_id = std::min(chunk_id, cursors[i].id());
        if (chunk_id == end_id) break;
        if (full) {
            // Up to the first end of a current block, no chunk can pass the sum of
            // the current blocks' maxima.
            double bound = below[essential];
            std::uint64_t range_end = end_id;
            for (std::size_t i = essential; i < n; ++i) {
                const Cursor& cursor = cursors[i];
                if (cursor.at >= cursor.size) continue;
                const auto& block = cursor.blocks[cursor.at / block_size];
                bound += static_cast<double>(block.max_impact);
                range_end = std::min<std::uint64_t>(range_end, block.last_id);
            }
            if (cannot_enter(bound)) {
                for (std::size_t i = essential; i < n; ++i) cursors[i].advance_to(range_end + 1);
                continue;
            }
        }
        std::uint32_t matched = 0;
        double partial = 0.0;
        for (std::size_t i = essential; i < n; ++i) {
            Cursor& cursor = cursors[i];
            if (cursor.id() != chunk_id) continue;
            const float impact = cursor.impacts[cursor.at];
            impact_of[cursor.c] = impact;
            matched |= std::uint32_t{1} << cursor.c;
            partial += static_cast<double>(impact);
            ++cursor.at;
        }
        if (cannot_enter(partial + below[essential]) || !allowed(chunk_id)) continue;
        bool out = false;
        for (std::size_t i = essential; i-- > 0;) {
            if (cannot_enter(partial + below[i + 1])) {
                out = true;
                break;
            }
            Cursor& cursor = cursors[i];
            cursor.advance_to(chunk_id);
            if (cursor.id() != chunk_id) continue;
            const float impact = cursor.impacts[cursor.at];
            impact_of[cursor.c] = impact;
            matched |= std::uint32_t{1} << cursor.c;
            partial += static_cast<double>(impact);
        }
        if (out) continue;
        float score = 0.0f;
        for (std::uint32_t bits = matched; bits != 0; bits &= bits - 1) {
            score = impact_of[static_cast<std::size_t>(std::countr_zero(bits))] + score;
        }
        if (!keep(Scored{chunk_id, score, 0, 0, matched})) continue;
        if (scored.size() == limit) {
            full = true;
            worst = static_cast<double>(scored.front().score);
            while (essential < n && cannot_enter(below[essential + 1])) ++essential;
        }
    }
}

}  // namespace

// The statistics a search scores with, and the formula in the one order of f32
// operations every way of scoring (and every cache) uses.
struct Bm25Index::Statistics {
    float n;
    float avgdl;
    float k1;
    float b;
    float one_minus_b;
    float k1_plus_one;

    float idf(std::size_t active_count) const noexcept {
        const float df = static_cast<float>(active_count);
        return std::log((((n - df) + 0.5f) / (df + 0.5f)) + 1.0f);
    }
    float contribution(float idf, float tf, float dl) const noexcept {
        float x = dl / avgdl;
        x = b * x;
        x = one_minus_b + x;
        x = k1 * x;
        x = x + tf;
        float y = k1_plus_one * tf;
        y = idf * y;
        return y / x;
    }
};

bool Bm25Index::impacts_fresh(const TermPostings& term) const noexcept {
    return term.cache.epoch.load(std::memory_order_acquire) == epoch_;
}

template <typename Visit>
bool Bm25Index::refresh_impacts(const TermPostings& term, const Statistics& statistics, Visit&& visit) const {
    ImpactCache& cache = term.cache;
    if (impacts_fresh(term)) return false;
    // Several searches may want the same stale term: one builds, the others wait.
    // Nobody reads a stale cache, since changes (which make caches stale) never
    // overlap searches.
    std::lock_guard lock(cache_locks_.of(&term));
    if (cache.epoch.load(std::memory_order_relaxed) == epoch_) return false;
    const std::size_t block_size = ImpactCache::block_size;
    const PostingList& postings = term.postings;
    const std::size_t narrow = postings.narrow_size();
    if (narrow > cache.capacity) {
        // Room for what the postings have room for, so the cache grows as seldom.
        const std::size_t capacity = postings.narrow_capacity();
        // Uninitialized: every entry read is written first.
        cache.ids = std::make_unique_for_overwrite<std::uint32_t[]>(capacity);
        cache.impacts = std::make_unique_for_overwrite<float[]>(capacity);
        cache.blocks = std::make_unique_for_overwrite<ImpactCache::Block[]>((capacity + block_size - 1) / block_size);
        cache.capacity = capacity;
    }
    // Locals, so that the stores below cannot make the compiler reload them.
    const Statistics local = statistics;
    const float idf = local.idf(term.active_count);
    const std::span<const float> lengths = chunks_.scored_lengths();
    const float* const length_of = lengths.data();
    const std::size_t known = lengths.size();
    const std::uint32_t* const posting_ids = postings.ids();
    const std::uint32_t* const frequencies = postings.frequencies();
    std::uint32_t* const ids = cache.ids.get();
    float* const impacts = cache.impacts.get();
    ImpactCache::Block* const blocks = cache.blocks.get();
    constexpr float none = -std::numeric_limits<float>::infinity();
    std::size_t size = 0;
    float block_max = none, max_impact = none;
    bool nonnegative = true;
    // Larger ids than the narrow ones name no chunk of the array.
    for (std::size_t k = 0; k < narrow; ++k) {
        const std::uint32_t chunk_id = posting_ids[k];
        if (chunk_id >= known) break;  // ascending: no known chunk follows
        const float dl = length_of[chunk_id];
        if (dl < 0.0f) continue;  // not scored
        const std::uint32_t frequency = frequencies[k];
        const float tf = frequency != PostingList::large_frequency ? static_cast<float>(frequency)
                                                                   : static_cast<float>(postings.frequency_at(k));
        const float impact = local.contribution(idf, tf, dl);
        visit(chunk_id, impact);
        nonnegative = nonnegative & (impact >= 0.0f) & !std::signbit(impact);
        block_max = std::max(block_max, impact);
        ids[size] = chunk_id;
        impacts[size] = impact;
        if (++size % block_size == 0) {
            blocks[size / block_size - 1] = ImpactCache::Block{chunk_id, block_max};
            max_impact = std::max(max_impact, block_max);
            block_max = none;
        }
    }
    if (size % block_size != 0) {
        blocks[size / block_size] = ImpactCache::Block{ids[size - 1], block_max};
        max_impact = std::max(max_impact, block_max);
    }
    cache.size = size;
    cache.max_impact = max_impact;
    cache.nonnegative = nonnegative;
    cache.epoch.store(epoch_, std::memory_order_release);
    return true;
}

template <typename Allowed>
std::vector<Bm25Hit> Bm25Index::search_where(std::string_view query, bool apply_limit, std::size_t limit,
                                             Allowed&& allowed) const {
    std::vector<std::string> query_terms;
    for (auto& [term, count] : count_terms(tokenize(query, config_.stop_words))) query_terms.push_back(std::move(term));
    if (query_terms.empty() || active_count_ == 0) return {};
    Statistics statistics{};
    statistics.n = static_cast<float>(active_count_);
    statistics.avgdl = static_cast<float>(total_length_) / statistics.n;
    if (statistics.avgdl == 0.0f) return {};
    statistics.k1 = config_.k1;
    statistics.b = config_.b;
    statistics.one_minus_b = 1.0f - config_.b;
    statistics.k1_plus_one = config_.k1 + 1.0f;

    // The query terms the index holds, in query-term order. Each chunk's score adds
    // its terms' contributions in this order, starting from 0; every way below keeps that.
    struct Term {
        const TermPostings* postings;
        float idf;
        std::uint32_t term;  // index into query_terms
    };
    std::vector<Term> terms;
    for (std::uint32_t t = 0; t < query_terms.size(); ++t) {
        auto found = terms_.find(std::string_view(query_terms[t]));
        if (found == terms_.end() || found->second.active_count == 0) continue;
        terms.push_back(Term{&found->second, statistics.idf(found->second.active_count), t});
    }

    struct Scored {
        std::uint64_t chunk_id;
        float score;
        std::uint64_t first_match;  // index into `matches`
        std::uint32_t match_count;
        std::uint32_t terms;  // bit c: terms[c] matched (the cached ways)
    };
    std::vector<std::uint32_t> matches;  // matched term indices, grouped per scored chunk
    std::vector<Scored> scored;
    // "Better" as the heap's less-than puts the worst hit held on top.
    auto better = [](const Scored& x, const Scored& y) {
        const auto kx = f32_total_order_key(x.score), ky = f32_total_order_key(y.score);
        if (kx != ky) return kx > ky;
        return x.chunk_id < y.chunk_id;
    };

    auto keep = [&](const Scored& hit) {
        if (!apply_limit) {
            scored.push_back(hit);
            return true;
        }
        if (scored.size() < limit) {
            scored.push_back(hit);
            std::push_heap(scored.begin(), scored.end(), better);
            return true;
        }
        if (limit > 0 && better(hit, scored.front())) {
            std::pop_heap(scored.begin(), scored.end(), better);
            scored.back() = hit;
            std::push_heap(scored.begin(), scored.end(), better);
            return true;
        }
        return false;
    };

    const std::span<const float> lengths = chunks_.scored_lengths();
    if (chunks_.all_dense() && terms.size() <= 32 && lengths.size() <= (std::uint64_t{1} << 32)) {
        if (apply_limit && limit == 0) return {};
        std::size_t fresh_postings = 0, stale_postings = 0;
        for (const Term& term : terms) {
            (impacts_fresh(*term.postings) ? fresh_postings : stale_postings) += term.postings->postings.size();
        }
        // Pruning pays when few hits are wanted; for many, adding everything up is
        // cheaper. Stale terms are built first when they are the smaller part (rare
        // words beside cached common ones); when they are most of the work (the
        // first search after a change), they are scored while being built, which
        // costs little more than scoring without caches.
        bool prune = apply_limit && limit <= 1000 && stale_postings <= fresh_postings;
        if (prune) {
            for (const Term& term : terms) {
                refresh_impacts(*term.postings, statistics, [](std::uint32_t, float) {});
                prune = prune && term.postings->cache.nonnegative;
            }
        }
        if (prune) {
            std::vector<const ImpactCache*> caches;
            caches.reserve(terms.size());
            for (const Term& term : terms) caches.push_back(&term.postings->cache);
            top_k_by_bounds(caches, allowed, keep, scored, limit);
        } else {
            auto each_impact = [&](std::size_t c, auto&& visit) {
                const TermPostings& term = *terms[c].postings;
                if (refresh_impacts(term, statistics, visit)) return;
                const ImpactCache& cache = term.cache;
                const std::uint32_t* const ids = cache.ids.get();
                const float* const impacts = cache.impacts.get();
                for (std::size_t k = 0, size = cache.size; k < size; ++k) visit(ids[k], impacts[k]);
            };
            add_up(terms.size(), each_impact, lengths.size(), allowed, keep, scored, apply_limit, limit);
        }
        // Matched terms only for the hits kept, in query-term order.
        for (Scored& hit : scored) {
            hit.first_match = matches.size();
            for (std::uint32_t c = 0; c < terms.size(); ++c) {
                if ((hit.terms >> c & 1) != 0) matches.push_back(terms[c].term);
            }
            hit.match_count = static_cast<std::uint32_t>(matches.size() - hit.first_match);
        }
        terms.clear();  // the merge below has nothing left to do
    }

    // A merge of the posting lists, for ids far beyond the chunk count or more than
    // 32 terms, computing each contribution as it goes.
    struct Cursor {
        const PostingList* postings;
        std::size_t at;
        Posting posting;  // at `at`, when there is one
        float idf;
        std::uint32_t term;

        bool done() const noexcept { return at == postings->size(); }
        void next() noexcept {
            if (++at < postings->size()) posting = postings->at(at);
        }
    };
    std::vector<Cursor> cursors;
    for (const Term& term : terms) {
        const PostingList& postings = term.postings->postings;
        cursors.push_back(Cursor{&postings, 0, postings.empty() ? Posting{} : postings.at(0), term.idf, term.term});
    }
    for (;;) {
        std::uint64_t chunk_id = std::numeric_limits<std::uint64_t>::max();
        bool any = false;
        for (const Cursor& cursor : cursors) {
            if (!cursor.done() && (!any || cursor.posting.chunk_id < chunk_id)) {
                chunk_id = cursor.posting.chunk_id;
                any = true;
            }
        }
        if (!any) break;
        float score = 0.0f;
        std::uint32_t match_count = 0;
        const std::size_t first_match = matches.size();
        const std::optional<ChunkState> state = chunks_.find(chunk_id);
        const bool eligible = state.has_value() && state->active && state->has_length && allowed(chunk_id);
        const float dl = eligible ? static_cast<float>(state->length) : 0.0f;
        for (Cursor& cursor : cursors) {  // in query-term order
            if (cursor.done() || cursor.posting.chunk_id != chunk_id) continue;
            if (eligible) {
                score = statistics.contribution(cursor.idf, static_cast<float>(cursor.posting.term_frequency), dl) +
                        score;
                matches.push_back(cursor.term);
                ++match_count;
            }
            cursor.next();
        }
        if (match_count == 0) continue;
        if (!keep(Scored{chunk_id, score, first_match, match_count, 0})) matches.resize(first_match);  // forget its terms
    }
    std::sort(scored.begin(), scored.end(), better);
    std::vector<Bm25Hit> hits;
    hits.reserve(scored.size());
    for (const Scored& s : scored) {
        Bm25Hit hit{s.chunk_id, s.score, {}};
        hit.matched_terms.reserve(s.match_count);
        for (std::uint32_t k = 0; k < s.match_count; ++k) {
            hit.matched_terms.push_back(query_terms[matches[s.first_match + k]]);
        }
        hits.push_back(std::move(hit));
    }
    return hits;
}

PersistedBm25Index Bm25Index::to_persisted() const {
    PersistedBm25Index persisted;
    for (const auto& [text, term] : terms_) {
        auto& postings = persisted.postings[text];
        for (std::size_t k = 0; k < term.postings.size(); ++k) {
            const Posting posting = term.postings.at(k);
            postings.emplace(posting.chunk_id, posting.term_frequency);
        }
    }
    chunks_.for_each([&](std::uint64_t chunk_id, const ChunkState& state) {
        if (state.has_length) persisted.chunk_lengths.emplace(chunk_id, state.length);
        if (state.active) persisted.active_chunks.insert(chunk_id);
    });
    return persisted;
}

Bm25Index Bm25Index::from_persisted(Bm25Config config, const PersistedBm25Index& persisted) {
    Bm25Index index(std::move(config));
    for (const auto& [chunk_id, length] : persisted.chunk_lengths) {
        const bool active = persisted.active_chunks.contains(chunk_id);
        index.chunks_.set(chunk_id, ChunkState{length, active});
        if (active) index.total_length_ += length;
    }
    for (std::uint64_t chunk_id : persisted.active_chunks) {
        index.chunks_.add_if_absent(chunk_id, ChunkState{0, true, false});
    }
    index.active_count_ = persisted.active_chunks.size();
    for (const auto& [text, postings] : persisted.postings) {
        if (postings.empty()) continue;
        TermPostings term;
        const auto narrow_end = postings.upper_bound(max_narrow_id);
        term.postings.reserve_narrow(static_cast<std::size_t>(std::distance(postings.begin(), narrow_end)));
        for (const auto& [chunk_id, frequency] : postings) {
            term.postings.insert(chunk_id, frequency);
            if (persisted.active_chunks.contains(chunk_id)) ++term.active_count;
        }
        index.terms_.emplace(text, std::move(term));
    }
    return index;
}

std::uint64_t Bm25Index::estimated_payload_bytes() const noexcept {
    std::uint64_t total = 0;
    for (const auto& [text, term] : terms_) {
        total = saturating_add(total, saturating_add(text.size(), saturating_add(16 * term.postings.size(), 8)));
    }
    std::uint64_t lengths = 0;
    chunks_.for_each([&](std::uint64_t, const ChunkState& state) { lengths += state.has_length ? 1 : 0; });
    total = saturating_add(total, saturating_mul(lengths, 16));
    return saturating_add(total, 8 * active_count_);
}

}  // namespace tessarin
