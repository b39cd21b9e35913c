// Keyword search: the tokenizer shared by indexing and querying, and the BM25
// inverted index over chunk texts. Scores are f32 computed in a fixed order, so
// equal inputs give bit-identical scores; no hash-map order is ever visible in a
// result or in the persisted form.
#pragma once

#include <array>          // std::array
#include <atomic>         // std::atomic
#include <cstddef>        // std::size_t
#include <cstdint>        // std::uint64_t
#include <limits>         // std::numeric_limits
#include <map>            // std::map
#include <memory>         // std::unique_ptr
#include <mutex>          // std::mutex
#include <optional>       // std::optional
#include <set>            // std::set
#include <span>           // std::span
#include <string>         // std::string
#include <string_view>    // std::string_view
#include <unordered_map>  // std::unordered_map
#include <unordered_set>  // std::unordered_set
#include <vector>         // std::vector

namespace tessarin {

using StopWords = std::set<std::string, std::less<>>;

/// Words of `text` by the Unicode default word boundaries, keeping those with a
/// letter or number, each lower-cased as a whole (full mapping, final sigma), minus
/// stop words; in text order, duplicates kept.
std::vector<std::string> tokenize(std::string_view text, const StopWords& stop_words);

/// The kept word segments of `text` as byte ranges, before lower-casing (exposed
/// for the conformance tests of the segmentation).
std::vector<std::pair<std::size_t, std::size_t>> word_segments(std::string_view text);
/// The same through the general Unicode path only, whatever the text.
std::vector<std::pair<std::size_t, std::size_t>> word_segments_general(std::string_view text);

struct Bm25Config {
    StopWords stop_words;
    float k1 = 1.2f;
    float b = 0.75f;
    bool operator==(const Bm25Config&) const = default;
};

struct Bm25Hit {
    std::uint64_t chunk_id = 0;
    float score = 0.0f;
    std::vector<std::string> matched_terms;  ///< distinct query terms, ascending bytes
};

/// Higher score first by the IEEE total order, then the smaller chunk id.
bool compare_bm25_hits(const Bm25Hit& a, const Bm25Hit& b) noexcept;

/// The ordered form every save writes; equal indexes give equal forms.
struct PersistedBm25Index {
    std::map<std::string, std::map<std::uint64_t, std::size_t>> postings;
    std::map<std::uint64_t, std::size_t> chunk_lengths;
    std::set<std::uint64_t> active_chunks;
    bool operator==(const PersistedBm25Index&) const = default;
};

/// @brief Inverted index of chunk texts under chunk ids, scored with Okapi BM25.
/// Inactive chunks keep their postings until the owner rebuilds the index.
class Bm25Index {
public:
    explicit Bm25Index(Bm25Config config = {}) : config_(std::move(config)) {}

    /// Indexes (or re-indexes) one chunk; `active` false stores it without letting it count.
    void add_chunk(std::uint64_t chunk_id, std::string_view text, bool active);
    /// The chunk stops counting and scoring; unknown or inactive ids are ignored.
    void deactivate_chunk(std::uint64_t chunk_id);
    /// The same, finding the chunk's terms by tokenizing `text`, which must be the
    /// text the chunk was added with: avoids visiting every term of the index.
    void deactivate_chunk(std::uint64_t chunk_id, std::string_view text);

    /// Hits best first. With `apply_limit` at most `limit` hits; `candidates`, when
    /// given, restricts scoring to those chunk ids.
    std::vector<Bm25Hit> search_with_limit(std::string_view query, bool apply_limit, std::size_t limit,
                                           const std::unordered_set<std::uint64_t>* candidates) const;
    /// The same with the candidates given by a test on chunk ids (asked at most
    /// once per posting), for candidates kept in something other than a hash set.
    struct CandidateTest {
        const void* context;
        bool (*allows)(const void* context, std::uint64_t chunk_id);
    };
    std::vector<Bm25Hit> search_with_limit(std::string_view query, bool apply_limit, std::size_t limit,
                                           CandidateTest candidates) const;

    PersistedBm25Index to_persisted() const;
    static Bm25Index from_persisted(Bm25Config config, const PersistedBm25Index& persisted);

