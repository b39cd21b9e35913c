// Scan of one query over every stored row, per encoding, single thread, against a
// plain read of the same bytes measured in the same run. Also measures what the
// 16-bit paths lose to, and each int8 kernel variant on its own.
//
//   bench_vector_scan [rows=1000000] [dimension=384] [queries=15] [encoding name]
#include <simsimd/simsimd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/dot_i8.h"
#include "core/scoring.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using tessarin::EncodedQuery;
using tessarin::EncodedVectorStore;
using tessarin::VectorEncoding;

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Median seconds of `repeats` runs of fn.
double median_seconds(std::size_t repeats, const std::function<void()>& fn) {
    std::vector<double> times;
    for (std::size_t i = 0; i < repeats; ++i) {
        const double start = seconds_now();
        fn();
        times.push_back(seconds_now() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

volatile std::uint64_t sink_u64;
volatile float sink_f32;

// ---- Baseline: read every byte once ----------------------------------------------

std::uint64_t read_words(const std::uint8_t* p, std::size_t bytes) {
    const auto* w = reinterpret_cast<const std::uint64_t*>(p);
    const std::size_t n = bytes / 8;
    std::uint64_t a0 = 0, a1 = 0, a2 = 0, a3 = 0, a4 = 0, a5 = 0, a6 = 0, a7 = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        a0 += w[i];
        a1 += w[i + 1];
        a2 += w[i + 2];
        a3 += w[i + 3];
        a4 += w[i + 4];
        a5 += w[i + 5];
        a6 += w[i + 6];
        a7 += w[i + 7];
    }
    for (; i < n; ++i) a0 += w[i];
    return a0 + a1 + a2 + a3 + a4 + a5 + a6 + a7;
}

#if defined(__x86_64__)
__attribute__((target("avx512f"))) std::uint64_t read_avx512(const std::uint8_t* p, std::size_t bytes) {
    __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
    std::size_t i = 0;
    for (; i + 256 <= bytes; i += 256) {
        a0 = _mm512_add_epi64(a0, _mm512_loadu_si512(p + i));
        a1 = _mm512_add_epi64(a1, _mm512_loadu_si512(p + i + 64));
        a2 = _mm512_add_epi64(a2, _mm512_loadu_si512(p + i + 128));
        a3 = _mm512_add_epi64(a3, _mm512_loadu_si512(p + i + 192));
    }
    a0 = _mm512_add_epi64(_mm512_add_epi64(a0, a1), _mm512_add_epi64(a2, a3));
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, a0);
    std::uint64_t s = read_words(p + i, bytes - i);
    for (std::uint64_t lane : lanes) s += lane;
    return s;
}
#endif

struct Region {
    const std::uint8_t* data;
    std::size_t bytes;
};

// The best of the plain reads: the bandwidth one core gets from memory.
double baseline_seconds(const std::vector<Region>& regions, std::size_t repeats) {
    auto plain = [&] {
        std::uint64_t s = 0;
        for (const Region& r : regions) s += read_words(r.data, r.bytes);
        sink_u64 = s;
    };
    double best = median_seconds(repeats, plain);
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) {
        best = std::min(best, median_seconds(repeats, [&] {
                            std::uint64_t s = 0;
                            for (const Region& r : regions) s += read_avx512(r.data, r.bytes);
                            sink_u64 = s;
                        }));
    }
#endif
    return best;
}

// ---- Scans -------------------------------------------------------------------------

constexpr std::size_t kBlock = 1024;

// The building block a search uses: blocks of scores into a reused buffer, then a
// cheap consumer (here the maximum) over the buffer.
void scan_max(const EncodedVectorStore& store, const EncodedQuery& q, std::size_t rows, std::size_t d) {
    static float buffer[kBlock];
    float best = -1e30f;
    for (std::size_t first = 0; first < rows; first += kBlock) {
        const std::size_t count = std::min(kBlock, rows - first);
        if (!store.score_rows(q, first, d, std::span<float>(buffer, count))) std::abort();
        for (std::size_t i = 0; i < count; ++i) best = std::max(best, buffer[i]);
    }
    sink_f32 = best;
}

