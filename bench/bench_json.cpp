// Reading speed of record-batch-like JSON: an array of record batches, each a
// record and two chunks whose embeddings are arrays of 384 numbers, the shape the
// ingest path reads. Prints MB/s for the typed reader (element by element, and
// with its bulk float-array read) next to two baselines measured in the same run:
// simdjson's on-demand API walking the same text by hand with no checks beyond its
// own, and a plain byte scan.
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/record_store.h"

using namespace tessarin;

namespace {

std::string make_batch(std::size_t records, std::size_t dimension) {
    std::mt19937_64 rng(42);
    std::normal_distribution<float> normal;
    json::Writer writer;
    writer.begin_array();
    for (std::size_t r = 0; r < records; ++r) {
        writer.begin_object();
        writer.key("record");
        Record record;
        record.id = RecordId::from_trusted("doc-" + std::to_string(r));
        record.record_type = RecordType::from_trusted("Document");
        record.fields.emplace(FieldName::from_trusted("lang"), RecordValue::string("en"));
        record.fields.emplace(FieldName::from_trusted("year"), RecordValue::i64(2000 + static_cast<int>(r % 25)));
        record.content = "content of record " + std::to_string(r);
        write_json(writer, record);
        writer.key("chunks");
        writer.begin_array();
        for (int c = 0; c < 2; ++c) {
            writer.begin_object();
            writer.key("key");
            writer.string("ordinal-" + std::to_string(c));
            writer.key("text");
            writer.string("some chunk text about the record, a few words long");
            writer.key("embedding");
            writer.begin_array();
            // Embeddings as an application prints them: f32 values widened to double.
            for (std::size_t i = 0; i < dimension; ++i) writer.number(static_cast<double>(normal(rng)));
            writer.end_array();
            writer.end_object();
        }
        writer.end_array();
        writer.end_object();
    }
    writer.end_array();
    return std::move(writer).finish().value();
}

struct Chunk {
    std::string key, text;
    std::vector<float> embedding;
};

template <bool Bulk>
std::size_t read_batch(std::string_view text) {
    auto parsed = json::parse(text, [](json::Reader& reader) {
        std::size_t floats = 0;
        const json::Container batches = reader.begin_array();
        std::string_view key;
        while (reader.next_element(batches)) {
            const json::Container batch = reader.begin_object();
            while (reader.next_member(batch, key)) {
                if (key == "record") {
                    Record record = read_record(reader);
                    (void)record;
                } else if (key == "chunks") {
                    const json::Container chunks = reader.begin_array();
                    while (reader.next_element(chunks)) {
                        Chunk chunk;
                        const json::Container object = reader.begin_object();
                        while (reader.next_member(object, key)) {
                            if (key == "embedding") {
                                if constexpr (Bulk) {
                                    reader.read_f32_array(chunk.embedding);
                                } else {
                                    const json::Container numbers = reader.begin_array();
                                    while (reader.next_element(numbers)) {
                                        chunk.embedding.push_back(static_cast<float>(reader.read_f64()));
                                    }
                                }
                            } else if (key == "key") {
                                chunk.key = reader.read_string();
                            } else if (key == "text") {
                                chunk.text = reader.read_string();
                            }
                        }
                        floats += chunk.embedding.size();
                    }
                }
            }
        }
        return floats;
    });
    return parsed ? parsed.value() : 0;
}

// The same walk straight on simdjson: what the library itself costs.
std::size_t read_batch_simdjson(const std::string& text) {
    namespace od = simdjson::ondemand;
    simdjson::padded_string padded(text);
    od::parser parser;
    od::document document;
    if (parser.iterate(padded).get(document)) return 0;
    std::size_t floats = 0;
    od::array batches;
    if (document.get_array().get(batches)) return 0;
    for (auto batch_result : batches) {
        od::object batch;
        if (batch_result.get_object().get(batch)) return 0;
        for (auto member : batch) {
            std::string_view key;
            if (member.unescaped_key().get(key)) return 0;
            if (key == "record") {
                od::object record;
                if (member.value().get_object().get(record)) return 0;
                for (auto field : record) {
                    std::string_view name;
                    if (field.unescaped_key().get(name)) return 0;
                    std::string_view value;
                    if (name == "id" || name == "record_type" || name == "content") {
                        if (field.value().get_string().get(value)) return 0;
                        std::string copy(value);
                    }
                }
            } else if (key == "chunks") {
                od::array chunks;
                if (member.value().get_array().get(chunks)) return 0;
                for (auto chunk_result : chunks) {
                    Chunk chunk;
                    od::object chunk_object;
                    if (chunk_result.get_object().get(chunk_object)) return 0;
                    for (auto field : chunk_object) {
                        std::string_view name;
                        if (field.unescaped_key().get(name)) return 0;
                        if (name == "embedding") {
                            od::array numbers;
                            if (field.value().get_array().get(numbers)) return 0;
                            for (auto number : numbers) {
                                double value = 0;
                                if (number.get_double().get(value)) return 0;
                                chunk.embedding.push_back(static_cast<float>(value));
                            }
                        } else {
                            std::string_view value;
                            if (field.value().get_string().get(value)) return 0;
                            (name == "key" ? chunk.key : chunk.text) = std::string(value);
                        }
                    }
                    floats += chunk.embedding.size();
                }
            }
        }
    }
    return floats;
}

template <typename F>
double best_seconds(int repeats, F&& work) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main() {
    const std::size_t records = 5000, dimension = 384;
    const std::string text = make_batch(records, dimension);
    const double megabytes = static_cast<double>(text.size()) / 1e6;
    const std::size_t expected = records * 2 * dimension;

    std::size_t generic = 0, bulk = 0, plain = 0, commas = 0;
    const double generic_seconds = best_seconds(5, [&] { generic = read_batch<false>(text); });
    const double bulk_seconds = best_seconds(5, [&] { bulk = read_batch<true>(text); });
    const double simdjson_seconds = best_seconds(5, [&] { plain = read_batch_simdjson(text); });
    const double scan_seconds = best_seconds(5, [&] {
        std::size_t count = 0;
        for (char c : text) count += c == ',';
        commas = count;
    });

    std::printf("batch JSON: %.1f MB, %zu records, %zu numbers, simdjson %s (%zu commas)\n", megabytes, records,
                expected, simdjson::get_active_implementation()->name().c_str(), commas);
    auto line = [&](const char* name, double seconds) {
        std::printf("%-34s %8.1f MB/s  %5.2fx simdjson by hand\n", name, megabytes / seconds,
                    simdjson_seconds / seconds);
    };
    line("typed reader, element by element", generic_seconds);
    line("typed reader, read_f32_array", bulk_seconds);
    line("simdjson on-demand by hand", simdjson_seconds);
    line("byte scan", scan_seconds);
    return generic == expected && bulk == expected && plain == expected ? 0 : 1;
}
