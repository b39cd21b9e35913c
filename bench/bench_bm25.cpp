// Tokenizer throughput (ASCII English and mixed Unicode) against a byte-scan
// baseline, BM25 indexing of N chunks (default 100,000) of about 100
// Zipf-distributed words, and query latency for 1-, 3- and 8-term queries with
// limit 10: of mid-frequency words, of the peer comparison's mix (half by corpus
// frequency, half uniform over the vocabulary), and right after a change (one
// chunk added before each query, so nothing derived from the old statistics holds).
// Then the index's memory: heap bytes in use (malloc's count) and resident bytes,
// per chunk and per posting, right after indexing and once every term has been
// searched (which builds every term's cached impacts).
//   bench_bm25 [N]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>
#include <cstdlib>
#include <malloc.h>
#include <unistd.h>

#include "core/bm25.h"

using namespace tessarin;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<std::string> vocabulary(std::size_t size, bool unicode, std::mt19937_64& rng) {
    static const char* syllables[] = {"ka", "to", "ri", "me", "su", "la", "no", "pe", "di", "vo"};
    static const char* accents[] = {"\xC3\xA9", "\xC3\xB6", "\xC3\xA7", "\xCE\xB1", "\xD0\xB4", "\xE4\xB8\xAD"};
    std::vector<std::string> words;
    for (std::size_t i = 0; i < size; ++i) {
        std::string word;
        for (std::size_t s = 0, n = 1 + rng() % 4; s < n; ++s) word += syllables[rng() % 10];
        if (unicode && rng() % 3 == 0) word += accents[rng() % 6];
        if (rng() % 10 == 0) word[0] = static_cast<char>(word[0] - 'a' + 'A');
        words.push_back(word);
    }
    return words;
}

std::string zipf_text(const std::vector<std::string>& words, const std::vector<double>& cumulative, std::size_t count,
                      std::mt19937_64& rng) {
    std::uniform_real_distribution<double> uniform(0.0, cumulative.back());
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const auto at = std::lower_bound(cumulative.begin(), cumulative.end(), uniform(rng)) - cumulative.begin();
        text += words[static_cast<std::size_t>(at)];
        text += i % 12 == 11 ? ". " : (i % 5 == 4 ? ", " : " ");
    }
    return text;
}

// Bytes the program has allocated and not freed.
double heap_bytes() { return static_cast<double>(mallinfo2().uordblks); }

