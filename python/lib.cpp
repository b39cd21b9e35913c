// The extension module `tessarin._native`: registration of its items in their
// fixed order, and the module-level function `chunk_text`.
#include <string>  // std::string

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
