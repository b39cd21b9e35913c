// A test-only extension module that exposes the binding layer's shared pieces
// (argument conversions, the core error mapping, the borrow flag) so pytest can
// check them before every entry point that uses them exists. Never installed.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <condition_variable>
#include <type_traits>
#include <variant>
#include <mutex>

#include "python/lib.h"

namespace tp = tessarin::python;
namespace nb = nanobind;
using namespace nb::literals;

namespace {

tessarin::TessarinError sample_error(int kind) {
    using namespace tessarin::errors;
    switch (kind) {
        case 0: return InvalidIdentity{"ChunkKey", "a", "must be unique within one record generation"};
        case 1: return InvalidRecordValue{"meta.x", "floats must be finite"};
        case 2: return DimensionMismatch{384, 768};
        case 3: return MissingEmbedding{"record r1 chunk c1"};
        case 4: return InvalidRangeFilter{"year"};
        case 5: return UnsupportedEncoding{"BinaryQuantized"};
        case 6: return RetrievalStateUnavailable{"hybrid"};
        case 7: return Persistence{"read", "/nowhere", "No such file or directory"};
        case 8: return InvalidQueryParameter{"alpha", "must be within [0, 1]"};
        case 9: return InvalidFormat{"vector count and dimension overflow"};
        default: return CorruptIndex{"chunks.bin", "sha256 mismatch"};
    }
}

// An object with a borrow flag whose calls can be held open from another
// thread, so tests can provoke conflicts without timing.
class BorrowProbe {
public:
    // Takes the borrow, signals entry, then waits with the lock released until
    // `let_go` is called.
    void hold(bool exclusive) {
        if (exclusive) {
            tp::ExclusiveBorrow borrow(flag_);
            wait_inside();
        } else {
            tp::SharedBorrow borrow(flag_);
            wait_inside();
        }
    }
    int read() {
        tp::SharedBorrow borrow(flag_);
        return 1;
    }
    int write() {
        tp::ExclusiveBorrow borrow(flag_);
        return 2;
    }
    void let_go() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }
    int inside() {
        std::lock_guard lock(mutex_);
        return inside_;
    }

private:
    void wait_inside() {
        tp::without_gil([&] {
            std::unique_lock lock(mutex_);
            ++inside_;
            changed_.wait(lock, [&] { return released_; });
            --inside_;
        });
    }

    tp::BorrowFlag flag_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int inside_ = 0;
    bool released_ = false;
};

std::string describe_value(const tessarin::MetadataValue& value) {
    using tessarin::MetadataKind;
    std::string kind(tessarin::metadata_kind_name(value.kind()));
    switch (value.kind()) {
        case MetadataKind::String: return kind + ":" + value.as_string();
        case MetadataKind::Integer: return kind + ":" + std::to_string(value.as_integer());
        case MetadataKind::Float: {
            nb::str text = nb::str(nb::float_(value.as_float()));
            return kind + ":" + text.c_str();
        }
        case MetadataKind::Boolean: return kind + ":" + (value.as_boolean() ? "true" : "false");
        case MetadataKind::TimestampMillis:
            return kind + ":" + std::to_string(value.as_timestamp_millis());
    }
    return "?";
}

// A compact, unambiguous text of a filter tree for assertions.
std::string describe(const tessarin::Filter& filter) {
    namespace f = tessarin::filters;
    auto children = [](const std::vector<tessarin::Filter>& list) {
        std::string out;
        for (std::size_t i = 0; i < list.size(); ++i) out += (i ? ", " : "") + describe(list[i]);
        return out;
    };
    return std::visit(
        [&](const auto& node) -> std::string {
            using Node = std::decay_t<decltype(node)>;
            if constexpr (std::is_same_v<Node, f::Equals>) {
                return "Equals(" + node.field + ", " + describe_value(node.value) + ")";
            } else if constexpr (std::is_same_v<Node, f::NotEquals>) {
                return "NotEquals(" + node.field + ", " + describe_value(node.value) + ")";
            } else if constexpr (std::is_same_v<Node, f::In>) {
                std::string out = "In(" + node.field + ", [";
                for (std::size_t i = 0; i < node.values.size(); ++i) {
                    out += (i ? ", " : "") + describe_value(node.values[i]);
                }
                return out + "])";
            } else if constexpr (std::is_same_v<Node, f::Range>) {
                return "Range(" + node.field + ", " + (node.lower ? describe_value(*node.lower) : "-") +
                       ", " + (node.upper ? describe_value(*node.upper) : "-") + ")";
            } else if constexpr (std::is_same_v<Node, f::Exists>) {
                return "Exists(" + node.field + ")";
            } else if constexpr (std::is_same_v<Node, f::And>) {
                return "And(" + children(node.children) + ")";
            } else {
                return "Or(" + children(node.children) + ")";
            }
        },
        filter.node);
}