    const Bm25Config& config() const noexcept { return config_; }
    std::size_t active_chunk_count() const noexcept { return active_count_; }
    std::size_t total_length() const noexcept { return total_length_; }
    std::size_t term_count() const noexcept { return terms_.size(); }
    std::size_t chunk_length_count() const noexcept { return chunks_.size(); }
    /// Size estimate: per term its bytes + 16 per posting + 8, 16 per chunk length,
    /// 8 per active chunk.
    std::uint64_t estimated_payload_bytes() const noexcept;

private:
    struct Posting {
        std::uint64_t chunk_id;
        std::size_t term_frequency;
    };
    /// A term's postings, ascending by chunk id, in 8 bytes each for the ids the
    /// index hands out: ids up to 2^32 - 1 and their frequencies are two u32 arrays
    /// in one allocation (one per term, however short). Larger ids (only a caller
    /// or a persisted form names them) follow as full postings; a frequency that
    /// does not fit (a text of 4G words) is marked and kept in a map.
    class PostingList {
    public:
        static constexpr std::uint32_t large_frequency = std::numeric_limits<std::uint32_t>::max();

        PostingList() = default;
        PostingList(const PostingList& other);
        PostingList& operator=(const PostingList& other);
        PostingList(PostingList&&) noexcept = default;
        PostingList& operator=(PostingList&&) noexcept = default;

        std::size_t size() const noexcept { return narrow_size_ + (rare_ == nullptr ? 0 : rare_->wide.size()); }
        bool empty() const noexcept { return size() == 0; }
        /// The postings of ids up to 2^32 - 1, which come first.
        std::size_t narrow_size() const noexcept { return narrow_size_; }
        std::size_t narrow_capacity() const noexcept { return capacity_; }
        const std::uint32_t* ids() const noexcept { return data_.get(); }
        /// Beside `ids`; `large_frequency` marks one that `frequency_at` finds elsewhere.
        const std::uint32_t* frequencies() const noexcept { return data_.get() + capacity_; }
        std::size_t frequency_at(std::size_t k) const noexcept;  // k < narrow_size()
        Posting at(std::size_t k) const noexcept;                // k < size()
        bool contains(std::uint64_t chunk_id) const noexcept;
        /// Before any posting of the same id.
        void insert(std::uint64_t chunk_id, std::size_t frequency);
        /// The first posting of the id, if any.
        void erase(std::uint64_t chunk_id) noexcept;
        void reserve_narrow(std::size_t capacity);

    private:
        struct Rare {
            std::vector<Posting> wide;  // ids above 2^32 - 1, ascending
            std::unordered_map<std::uint32_t, std::size_t> frequencies;  // the marked ones, by chunk id
        };
        std::size_t narrow_find(std::uint32_t chunk_id) const noexcept;  // lower bound
        void grow_narrow(std::size_t capacity);

        std::unique_ptr<std::uint32_t[]> data_;  // ids[capacity_], then frequencies[capacity_]
        std::size_t narrow_size_ = 0;
        std::size_t capacity_ = 0;
        std::unique_ptr<Rare> rare_;
    };
    /// A term's share of the score of each chunk it can score, computed on the
    /// first search that needs it after the statistics changed, so that searches
    /// add stored numbers instead of evaluating the formula per posting. Only
    /// scored chunks (active, with a length, known to the array of chunk states)
    /// are in it, ascending by id; ids fit 32 bits because that array is bounded.
    /// The ids are a copy of the postings' own: a walk of the cache's arrays by id,
    /// which the bounded top k is, measured a few percent faster at 1M chunks than
    /// one of impacts kept beside the postings, for 4 bytes a cached posting.
    /// A copy or move starts stale: the owner's epoch names what it was built for.
    /// The storage is kept for the term's life, never released when the postings
    /// change: a term searched once tends to be searched again, and it takes no
    /// more than the postings have room for.
    struct ImpactCache {
        static constexpr std::size_t block_size = 64;
        struct Block {
            std::uint32_t last_id;  // of the block's last entry
            float max_impact;
        };
        std::atomic<std::uint64_t> epoch{0};  // 0: never built
        // Rebuilt in place after every change: storage that is never zero-filled,
        // and only ever grows.
        std::unique_ptr<std::uint32_t[]> ids;
        std::unique_ptr<float[]> impacts;
        std::unique_ptr<Block[]> blocks;  // one per block_size entries, the last maybe partial
        std::size_t size = 0;
        std::size_t capacity = 0;
        float max_impact = 0.0f;  // of all entries
        // Every impact is +0 or more (never NaN): sums of them then grow with each
        // addend, which is what lets a search bound a chunk's score by the maxima.
        bool nonnegative = true;