// The same with a best-10 collector: a small heap entered only by scores that beat
// its worst, as a search would do.
void scan_top10(const EncodedVectorStore& store, const EncodedQuery& q, std::size_t rows, std::size_t d) {
    static float buffer[kBlock];
    std::vector<std::pair<float, std::size_t>> heap;  // min-heap on score
    heap.reserve(10);
    auto worse = [](const auto& a, const auto& b) { return a.first > b.first; };
    for (std::size_t first = 0; first < rows; first += kBlock) {
        const std::size_t count = std::min(kBlock, rows - first);
        if (!store.score_rows(q, first, d, std::span<float>(buffer, count))) std::abort();
        for (std::size_t i = 0; i < count; ++i) {
            const float s = buffer[i];
            if (heap.size() < 10) {
                heap.emplace_back(s, first + i);
                std::push_heap(heap.begin(), heap.end(), worse);
            } else if (s > heap.front().first) {
                std::pop_heap(heap.begin(), heap.end(), worse);
                heap.back() = {s, first + i};
                std::push_heap(heap.begin(), heap.end(), worse);
            }
        }
    }
    sink_f32 = heap.front().first;
}

using DenseKernel = void (*)(const void*, const void*, simsimd_size_t, simsimd_distance_t*);

DenseKernel simsimd_kernel(simsimd_datatype_t type, simsimd_capability_t allowed,
                           simsimd_capability_t* used) {
    simsimd_kernel_punned_t kernel = nullptr;
    simsimd_find_kernel_punned(simsimd_metric_dot_k, type, simsimd_capabilities(), allowed, &kernel, used);
    return reinterpret_cast<DenseKernel>(reinterpret_cast<void (*)()>(kernel));
}

const char* capability_name(simsimd_capability_t c) {
    switch (c) {
        case simsimd_cap_serial_k:
            return "serial";
        case simsimd_cap_haswell_k:
            return "haswell";
        case simsimd_cap_skylake_k:
            return "skylake";
        case simsimd_cap_ice_k:
            return "ice";
        case simsimd_cap_genoa_k:
            return "genoa";
        case simsimd_cap_sapphire_k:
            return "sapphire";
        case simsimd_cap_turin_k:
            return "turin";
        case simsimd_cap_neon_k:
            return "neon";
        case simsimd_cap_neon_f16_k:
            return "neon_f16";
        case simsimd_cap_neon_bf16_k:
            return "neon_bf16";
        case simsimd_cap_sve_k:
            return "sve";
        default:
            return "other";
    }
}

// A raw loop over rows with one SimSIMD kernel call per row, optionally prefetching
// the row that lies `prefetch_bytes` ahead.
void raw_kernel_scan(DenseKernel kernel, const void* query, const std::uint8_t* rows, std::size_t row_bytes,
                     std::size_t count, std::size_t d, std::size_t prefetch_bytes) {
    float best = -1e30f;
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(rows + count * row_bytes);
    for (std::size_t r = 0; r < count; ++r) {
        if (prefetch_bytes) {
            const std::uintptr_t ahead =
                reinterpret_cast<std::uintptr_t>(rows + r * row_bytes) + prefetch_bytes;
            for (std::size_t line = 0; line < row_bytes && ahead + line < end; line += 64) {
                __builtin_prefetch(reinterpret_cast<const void*>(ahead + line));
            }
        }
        simsimd_distance_t result = 0;
        kernel(query, rows + r * row_bytes, d, &result);
        best = std::max(best, static_cast<float>(result));
    }
    sink_f32 = best;
}

// Each measurement alternates with the plain read of the same bytes, so both see the
// same machine (other processes, frequency) and their ratio is meaningful.
struct Measurement {
    double seconds;       // median time of the scan
    double base_seconds;  // median time of the plain read
    double ratio;         // median over pairs of base time / scan time
};

Measurement measure_against(const std::vector<Region>& regions, std::size_t repeats,
                            const std::function<void()>& fn) {
    std::vector<double> scan, base, ratio;
    for (std::size_t i = 0; i < repeats; ++i) {
        const double b = baseline_seconds(regions, 1);
        const double start = seconds_now();
        fn();
        const double t = seconds_now() - start;
        scan.push_back(t);
        base.push_back(b);
        ratio.push_back(b / t);
    }
    for (auto* v : {&scan, &base, &ratio}) std::sort(v->begin(), v->end());
    return {scan[repeats / 2], base[repeats / 2], ratio[repeats / 2]};
}

void print_header() {
    std::printf("%-46s %9s %8s %10s %8s\n", "scan", "ms/query", "GB/s", "base GB/s", "of base");
}