double resident_bytes() {
    unsigned long long size = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%llu %llu", &size, &resident) != 2) resident = 0;
        std::fclose(statm);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

void report(const char* what, std::size_t terms, std::vector<double> times, std::size_t hits) {
    std::sort(times.begin(), times.end());
    std::printf("query %zu term(s), limit 10, %s: median %.3f ms, p90 %.3f ms (%zu hits)\n", terms, what,
                times[times.size() / 2], times[times.size() * 9 / 10], hits);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t chunk_count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
    std::mt19937_64 rng(7);
    std::vector<double> cumulative;
    const std::size_t vocabulary_size = 50000;
    double sum = 0;
    for (std::size_t r = 1; r <= vocabulary_size; ++r) cumulative.push_back(sum += 1.0 / static_cast<double>(r));

    for (bool unicode : {false, true}) {
        const auto words = vocabulary(vocabulary_size, unicode, rng);
        const std::string text = zipf_text(words, cumulative, 2'000'000, rng);
        std::size_t tokens = 0;
        double best = 1e9;
        for (int repeat = 0; repeat < 3; ++repeat) {
            const auto start = Clock::now();
            tokens = tokenize(text, {}).size();
            best = std::min(best, seconds_since(start));
        }
        auto start = Clock::now();
        std::size_t spaces = static_cast<std::size_t>(std::count(text.begin(), text.end(), ' '));
        const double scan = seconds_since(start);
        std::printf("tokenize %-7s: %7.1f MB/s (%zu tokens; byte-scan baseline %.0f MB/s, %zu spaces)\n",
                    unicode ? "unicode" : "ascii", static_cast<double>(text.size()) / 1e6 / best, tokens,
                    static_cast<double>(text.size()) / 1e6 / scan, spaces);
    }

    const auto words = vocabulary(vocabulary_size, false, rng);
    std::vector<std::string> chunks;
    for (std::size_t i = 0; i < chunk_count; ++i) chunks.push_back(zipf_text(words, cumulative, 100, rng));
    std::size_t postings = 0;  // distinct terms per chunk, summed
    for (const auto& chunk : chunks) {
        auto tokens = tokenize(chunk, {});
        std::sort(tokens.begin(), tokens.end());
        postings += static_cast<std::size_t>(std::unique(tokens.begin(), tokens.end()) - tokens.begin());
    }
    const double heap_before = heap_bytes(), resident_before = resident_bytes();
    Bm25Index index;
    auto start = Clock::now();
    for (std::size_t i = 0; i < chunks.size(); ++i) index.add_chunk(i, chunks[i], true);
    const double build = seconds_since(start);
    std::printf("index %zu chunks x 100 words: %.2f s (%.0f chunks/s), %zu terms\n", chunks.size(), build,
                static_cast<double>(chunks.size()) / build, index.term_count());

    auto report_memory = [&](const char* when) {
        const double heap = heap_bytes() - heap_before, resident = resident_bytes() - resident_before;
        const double n = static_cast<double>(chunks.size());
        std::printf("memory %s: heap %.0f B/chunk (%.1f B/posting), resident %.0f B/chunk; %.1f postings/chunk\n",
                    when, heap / n, heap / static_cast<double>(postings), resident / n,
                    static_cast<double>(postings) / n);
    };
    report_memory("after indexing");

    auto time_query = [&](const std::string& query, std::vector<double>& times) {
        start = Clock::now();
        const std::size_t found = index.search_with_limit(query, true, 10, nullptr).size();
        times.push_back(seconds_since(start) * 1e3);
        return found;
    };
    std::uniform_real_distribution<double> uniform(0.0, cumulative.back());
    auto by_frequency = [&] {
        return words[static_cast<std::size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), uniform(rng)) -
                                              cumulative.begin())];
    };
    for (std::size_t terms : {1, 3, 8}) {
        std::vector<double> times;
        std::size_t hits = 0;
        for (int q = 0; q < 200; ++q) {
            std::string query;
            // Mid-frequency words: ranks 1..200, as typical queries mix common and rarer words.
            for (std::size_t t = 0; t < terms; ++t) query += words[rng() % 200] + " ";
            hits += time_query(query, times);
        }
        report("ranks 1-200", terms, times, hits);
    }
    for (std::size_t terms : {1, 3, 8}) {
        std::vector<double> times;
        std::size_t hits = 0;
        for (int q = 0; q < 200; ++q) {
            std::string query;
            for (std::size_t t = 0; t < terms; ++t) query += (q % 2 == 0 ? by_frequency() : words[rng() % words.size()]) + " ";
            hits += time_query(query, times);
        }
        report("peer mix", terms, times, hits);
    }
    std::uint64_t next_id = chunks.size();
    for (std::size_t terms : {1, 3, 8}) {
        std::vector<double> times;
        std::size_t hits = 0;
        for (int q = 0; q < 100; ++q) {
            index.add_chunk(next_id++, chunks[rng() % chunks.size()], true);
            std::string query;
            for (std::size_t t = 0; t < terms; ++t) query += words[rng() % 200] + " ";
            hits += time_query(query, times);
        }
        report("after a change", terms, times, hits);
    }
    // The chunks added above are few; every term's impacts are built for the final statistics.
    for (const auto& word : words) index.search_with_limit(word, true, 10, nullptr);
    report_memory("with every term searched");
    return 0;
}
