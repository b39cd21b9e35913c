// Reading speed of record-batch-like JSON: arrays of chunk objects whose
// embeddings are arrays of 384 numbers, the shape the ingest path reads. Prints
// MB/s for the typed reader and, as a baseline in the same run, for a plain
// byte scan of the same text.
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
            for (std::size_t i = 0; i < dimension; ++i) writer.number(static_cast<double>(normal(rng)));
            writer.end_array();
            writer.end_object();
        }
        writer.end_array();
        writer.end_object();
    }
    writer.end_array();
    return std::move(writer.text());
}

struct Chunk {
    std::string key, text;
    std::vector<float> embedding;
};

std::size_t read_batch(std::string_view text) {
    auto parsed = json::parse(text, [](json::Reader& reader) {
        std::size_t floats = 0;
        reader.begin_array();
        std::string key, member;
        while (reader.next_element()) {
            reader.begin_object();
            while (reader.next_member(key)) {
                if (key == "record") {
                    Record record = read_record(reader);
                    (void)record;
                } else if (key == "chunks") {
                    reader.begin_array();
                    while (reader.next_element()) {
                        Chunk chunk;
                        reader.begin_object();
                        while (reader.next_member(member)) {
                            if (member == "embedding") {
                                reader.begin_array();
                                while (reader.next_element()) {
                                    chunk.embedding.push_back(static_cast<float>(reader.read_f64()));
                                }
                            } else if (member == "key") {
                                chunk.key = reader.read_string();
                            } else if (member == "text") {
                                chunk.text = reader.read_string();
                            } else {
                                reader.skip_value();
                            }
                        }
                        floats += chunk.embedding.size();
                    }
                } else {
                    reader.skip_value();
                }
            }
        }
        return floats;
    });
    return parsed ? parsed.value() : 0;
}

template <typename F>
double best_seconds(int repeats, F&& work) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main() {
    const std::string text = make_batch(5000, 384);
    const double megabytes = static_cast<double>(text.size()) / 1e6;
    std::size_t floats = 0;
    const double reader_seconds = best_seconds(5, [&] { floats = read_batch(text); });
    std::size_t commas = 0;
    const double scan_seconds = best_seconds(5, [&] {
        std::size_t count = 0;
        for (char c : text) count += c == ',';
        commas = count;
    });
    std::printf("batch JSON: %.1f MB, %zu numbers (%zu commas)\n", megabytes, floats, commas);
    std::printf("typed reader: %8.1f MB/s\n", megabytes / reader_seconds);
    std::printf("byte scan:    %8.1f MB/s (baseline)\n", megabytes / scan_seconds);
    return floats == 5000 * 2 * 384 ? 0 : 1;
}
