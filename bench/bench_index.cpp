// Exact vector search over N = 1,000,000 chunks of d = 384 (one thread): the index's
// search next to the raw int8 kernel scan of the same rows in the same run, f32 for
// comparison, a selective filter (1% of chunks) against the unfiltered search, and
// ingest speed. Usage: bench_index [N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <malloc.h>  // mallinfo2, malloc_trim
#include <random>
#include <vector>

#include "core/dot_i8.h"
#include "bench/timing.h"
#include "core/index.h"

using namespace tessarin;
using namespace bench;

namespace {

// Resident bytes of the process: untouched capacity of large arrays does not count.
std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const std::size_t d = 384;
    std::mt19937_64 rng(1);
    std::normal_distribution<float> normal;
    std::vector<float> vectors(n * d);
    for (float& x : vectors) x = normal(rng);
    std::vector<float> query(d);
    for (float& x : query) x = normal(rng);

    for (auto encoding : {VectorEncoding::I8ScalarQuantized, VectorEncoding::F32}) {
        malloc_trim(0);
        const std::size_t heap_before = mallinfo2().uordblks + mallinfo2().hblkhd;
        const std::size_t resident_before = resident_bytes();
        ExactVectorIndex index = ExactVectorIndex::try_with_config({d, VectorMetric::Cosine, encoding}).value();
        auto start = Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            Document document{"doc-" + std::to_string(i), "", {{"bucket", MetadataValue::integer(static_cast<std::int64_t>(i % 100))}}};
            std::vector<ChunkInput> chunks{ChunkInput{"chunk text", std::vector<float>(vectors.begin() + i * d, vectors.begin() + (i + 1) * d), {}}};
            index.upsert_document(document, chunks).value();
        }
        const double ingest_ms = ms_since(start);
        const std::size_t heap_after = mallinfo2().uordblks + mallinfo2().hblkhd;
        malloc_trim(0);
        const std::size_t resident_after = resident_bytes();
        const double search = median_ms(15, [&] { index.search_vector_candidates(query, 10, std::nullopt).value(); });
        Filter one_percent{filters::Equals{"bucket", MetadataValue::integer(7)}};
        const double filtered = median_ms(15, [&] { index.search_vector_candidates(query, 10, one_percent).value(); });
        std::printf("%-17s N=%zu d=%zu: search %.2f ms; 1%% filter %.3f ms (%.0fx faster); ingest %.0f chunks/s\n",
                    std::string(vector_encoding_name(encoding)).c_str(), n, d, search, filtered, search / filtered,
                    static_cast<double>(n) / ingest_ms * 1e3);
        if (encoding == VectorEncoding::I8ScalarQuantized) {
            const auto& store = std::get<EncodedVectorStore::I8ScalarQuantized>(index.retrieval().store.variant());
            const auto encoded = encode_query_embedding(VectorMetric::Cosine, encoding, query).value();
            const auto& codes = std::get<EncodedQuery::I8ScalarQuantized>(encoded.variant()).codes;
            std::vector<std::int32_t> dots(n);
            const DotI8Kernel& kernel = dot_i8_kernel();
            const double raw = median_ms(15, [&] {
                kernel.dot_rows(codes.data(), store.codes.data(), d, nullptr, 0, n, dots.data());
            });
            std::printf("  raw int8 kernel (%s) scan of the same rows: %.2f ms; search / raw = %.2f\n",
                        std::string(kernel.name).c_str(), raw, search / raw);
            const IndexSizeEstimate estimate = index.size_estimate();
            const double per = 1.0 / static_cast<double>(n);
            std::printf("  size estimate per chunk: %.0f bytes total, %.0f beyond the row, %.0f beyond the row, "
                        "texts and metadata\n",
                        static_cast<double>(estimate.total()) * per,
                        static_cast<double>(estimate.total() - estimate.vectors) * per,
                        static_cast<double>(estimate.total() - estimate.vectors - estimate.texts - estimate.metadata) *
                            per);
            std::printf("    ids %.0f, document ids %.0f, texts %.0f, metadata %.0f, tombstones %.0f, generations %.0f, "
                        "offsets %.0f, bm25 %.0f, metadata index %.0f, records %.0f, identities %.0f\n",
                        static_cast<double>(estimate.chunk_ids) * per, static_cast<double>(estimate.document_ids) * per,
                        static_cast<double>(estimate.texts) * per, static_cast<double>(estimate.metadata) * per,
                        static_cast<double>(estimate.tombstone_flags) * per,
                        static_cast<double>(estimate.generations) * per, static_cast<double>(estimate.offsets) * per,
                        static_cast<double>(estimate.bm25) * per, static_cast<double>(estimate.metadata_index) * per,
                        static_cast<double>(estimate.records) * per,
                        static_cast<double>(estimate.chunk_identities) * per);
            // Rows as stored (capacity, not size: growth leaves slack) are the row cost.
            const double rows = static_cast<double>(store.codes.capacity() + store.scales.capacity() * sizeof(float));
            std::printf("  heap in use per chunk: %.0f bytes, %.0f beyond the rows' arrays (text %zu B, one metadata field)\n",
                        static_cast<double>(heap_after - heap_before) / static_cast<double>(n),
                        (static_cast<double>(heap_after - heap_before) - rows) / static_cast<double>(n),
                        std::string("chunk text").size());
            std::printf("  resident per chunk: %.0f bytes, %.0f beyond the rows\n",
                        static_cast<double>(resident_after - resident_before) / static_cast<double>(n),
                        (static_cast<double>(resident_after - resident_before) -
                         static_cast<double>(n * (d + sizeof(float)))) / static_cast<double>(n));
        }
    }

    // Documents of eight chunks with metadata of their own (a source name and a
    // page): the chunks of a document share its map.
    {
        malloc_trim(0);
        const std::size_t resident_before = resident_bytes();
        ExactVectorIndex index =
            ExactVectorIndex::try_with_config({d, VectorMetric::Cosine, VectorEncoding::I8ScalarQuantized}).value();
        for (std::size_t i = 0; i < n / 8; ++i) {
            Document document{"doc-" + std::to_string(i), "",
                              {{"source", MetadataValue::string("file-" + std::to_string(i) + ".md")},
                               {"page", MetadataValue::integer(static_cast<std::int64_t>(i % 300))}}};
            std::vector<ChunkInput> chunks;
            for (std::size_t j = 0; j < 8; ++j) {
                const std::size_t row = i * 8 + j;
                chunks.push_back(ChunkInput{"chunk text",
                                            std::vector<float>(vectors.begin() + row * d, vectors.begin() + (row + 1) * d),
                                            {}});
            }
            index.upsert_document(document, chunks).value();
        }
        malloc_trim(0);
        const std::size_t resident = resident_bytes() - resident_before;
        const IndexSizeEstimate estimate = index.size_estimate();
        const double chunks = static_cast<double>(index.total_chunk_count());
        std::printf("documents of 8 chunks with their own metadata, N=%zu: resident per chunk %.0f bytes, %.0f beyond "
                    "the rows, %.0f beyond rows, texts and metadata as estimated (%.0f + %.0f)\n",
                    index.total_chunk_count(), static_cast<double>(resident) / chunks,
                    (static_cast<double>(resident) - chunks * static_cast<double>(d + sizeof(float))) / chunks,
                    (static_cast<double>(resident) - chunks * static_cast<double>(d + sizeof(float)) -
                     static_cast<double>(estimate.texts + estimate.metadata)) / chunks,
                    static_cast<double>(estimate.texts) / chunks, static_cast<double>(estimate.metadata) / chunks);
    }
    return 0;
}
