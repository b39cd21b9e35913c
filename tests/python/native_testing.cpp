// A test-only extension module that exposes the binding layer's shared pieces
// (argument conversions, the core error mapping, the borrow flag) so pytest can
// check them before every entry point that uses them exists. Never installed.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <condition_variable>
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
    nb::class_<BorrowProbe>(m, "BorrowProbe")
        .def(nb::init<>())
        .def("hold", &BorrowProbe::hold, "exclusive"_a)
        .def("read", &BorrowProbe::read)
        .def("write", &BorrowProbe::write)
        .def("let_go", &BorrowProbe::let_go)
        .def("inside", &BorrowProbe::inside);
}
