// Hybrid search over N = 1,000,000 chunks of about 50 Zipf-distributed words with
// d = 384 int8 embeddings: a hybrid search (limit 10, 50 candidates per side,
// weights 0.6 / 0.4) timed next to its two halves alone, each query's three
// searches run back to back so they see the same machine; then keyword search
// latency for 1-, 3- and 8-term queries with limit 10, and with a filter that keeps
// 30% of the chunks. Usage: bench_hybrid [N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/timing.h"
#include "core/index.h"

using namespace tessarin;
using namespace bench;

namespace {

std::vector<std::string> vocabulary(std::size_t size, std::mt19937_64& rng) {
    static const char* syllables[] = {"ka", "to", "ri", "me", "su", "la", "no", "pe", "di", "vo"};
    std::vector<std::string> words;
    for (std::size_t i = 0; i < size; ++i) {
        std::string word;
        for (std::size_t s = 0, n = 2 + rng() % 3; s < n; ++s) word += syllables[rng() % 10];
        words.push_back(word);
    }
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const std::size_t d = 384;
    const std::size_t words_per_chunk = 50;
    std::mt19937_64 rng(11);
    const auto words = vocabulary(50'000, rng);
    std::vector<double> cumulative;
    double sum = 0;
    for (std::size_t r = 1; r <= words.size(); ++r) cumulative.push_back(sum += 1.0 / static_cast<double>(r));
    std::uniform_real_distribution<double> uniform(0.0, cumulative.back());
    auto zipf_word = [&]() -> const std::string& {
        return words[static_cast<std::size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), uniform(rng)) -
                                              cumulative.begin())];
    };
    std::normal_distribution<float> normal;

    ExactVectorIndex index =
        ExactVectorIndex::try_with_config({d, VectorMetric::Cosine, VectorEncoding::I8ScalarQuantized}).value();
    const auto build_start = Clock::now();
    std::vector<ChunkInput> chunks(1);
    chunks[0].embedding.resize(d);
    for (std::size_t i = 0; i < n; ++i) {
        std::string& text = chunks[0].text;
        text.clear();
        for (std::size_t w = 0; w < words_per_chunk; ++w) {
            text += zipf_word();
            text += w % 12 == 11 ? ". " : " ";
        }
        for (float& x : chunks[0].embedding) x = normal(rng);
        index.upsert_document(
                 Document{"doc-" + std::to_string(i), "",
                          {{"bucket", MetadataValue::integer(static_cast<std::int64_t>(i % 10))}}},
                 chunks)
            .value();
    }
    std::printf("built N=%zu d=%zu int8, %zu words per chunk: %.1f s\n", n, d, words_per_chunk,
                ms_since(build_start) / 1e3);

    // Queries mix common and rarer words: ranks below 1,000.
    auto query_text = [&](std::size_t terms) {
        std::string text;
        for (std::size_t t = 0; t < terms; ++t) text += words[rng() % 1000] + " ";
        return text;
    };
    const std::size_t queries = 25;
    std::vector<double> vector_ms, keyword_ms, hybrid_ms, ratios;
    for (std::size_t q = 0; q < queries; ++q) {
        std::vector<float> embedding(d);
        for (float& x : embedding) x = normal(rng);
        const std::string text = query_text(3);
        HybridQuery query{text, embedding, std::nullopt, 10, 50, 50, fusions::Weighted{0.6f, 0.4f}};
        const double v = time_ms([&] { index.search_vector_candidates(embedding, 50, std::nullopt).value(); });
        const double k = time_ms([&] { index.keyword_search_candidates(text, 50, std::nullopt).value(); });
        const double h = time_ms([&] { index.hybrid_search(query).value(); });
        vector_ms.push_back(v);
        keyword_ms.push_back(k);
        hybrid_ms.push_back(h);
        ratios.push_back(h / (v + k));
    }
    std::printf("hybrid (limit 10, 50 + 50 candidates, 3-term text), median of %zu queries:\n", queries);
    std::printf("  vector alone %.2f ms, keyword alone %.2f ms, hybrid %.2f ms; hybrid / (vector + keyword) = %.2f "
                "(median of per-query ratios)\n",
                percentile(vector_ms, 0.5), percentile(keyword_ms, 0.5), percentile(hybrid_ms, 0.5), percentile(ratios, 0.5));

    for (std::size_t terms : {1, 3, 8}) {
        std::vector<double> times;
        for (int q = 0; q < 100; ++q) {
            const std::string text = query_text(terms);
            times.push_back(time_ms([&] { index.keyword_search_candidates(text, 10, std::nullopt).value(); }));
        }
        std::printf("keyword search, %zu term(s), limit 10: median %.2f ms, p90 %.2f ms\n", terms, percentile(times, 0.5),
                    percentile(times, 0.9));
    }
    // A filter the metadata index narrows to 30% of the chunks.
    const Filter thirty{filters::In{"bucket", {MetadataValue::integer(0), MetadataValue::integer(1),
                                               MetadataValue::integer(2)}}};
    std::vector<double> plain, filtered;
    for (int q = 0; q < 50; ++q) {
        const std::string text = query_text(3);
        plain.push_back(time_ms([&] { index.keyword_search_candidates(text, 10, std::nullopt).value(); }));
        filtered.push_back(time_ms([&] { index.keyword_search_candidates(text, 10, thirty).value(); }));
    }
    std::printf("keyword search, 3 terms, limit 10, 30%% filter: median %.2f ms (unfiltered %.2f ms)\n",
                percentile(filtered, 0.5), percentile(plain, 0.5));
    return 0;
}