void print_row(const std::string& label, double bytes, const Measurement& m) {
    std::printf("%-46s %9.2f %8.1f %10.1f %7.0f%%\n", label.c_str(), m.seconds * 1e3, bytes / m.seconds / 1e9,
                bytes / m.base_seconds / 1e9, 100.0 * m.ratio);
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    const std::size_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 384;
    const std::size_t repeats = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 15;
    const std::string only = argc > 4 ? argv[4] : "";  // one encoding name, or all

    std::mt19937 rng(1);
    std::normal_distribution<float> normal;
    // A pool of distinct unit rows, pushed cyclically: content does not change speed.
    const std::size_t pool_size = 4096;
    std::vector<std::vector<float>> pool(pool_size, std::vector<float>(d));
    for (auto& row : pool) {
        for (auto& x : row) x = normal(rng);
        tessarin::scale_to_unit_length(row);
    }
    std::vector<float> query(d);
    for (auto& x : query) x = normal(rng);

    std::printf("rows %zu, dimension %zu, median of %zu queries; int8 kernel: %.*s\n", rows, d, repeats,
                static_cast<int>(tessarin::dot_i8_kernel().name.size()),
                tessarin::dot_i8_kernel().name.data());
    simsimd_capability_t used = simsimd_cap_serial_k;
    simsimd_kernel(simsimd_datatype_f32_k, simsimd_cap_any_k, &used);
    std::printf("SimSIMD picks: f32 %s", capability_name(used));
    simsimd_kernel(simsimd_datatype_f16_k, simsimd_cap_any_k, &used);
    std::printf(", f16 %s", capability_name(used));
    simsimd_kernel(simsimd_datatype_bf16_k, simsimd_cap_any_k, &used);
    std::printf(", bf16 %s\n\n", capability_name(used));
    print_header();

    for (VectorEncoding encoding : {VectorEncoding::I8ScalarQuantized, VectorEncoding::F32,
                                    VectorEncoding::F16, VectorEncoding::BF16}) {
        if (!only.empty() && only != tessarin::vector_encoding_name(encoding)) continue;
        EncodedVectorStore store = EncodedVectorStore::create(encoding).value();
        store.reserve_rows(rows, d);
        for (std::size_t r = 0; r < rows; ++r) store.push(pool[r % pool_size]);
        const EncodedQuery q =
            tessarin::encode_query_embedding(tessarin::VectorMetric::Cosine, encoding, query).value();

        std::vector<Region> regions;
        std::visit(
            [&](const auto& s) {
                using S = std::decay_t<decltype(s)>;
                if constexpr (std::is_same_v<S, EncodedVectorStore::I8ScalarQuantized>) {
                    regions.push_back(
                        {reinterpret_cast<const std::uint8_t*>(s.codes.data()), s.codes.size()});
                    regions.push_back(
                        {reinterpret_cast<const std::uint8_t*>(s.scales.data()), s.scales.size() * 4});
                } else if constexpr (std::is_same_v<S, EncodedVectorStore::F32>) {
                    regions.push_back(
                        {reinterpret_cast<const std::uint8_t*>(s.values.data()), s.values.size() * 4});
                } else {
                    regions.push_back(
                        {reinterpret_cast<const std::uint8_t*>(s.bits.data()), s.bits.size() * 2});
                }
            },
            store.variant());
        double bytes = 0;
        for (const Region& r : regions) bytes += static_cast<double>(r.bytes);
        const std::string name(tessarin::vector_encoding_name(encoding));
        auto run = [&](const std::string& label, const std::function<void()>& fn) {
            print_row(label, bytes, measure_against(regions, repeats, fn));
        };

        run(name + ": score_rows", [&] { scan_max(store, q, rows, d); });
        run(name + ": score_rows + best-10", [&] { scan_top10(store, q, rows, d); });

        if (encoding == VectorEncoding::I8ScalarQuantized) {
            const auto& s = std::get<EncodedVectorStore::I8ScalarQuantized>(store.variant());
            const auto& qc = std::get<EncodedQuery::I8ScalarQuantized>(q.variant()).codes;
            const std::vector<Region> codes_only = {regions[0]};
            std::vector<std::int32_t> dots(kBlock);
            for (const auto& kernel : tessarin::dot_i8_kernels()) {
                auto kernel_scan = [&](std::size_t count) {
                    for (std::size_t first = 0; first < count; first += kBlock) {
                        kernel.dot_rows(qc.data(), s.codes.data(), d, nullptr, first,
                                        std::min(kBlock, count - first), dots.data());
                    }
                    sink_u64 = static_cast<std::uint64_t>(dots[0]);
                };
                const std::string label = "  int8 kernel " + std::string(kernel.name);
                print_row(label + " (codes only)", static_cast<double>(s.codes.size()),
                          measure_against(codes_only, repeats, [&] { kernel_scan(rows); }));
                // 2048 rows stay in L2: the kernel's own speed, free of memory.
                const std::size_t hot = std::min<std::size_t>(2048, rows);
                print_row(label + " (cache-resident)", static_cast<double>(s.codes.size()),
                          measure_against(codes_only, repeats, [&] {
                              for (std::size_t rep = 0; rep < rows / hot; ++rep) kernel_scan(hot);
                          }));
            }
        } else {
            const simsimd_datatype_t type = encoding == VectorEncoding::F32   ? simsimd_datatype_f32_k
                                            : encoding == VectorEncoding::F16 ? simsimd_datatype_f16_k
                                                                              : simsimd_datatype_bf16_k;
            const std::size_t element = encoding == VectorEncoding::F32 ? 4 : 2;
            const void* qdata = std::visit(
                [](const auto& v) -> const void* {
                    using V = std::decay_t<decltype(v)>;
                    if constexpr (std::is_same_v<V, EncodedQuery::F32>)
                        return v.values.data();
                    else if constexpr (std::is_same_v<V, EncodedQuery::I8ScalarQuantized>)
                        return v.codes.data();
                    else
                        return v.bits.data();
                },
                q.variant());
            const std::uint8_t* base_rows = regions[0].data;
            const std::size_t row_bytes = d * element;

            // The dispatching entry point per row, as the plain arithmetic reads.
            using Generic = void (*)();
            const Generic generic =
                encoding == VectorEncoding::F32   ? reinterpret_cast<Generic>(&simsimd_dot_f32)
                : encoding == VectorEncoding::F16 ? reinterpret_cast<Generic>(&simsimd_dot_f16)
                                                  : reinterpret_cast<Generic>(&simsimd_dot_bf16);
            const DenseKernel entry = reinterpret_cast<DenseKernel>(generic);
            run("  SimSIMD entry point per row",
                [&] { raw_kernel_scan(entry, qdata, base_rows, row_bytes, rows, d, 0); });

            // Every kernel SimSIMD has for this type on this processor, alone, with
            // software prefetch, and cache-resident (compute bound).
            const simsimd_capability_t caps[] = {simsimd_cap_any_k,     simsimd_cap_sapphire_k,
                                                 simsimd_cap_genoa_k,   simsimd_cap_skylake_k,
                                                 simsimd_cap_haswell_k, simsimd_cap_serial_k};
            DenseKernel seen[8] = {};
            std::size_t seen_count = 0;
            for (simsimd_capability_t allowed : caps) {
                simsimd_capability_t picked = simsimd_cap_serial_k;
                const DenseKernel kernel = simsimd_kernel(
                    type, static_cast<simsimd_capability_t>(allowed | simsimd_cap_serial_k), &picked);
                if (!kernel || std::find(seen, seen + seen_count, kernel) != seen + seen_count) continue;
                seen[seen_count++] = kernel;
                if (picked == simsimd_cap_serial_k) continue;  // far too slow to matter
                const std::string label = std::string("  SimSIMD ") + capability_name(picked) + " kernel";
                run(label, [&] { raw_kernel_scan(kernel, qdata, base_rows, row_bytes, rows, d, 0); });
                for (std::size_t ahead : {std::size_t{1024}, std::size_t{2048}}) {
                    run(label + " + prefetch " + std::to_string(ahead) + " B",
                        [&] { raw_kernel_scan(kernel, qdata, base_rows, row_bytes, rows, d, ahead); });
                }
                const std::size_t hot = std::min<std::size_t>(1024, rows);
                run(label + " (cache-resident)", [&] {
                    for (std::size_t rep = 0; rep < rows / hot; ++rep) {
                        raw_kernel_scan(kernel, qdata, base_rows, row_bytes, hot, d, 0);
                    }
                });
            }
        }
        std::printf("\n");
    }
    return 0;
}