        ImpactCache() = default;
        ImpactCache(const ImpactCache&) noexcept {}
        ImpactCache& operator=(const ImpactCache&) noexcept {
            epoch.store(0, std::memory_order_relaxed);
            return *this;
        }
    };
    struct TermPostings {
        PostingList postings;
        std::size_t active_count = 0;
        mutable ImpactCache cache;
    };
    /// Searches share the index: a cache is built under one of these locks (chosen
    /// by term) and published through its epoch. Copies get locks of their own.
    struct CacheLocks {
        std::array<std::mutex, 16> locks;
        CacheLocks() = default;
        CacheLocks(const CacheLocks&) noexcept {}
        CacheLocks& operator=(const CacheLocks&) noexcept { return *this; }
        std::mutex& of(const void* term) noexcept {
            return locks[(reinterpret_cast<std::uintptr_t>(term) >> 6) % locks.size()];
        }
    };
    struct ChunkState {
        std::size_t length = 0;
        bool active = false;
        // False only for an active chunk a persisted form listed without a length:
        // it counts as active but is never scored and no length is invented for it.
        bool has_length = true;
    };
    /// Chunk id to state. Scoring looks a chunk up for every merged posting in
    /// ascending id order, so the ids the index hands out (a counter) live in an
    /// array read almost sequentially; ids far beyond the chunk count (only a
    /// persisted form can name them) go to a hash map so they cannot inflate it.
    /// The array takes 8 bytes a chunk: the state packed in 4 (a length too long
    /// for its 29 bits goes to a map) and the length as scoring reads it.
    class ChunkStates {
    public:
        std::optional<ChunkState> find(std::uint64_t chunk_id) const noexcept;
        /// Adds the chunk, or replaces its state.
        void set(std::uint64_t chunk_id, ChunkState state);
        /// Adds the chunk unless present.
        void add_if_absent(std::uint64_t chunk_id, ChunkState state);
        void erase(std::uint64_t chunk_id) noexcept;
        std::size_t size() const noexcept { return size_; }
        bool all_dense() const noexcept { return sparse_.empty(); }
        /// Visits every chunk, dense ids ascending first, then the others in no order.
        template <typename F>
        void for_each(F&& visit) const {
            for (std::size_t id = 0; id < dense_.size(); ++id) {
                if ((dense_[id] & present) != 0) visit(static_cast<std::uint64_t>(id), unpack(id));
            }
            for (const auto& [id, state] : sparse_) visit(id, state);
        }

        /// By chunk id, for the array part (with `all_dense`, every chunk): the length
        /// as the score uses it when the chunk is scored (active, with a length),
        /// else -1. Four bytes a chunk: scoring reads one per posting.
        std::span<const float> scored_lengths() const noexcept { return scored_lengths_; }

    private:
        static constexpr std::uint32_t present = 1, active = 2, has_length = 4;
        static constexpr int length_shift = 3;
        // A length field of this value: the length is in long_lengths_.
        static constexpr std::uint32_t long_length = std::numeric_limits<std::uint32_t>::max() >> length_shift;
        ChunkState unpack(std::size_t dense_id) const noexcept;
        void store(std::size_t dense_id, const ChunkState& state);

        std::vector<std::uint32_t> dense_;
        std::vector<float> scored_lengths_;  // beside dense_
        std::unordered_map<std::uint64_t, std::size_t> long_lengths_;  // of dense ids
        std::unordered_map<std::uint64_t, ChunkState> sparse_;
        std::size_t size_ = 0;
    };
    struct TermHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
    };

    template <typename Allowed>
    std::vector<Bm25Hit> search_where(std::string_view query, bool apply_limit, std::size_t limit,
                                      Allowed&& allowed) const;
    struct Statistics;
    bool impacts_fresh(const TermPostings& term) const noexcept;
    /// Builds the term's impacts for the current statistics unless they are fresh,
    /// handing each (chunk id, impact) to `visit` as it goes; false when fresh.
    template <typename Visit>
    bool refresh_impacts(const TermPostings& term, const Statistics& statistics, Visit&& visit) const;
    void deactivate_terms(std::uint64_t chunk_id, const std::vector<std::string>* tokens);
    void remove_postings(std::uint64_t chunk_id);

    Bm25Config config_;
    std::unordered_map<std::string, TermPostings, TermHash, std::equal_to<>> terms_;
    // Length and activity of every added chunk: one lookup per posting while scoring.
    ChunkStates chunks_;
    std::size_t active_count_ = 0;
    std::size_t total_length_ = 0;
    // Bumped by every change, so caches built before it are stale; starts above the
    // 0 of a cache never built.
    std::uint64_t epoch_ = 1;
    mutable CacheLocks cache_locks_;
};

}  // namespace tessarin
