// Reaches engine parts the package does not expose, for the Python benchmarks: the
// raw int8 kernel, so that bench_index_python.py can time a scan of the same size in
// the same run as searches through the Python API, and the tokenizer and BM25 index,
// so that bench_bm25_agreement.py can score the very same tokens with another
// implementation, and a BM25-only build so that compare_peers.py can time indexing
// without the embeddings an Index also takes. Built only with the benchmarks; never
// installed.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/bm25.h"
#include "core/dot_i8.h"

namespace nb = nanobind;

using Codes = nb::ndarray<const std::int8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Query = nb::ndarray<const std::int8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

NB_MODULE(_tessarin_bench, m) {
    m.def("kernel_name", [] { return std::string(tessarin::dot_i8_kernel().name); });
    // Dot products of `query` with every row of `codes`, the lock released as the
    // index's search does; returns the largest so the work cannot be dropped.
    m.def("scan_int8", [](Codes codes, Query query) {
        const std::size_t rows = codes.shape(0), n = codes.shape(1);
        if (query.shape(0) != n) throw std::invalid_argument("query and rows differ in length");
        std::vector<std::int32_t> dots(rows);
        {
            nb::gil_scoped_release unlocked;
            tessarin::dot_i8_kernel().dot_rows(query.data(), codes.data(), n, nullptr, 0, rows, dots.data());
        }
        std::int32_t best = INT32_MIN;
        for (std::int32_t d : dots) best = d > best ? d : best;
        return best;
    });

    // The configuration every index is made with, so a comparison uses the real
    // parameters rather than copies of them.
    m.def("bm25_defaults", [] {
        const tessarin::Bm25Config config;
        nb::dict out;
        out["k1"] = config.k1;
        out["b"] = config.b;
        out["stop_words"] = std::vector<std::string>(config.stop_words.begin(), config.stop_words.end());
        return out;
    });
    m.def("tokenize", [](const std::string& text) {
        return tessarin::tokenize(text, tessarin::Bm25Config{}.stop_words);
    });
    // One index over `texts` (chunk id = position, all active), then (chunk id, score)
    // best first for each query; `limit` None returns every matching chunk.
    m.def(
        "bm25_search",
        [](const std::vector<std::string>& texts, const std::vector<std::string>& queries,
           std::optional<std::size_t> limit) {
            std::vector<std::vector<std::pair<std::uint64_t, float>>> results(queries.size());
            nb::gil_scoped_release unlocked;
            tessarin::Bm25Index index{tessarin::Bm25Config{}};
            for (std::size_t i = 0; i < texts.size(); ++i) index.add_chunk(i, texts[i], true);
            for (std::size_t q = 0; q < queries.size(); ++q) {
                const auto hits = index.search_with_limit(queries[q], limit.has_value(), limit.value_or(0), nullptr);
                results[q].reserve(hits.size());
                for (const auto& hit : hits) results[q].emplace_back(hit.chunk_id, hit.score);
            }
            return results;
        },
        nb::arg("texts"), nb::arg("queries"), nb::arg("limit").none());
    // Seconds to index `texts` (chunk id = position, all active), timed after the
    // Python strings are copied in: what the BM25 index itself costs, to set next to
    // an Index.add of the same texts, which also stores embeddings and records.
    m.def("bm25_build_seconds", [](const std::vector<std::string>& texts) {
        nb::gil_scoped_release unlocked;
        const auto start = std::chrono::steady_clock::now();
        tessarin::Bm25Index index{tessarin::Bm25Config{}};
        for (std::size_t i = 0; i < texts.size(); ++i) index.add_chunk(i, texts[i], true);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
}