tessarin::MetadataMap to_metadata_map(nb::handle dict) {
    tessarin::MetadataMap map;
    for (auto [key, value] : nb::borrow<nb::dict>(dict)) {
        map.insert_or_assign(nb::cast<std::string>(key), tp::to_metadata_value(value));
    }
    return map;
}

}  // namespace

NB_MODULE(_tessarin_testing, m) {
    m.def("to_text", [](nb::handle v) { return std::string(tp::to_text(v, "text")); }, "value"_a.none());
    m.def("to_count", [](nb::handle v) { return tp::to_count(v, "limit"); }, "value"_a.none());
    m.def("to_f32", [](nb::handle v) { return static_cast<double>(tp::to_f32(v, "alpha")); }, "value"_a.none());
    m.def("to_bool", [](nb::handle v) { return tp::to_bool(v, "include_bm25"); }, "value"_a.none());
    m.def("to_path", [](nb::handle v) {
        std::string path = tp::to_path(v, "path");
        return nb::bytes(path.data(), path.size());
    }, "value"_a.none());
    m.def("to_embedding", [](nb::handle v) {
        std::vector<float> values = tp::to_embedding(v, "embedding");
        return std::vector<double>(values.begin(), values.end());
    }, "value"_a.none());
    m.def("raise_core_error", [](int kind) { tp::raise_core_error(sample_error(kind)); });
    m.def("exception_class", [](const std::string& name) -> nb::object {
        for (std::size_t i = 0; i < tp::exception_class_count; ++i) {
            auto which = static_cast<tp::ExceptionClass>(i);
            if (name == tp::exception_class_name(which)) return nb::borrow(tp::exception_class(which));
        }
        return nb::none();
    });
    m.def("describe_value", [](nb::handle v) { return describe_value(tp::to_metadata_value(v)); },
          "value"_a.none());
    m.def("value_roundtrip", [](nb::handle v) { return tp::metadata_value_to_py(tp::to_metadata_value(v)); },
          "value"_a.none());
    m.def("metadata_roundtrip", [](nb::handle d) { return tp::metadata_to_py(to_metadata_map(d)); });
    m.def("parse_metadata", [](nb::handle v) { return tp::metadata_to_py(tp::parse_metadata(v)); },
          "value"_a.none());
    m.def("optional_metadata", [](nb::dict d) { return tp::metadata_to_py(tp::optional_metadata(d)); });
    m.def("required_item", [](nb::dict d, const std::string& key) { return tp::required_item(d, key.c_str()); });
    m.def("parse_filter", [](nb::handle w) { return describe(tp::parse_filter(w)); }, "where"_a.none());
    m.def("parse_optional_filter", [](nb::handle w) -> nb::object {
        auto filter = tp::parse_optional_filter(w);
        if (!filter) return nb::none();
        return nb::str(describe(*filter).c_str());
    }, "where"_a.none());
    m.def("parse_filter_list", [](nb::handle v, const std::string& op) {
        std::vector<std::string> out;
        for (const auto& f : tp::parse_filter_list(v, op.c_str())) out.push_back(describe(f));
        return out;
    }, "value"_a.none(), "op"_a);
    // Parses `where` and evaluates it against a metadata dict, raising a range error
    // through the module's error mapping.
    m.def("matches", [](nb::handle w, nb::handle metadata) {
        tessarin::Filter filter = tp::parse_filter(w);
        return tp::unwrap(tessarin::matches(filter, to_metadata_map(metadata)));
    }, "where"_a.none(), "metadata"_a);
    nb::class_<BorrowProbe>(m, "BorrowProbe")
        .def(nb::init<>())
        .def("hold", &BorrowProbe::hold, "exclusive"_a)
        .def("read", &BorrowProbe::read)
        .def("write", &BorrowProbe::write)
        .def("let_go", &BorrowProbe::let_go)
        .def("inside", &BorrowProbe::inside);
}
