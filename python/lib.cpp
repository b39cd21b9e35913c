// The extension module `tessarin._native`: registration of its items in their
// fixed order, and the module-level function `chunk_text`.
#include <string>  // std::string

#include "core/index.h"
#include "ingest/lib.h"
#include "python/lib.h"

namespace tessarin::python {
namespace {

using namespace nb::literals;

nb::list chunk_text(nb::handle text_arg, nb::handle max_arg, nb::handle overlap_arg,
                    nb::handle strategy_arg) {
    const std::string_view text = to_text(text_arg, "text");
    const std::uint64_t max_characters = to_count(max_arg, "max_characters");
    const std::uint64_t overlap_characters = to_count(overlap_arg, "overlap_characters");
    const std::string_view strategy = to_text(strategy_arg, "strategy");

    // ASCII-only folding: "SENTENCE" is accepted, but no Unicode case rule can
    // turn another word into one of the two names.
    std::string folded(strategy);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    ingest::ChunkingOptions options;
    if (folded == "sentence") {
        options.strategy = ingest::ChunkingStrategy::Sentence;
    } else if (folded == "fixed") {
        options.strategy = ingest::ChunkingStrategy::Fixed;
    } else {
        raise(PyExc_ValueError, "unsupported chunking strategy '" + std::string(strategy) +
                                    "'; expected 'fixed' or 'sentence'");
    }
    options.max_characters = static_cast<std::size_t>(max_characters);
    options.overlap_characters = static_cast<std::size_t>(overlap_characters);
    if (auto invalid = ingest::validate_chunking_options(options)) {
        raise(PyExc_ValueError, invalid->message());
    }

    // Chunking is cheap next to building the result, so the lock stays held.
    const std::vector<ingest::TextChunk> chunks = ingest::chunk_text(text, options);
    nb::list result;
    for (const ingest::TextChunk& chunk : chunks) {
        nb::dict entry;
        entry["text"] = nb::str(chunk.text.data(), chunk.text.size());
        entry["start_byte"] = nb::int_(chunk.start_byte);
        entry["end_byte"] = nb::int_(chunk.end_byte);
        result.append(std::move(entry));
    }
    return result;
}

/// @brief The Python `Index`: one exact vector index and the borrow flag guarding it.
struct PyIndex {
    ExactVectorIndex index;
    BorrowFlag flag;
};

struct ConvertedDocument {
    Document document;
    std::vector<ChunkInput> chunks;
};

ConvertedDocument convert_document(nb::handle item) {
    if (!PyDict_Check(item.ptr())) raise(PyExc_TypeError, "each document must be a dictionary");
    ConvertedDocument converted;
    converted.document.id = std::string(text_value(required_item(item, "id")));
    converted.document.metadata = optional_metadata(item);
    nb::object chunks = required_item(item, "chunks");
    if (!PyList_Check(chunks.ptr())) raise(PyExc_TypeError, "'chunks' must be a list");
    nb::object snapshot = nb::steal(PyList_GetSlice(chunks.ptr(), 0, PyList_GET_SIZE(chunks.ptr())));
    if (!snapshot.is_valid()) throw nb::python_error();
    for (nb::handle chunk : nb::borrow<nb::list>(snapshot)) {
        if (!PyDict_Check(chunk.ptr())) raise(PyExc_TypeError, "each chunk must be a dictionary");
        ChunkInput input;
        input.text = std::string(text_value(required_item(chunk, "text")));
        nb::object embedding = required_item(chunk, "embedding");
        try {
            input.embedding = to_embedding(embedding, "embedding");
        } catch (nb::python_error&) {
            // The conversion's own wording is replaced by one message about the key.
            raise(PyExc_TypeError, "'embedding' must be a sequence of floats");
        }
        input.metadata = optional_metadata(chunk);
        converted.chunks.push_back(std::move(input));
    }
    return converted;
}

nb::list index_add(PyIndex& self, nb::handle documents) {
    ExclusiveBorrow borrow(self.flag);
    if (!PyList_Check(documents.ptr())) raise(PyExc_TypeError, "documents must be a list of document dictionaries");
    nb::object snapshot = nb::steal(PyList_GetSlice(documents.ptr(), 0, PyList_GET_SIZE(documents.ptr())));
    if (!snapshot.is_valid()) throw nb::python_error();
    std::vector<ConvertedDocument> converted;
    for (nb::handle item : nb::borrow<nb::list>(snapshot)) converted.push_back(convert_document(item));

    std::vector<std::vector<std::uint64_t>> added;
    std::optional<TessarinError> failure;
    without_gil([&] {
        added.reserve(converted.size());
        for (const ConvertedDocument& item : converted) {
            auto ids = self.index.upsert_document(item.document, item.chunks);
            if (!ids) {
                failure = std::move(ids).error();
                return;
            }
            added.push_back(std::move(ids).value());
        }
    });
    if (failure) raise_core_error(*failure);
    nb::list result;
    for (std::size_t i = 0; i < added.size(); ++i) {
        nb::dict entry;
        const std::string& id = converted[i].document.id;
        entry["id"] = nb::str(id.data(), id.size());
        nb::list ids;
        for (std::uint64_t chunk_id : added[i]) ids.append(nb::int_(chunk_id));
        entry["chunk_ids"] = std::move(ids);
        result.append(std::move(entry));
    }
    return result;
}

std::size_t index_delete_document(PyIndex& self, nb::handle document_id) {
    ExclusiveBorrow borrow(self.flag);
    const std::string id(to_text(document_id, "document_id"));
    return without_gil([&] { return self.index.delete_document(id); });
}

nb::dict chunk_fields(const ChunkView& chunk, std::uint64_t chunk_id, const std::string& document_id) {
    nb::dict entry;
    entry["chunk_id"] = nb::int_(chunk_id);
    entry["document_id"] = nb::str(document_id.data(), document_id.size());
    entry["text"] = nb::str(chunk.text.data(), chunk.text.size());
    entry["metadata"] = metadata_to_py(chunk.metadata);
    return entry;
}

nb::list string_list(const std::vector<std::string>& values) {
    nb::list list;
    for (const std::string& value : values) list.append(nb::str(value.data(), value.size()));
    return list;
}

nb::list index_search(PyIndex& self, nb::handle embedding_arg, nb::handle limit_arg, nb::handle where_arg) {
    SharedBorrow borrow(self.flag);
    const std::vector<float> embedding = to_embedding(embedding_arg, "embedding");
    const std::uint64_t limit = to_count(limit_arg, "limit");
    const std::optional<Filter> filter = parse_optional_filter(where_arg);
    auto hits = unwrap(without_gil([&] {
        return self.index.search_vector_candidates(embedding, static_cast<std::size_t>(limit), filter);
    }));
    nb::list result;
    for (const SearchHit& hit : hits) {
        const std::optional<ChunkView> chunk = self.index.chunk(hit.chunk_id);
        if (!chunk) {
            raise(exception_class(ExceptionClass::TessarinError), "search hit referenced a missing chunk");
        }
        nb::dict entry = chunk_fields(*chunk, hit.chunk_id, hit.document_id);
        entry["score"] = nb::float_(static_cast<double>(hit.score));
        nb::dict trace;
        trace["vector_score"] = nb::float_(static_cast<double>(hit.vector_score));
        entry["trace"] = std::move(trace);
        result.append(std::move(entry));
    }
    return result;
}

nb::list index_keyword_search(PyIndex& self, nb::handle text_arg, nb::handle limit_arg, nb::handle where_arg) {
    SharedBorrow borrow(self.flag);
    const std::string_view text = to_text(text_arg, "text");
    const std::uint64_t limit = to_count(limit_arg, "limit");
    const std::optional<Filter> filter = parse_optional_filter(where_arg);
    auto hits = unwrap(without_gil([&] {
        return self.index.keyword_search_candidates(text, static_cast<std::size_t>(limit), filter);
    }));
    nb::list result;
    for (const KeywordHit& hit : hits) {
        const std::optional<ChunkView> chunk = self.index.chunk(hit.chunk_id);
        if (!chunk) {
            raise(exception_class(ExceptionClass::TessarinError), "keyword hit referenced a missing chunk");
        }
        nb::dict entry = chunk_fields(*chunk, hit.chunk_id, hit.document_id);
        entry["score"] = nb::float_(static_cast<double>(hit.score));
        entry["matched_terms"] = string_list(hit.matched_terms);
        result.append(std::move(entry));
    }
    return result;
}

nb::object optional_float(const std::optional<float>& value) {
    return value ? nb::object(nb::float_(static_cast<double>(*value))) : nb::none();
}

nb::object optional_int(const std::optional<std::size_t>& value) {
    return value ? nb::object(nb::int_(*value)) : nb::none();
}

nb::dict hybrid_trace_to_py(const HybridTrace& trace, float alpha) {
    nb::dict entry;
    entry["alpha"] = nb::float_(static_cast<double>(alpha));
    entry["vector_rank"] = optional_int(trace.vector_rank);
    entry["keyword_rank"] = optional_int(trace.keyword_rank);
    entry["normalized_vector_score"] = optional_float(trace.normalized_vector_score);
    entry["normalized_keyword_score"] = optional_float(trace.normalized_keyword_score);
    entry["matched_terms"] = string_list(trace.matched_terms);
    return entry;
}

nb::list index_hybrid_search(PyIndex& self, nb::handle text_arg, nb::handle embedding_arg, nb::handle limit_arg,
                             nb::handle where_arg, nb::handle vector_candidates_arg,
                             nb::handle keyword_candidates_arg, nb::handle alpha_arg) {
    SharedBorrow borrow(self.flag);
    constexpr std::uint64_t default_candidates = 50;
    HybridQuery query;
    query.text = std::string(to_text(text_arg, "text"));
    query.embedding = to_embedding(embedding_arg, "embedding");
    query.limit = static_cast<std::size_t>(to_count(limit_arg, "limit"));
    query.vector_candidates = static_cast<std::size_t>(
        vector_candidates_arg.is_none() ? default_candidates : to_count(vector_candidates_arg, "vector_candidates"));
    query.keyword_candidates = static_cast<std::size_t>(
        keyword_candidates_arg.is_none() ? default_candidates : to_count(keyword_candidates_arg, "keyword_candidates"));
    const float alpha = to_f32(alpha_arg, "alpha");
    std::optional<Filter> filter = parse_optional_filter(where_arg);
    query.fusion = fusions::Weighted{0.6f, 0.4f};
    if (filter) query = std::move(query).with_filter(std::move(filter));
    query = unwrap(std::move(query).try_with_alpha(alpha));

    auto hits = unwrap(without_gil([&] { return self.index.hybrid_search(query); }));
    nb::list result;
    for (const HybridHit& hit : hits) {
        const std::optional<ChunkView> chunk = self.index.chunk(hit.chunk_id);
        if (!chunk) {
            raise(exception_class(ExceptionClass::TessarinError), "hybrid hit referenced a missing chunk");
        }
        nb::dict entry = chunk_fields(*chunk, hit.chunk_id, hit.document_id);
        entry["score"] = nb::float_(static_cast<double>(hit.score));
        entry["vector_score"] = optional_float(hit.vector_score);
        entry["keyword_score"] = optional_float(hit.keyword_score);
        entry["matched_terms"] = string_list(hit.trace.matched_terms);
        entry["trace"] = hybrid_trace_to_py(hit.trace, alpha);
        result.append(std::move(entry));
    }
    return result;
}

template <std::size_t (ExactVectorIndex::*Count)() const noexcept>
std::size_t index_count(PyIndex& self) {
    SharedBorrow borrow(self.flag);
    return (self.index.*Count)();
}

void register_index(nb::module_& module) {
    nb::class_<PyIndex>(module, "Index", "Index(dimension, metric=\"cosine\", encoding=\"i8\")")
        .def(
            "__init__",
            [](PyIndex* self, nb::handle dimension_arg, nb::handle metric_arg, nb::handle encoding_arg) {
                const std::uint64_t dimension = to_count(dimension_arg, "dimension");
                const VectorMetric metric = parse_metric(to_text(metric_arg, "metric"));
                const VectorEncoding encoding = parse_encoding(to_text(encoding_arg, "encoding"));
                auto index = unwrap(ExactVectorIndex::try_with_config(
                    IndexConfig{static_cast<std::size_t>(dimension), metric, encoding}));
                new (self) PyIndex{std::move(index), {}};
            },
            "dimension"_a.none(), "metric"_a.none() = "cosine", "encoding"_a.none() = "i8",
            nb::sig("def __init__(self, dimension, metric=\"cosine\", encoding=\"i8\")"))
        .def_prop_ro("dimension", &index_count<&ExactVectorIndex::dimension>, "dimension")
        .def_prop_ro("active_chunk_count", &index_count<&ExactVectorIndex::active_chunk_count>,
                     "active_chunk_count")
        .def_prop_ro("total_chunk_count", &index_count<&ExactVectorIndex::total_chunk_count>, "total_chunk_count")
        .def_prop_ro("tombstoned_chunk_count", &index_count<&ExactVectorIndex::tombstoned_chunk_count>,
                     "tombstoned_chunk_count")
        .def("add", &index_add, "documents"_a.none(), nb::sig("def add(documents)"))
        .def("delete_document", &index_delete_document, "document_id"_a.none(),
             nb::sig("def delete_document(document_id)"))
        .def("search", &index_search, "embedding"_a.none(), nb::kw_only(), "limit"_a.none() = 10,
             "where"_a.none() = nb::none(), nb::sig("def search(embedding, *, limit=10, where=None)"))
        .def("keyword_search", &index_keyword_search, "text"_a.none(), nb::kw_only(), "limit"_a.none() = 10,
             "where"_a.none() = nb::none(), nb::sig("def keyword_search(text, *, limit=10, where=None)"))
        .def("hybrid_search", &index_hybrid_search, "text"_a.none(), "embedding"_a.none(), nb::kw_only(),
             "limit"_a.none() = 10, "where"_a.none() = nb::none(), "vector_candidates"_a.none() = nb::none(),
             "keyword_candidates"_a.none() = nb::none(), "alpha"_a.none() = 0.6,
             nb::sig("def hybrid_search(text, embedding, *, limit=10, where=None, vector_candidates=None, "
                     "keyword_candidates=None, alpha=0.6)"));
}

// The first interpreter to initialise the module owns it: the exception classes
// and every core object are process-wide, so a second interpreter is refused.
PyInterpreterState* owning_interpreter = nullptr;

void refuse_other_interpreters() {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (owning_interpreter == nullptr) owning_interpreter = current;
    if (owning_interpreter != current) {
        raise(PyExc_ImportError,
              "tessarin._native cannot be loaded in a sub-interpreter; import it in the main "
              "interpreter only");
    }
}

void add_exception_class(nb::module_& module, ExceptionClass which) {
    if (PyModule_AddObjectRef(module.ptr(), exception_class_name(which), exception_class(which)) < 0) {
        throw nb::python_error();
    }
}

}  // namespace
}  // namespace tessarin::python

NB_MODULE(_native, module) {
    using namespace tessarin::python;
    refuse_other_interpreters();
    module.attr("__doc__") = "";

    // Registration order is fixed: the classes first (as they arrive), then
    // `chunk_text`, then the exception classes.
    register_index(module);
        // `.none()` lets every object reach the conversions, which word the errors.
    module.def("chunk_text", &chunk_text, "text"_a.none(), nb::kw_only(), "max_characters"_a.none(),
               "overlap_characters"_a.none() = 0, "strategy"_a.none() = "sentence",
               nb::sig("def chunk_text(text, *, max_characters, overlap_characters=0, "
                       "strategy=\"sentence\")"),
               "Split text into windows of at most max_characters characters, cut at sentence "
               "ends or whitespace (strategy \"sentence\") or at fixed sizes (\"fixed\"), each "
               "trimmed, as dicts with \"text\", \"start_byte\" and \"end_byte\" (UTF-8 byte "
               "offsets).");

    for (std::size_t i = 0; i < exception_class_count; ++i) {
        add_exception_class(module, static_cast<ExceptionClass>(i));
    }
}
