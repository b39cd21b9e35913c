#include <array>    // std::array
#include <cstring>  // std::strcmp

#include "python/lib.h"

namespace tessarin::python {
namespace {

constexpr std::array<const char*, exception_class_count> class_names = {
    "TessarinError",         "DimensionMismatchError", "PersistenceError",
    "FilterError",           "UnsupportedFormatError", "CorruptIndexError",
    "InvalidIdentityError",  "RetrievalCapabilityUnavailableError",
};
constexpr std::array<const char*, exception_class_count> qualified_names = {
    "_native.TessarinError",         "_native.DimensionMismatchError",
    "_native.PersistenceError",      "_native.FilterError",
    "_native.UnsupportedFormatError", "_native.CorruptIndexError",
    "_native.InvalidIdentityError",  "_native.RetrievalCapabilityUnavailableError",
};

// Created on first use and kept for the process lifetime; the module refuses
// sub-interpreters, so one set serves every caller.
std::array<PyObject*, exception_class_count> classes{};

// Messages can carry bytes from files or callers; decoding with replacement keeps
// raising an error from ever failing itself.
nb::object message_object(std::string_view message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (text == nullptr) throw nb::python_error();
    return nb::steal(text);
}

std::string python_type_name(nb::handle value) { return Py_TYPE(value.ptr())->tp_name; }

[[noreturn]] void raise_type_error(const char* name, std::string_view description) {
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += description;
    raise(PyExc_TypeError, message);
}

// A pending TypeError becomes "argument '{name}': {its message}"; anything else
// is re-raised as it is.
[[noreturn]] void reraise_for_argument(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
#if PY_VERSION_HEX >= 0x030C0000
    nb::object raised = nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    nb::object keep_type = nb::steal(type), keep_traceback = nb::steal(traceback);
    nb::object raised = nb::steal(value);
#endif
    PyObject* text = PyObject_Str(raised.ptr());
    if (text == nullptr) throw nb::python_error();
    nb::object description = nb::steal(text);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(description.ptr(), &size);
    if (utf8 == nullptr) throw nb::python_error();
    raise_type_error(name, std::string_view(utf8, static_cast<std::size_t>(size)));
}

bool is_native_float_format(const char* format, char code) {
    if (format == nullptr) return false;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    return format[0] == code && format[1] == '\0';
}

// One-dimensional float32/float64 buffers convert without creating an object per
// item. Returns false (no error pending) when the object offers no such buffer.
bool embedding_from_buffer(nb::handle value, std::vector<float>& out) {
    if (!PyObject_CheckBuffer(value.ptr())) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    bool is_f32 = view.itemsize == 4 && is_native_float_format(view.format, 'f');
    bool is_f64 = view.itemsize == 8 && is_native_float_format(view.format, 'd');
    if (view.ndim != 1 || (!is_f32 && !is_f64)) {
        PyBuffer_Release(&view);
        return false;
    }
    const auto count = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* base = static_cast<const char*>(view.buf);
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const char* item = base + static_cast<Py_ssize_t>(i) * stride;
        if (is_f32) {
            std::memcpy(&out[i], item, sizeof(float));
        } else {
            double widened;
            std::memcpy(&widened, item, sizeof(double));
            out[i] = static_cast<float>(widened);
        }
    }
    PyBuffer_Release(&view);
    return true;
}

// float(item) as a double.
double item_as_double(PyObject* item) {
    if (PyFloat_CheckExact(item)) return PyFloat_AS_DOUBLE(item);
    PyObject* converted = PyNumber_Float(item);
    if (converted == nullptr) return -1.0;  // error pending; caller checks
    double result = PyFloat_AS_DOUBLE(converted);
    Py_DECREF(converted);
    return result;
}

}  // namespace

const char* exception_class_name(ExceptionClass which) noexcept {
    return class_names[static_cast<std::size_t>(which)];
}

PyObject* exception_class(ExceptionClass which) {
    const auto index = static_cast<std::size_t>(which);
    if (classes[index] == nullptr) {
        PyObject* base = which == ExceptionClass::TessarinError
                             ? PyExc_Exception
                             : exception_class(ExceptionClass::TessarinError);
        PyObject* created = PyErr_NewExceptionWithDoc(qualified_names[index], nullptr, base, nullptr);
        if (created == nullptr) throw nb::python_error();
        classes[index] = created;
    }
    return classes[index];
}

void raise(PyObject* type, const std::string& message) {
    nb::object text = message_object(message);
    PyErr_SetObject(type, text.ptr());
    throw nb::python_error();
}

void raise_core_error(const TessarinError& error) {
    PyObject* type = nullptr;
    switch (error.kind()) {
        case ErrorKind::InvalidIdentity:
            type = exception_class(ExceptionClass::InvalidIdentityError);
            break;
        case ErrorKind::InvalidRecordValue:
        case ErrorKind::MissingEmbedding:
            type = exception_class(ExceptionClass::TessarinError);
            break;
        case ErrorKind::DimensionMismatch:
            type = exception_class(ExceptionClass::DimensionMismatchError);
            break;
        case ErrorKind::InvalidRangeFilter:
            type = exception_class(ExceptionClass::FilterError);
            break;
        case ErrorKind::UnsupportedEncoding:
        case ErrorKind::InvalidFormat:
            type = exception_class(ExceptionClass::UnsupportedFormatError);
            break;
        case ErrorKind::RetrievalStateUnavailable:
            type = exception_class(ExceptionClass::RetrievalCapabilityUnavailableError);
            break;
        case ErrorKind::Persistence:
            type = exception_class(ExceptionClass::PersistenceError);
            break;
        case ErrorKind::InvalidQueryParameter:
            type = PyExc_ValueError;
            break;
        case ErrorKind::CorruptIndex:
            type = exception_class(ExceptionClass::CorruptIndexError);
            break;
    }
    if (type == nullptr) raise(PyExc_SystemError, "unmapped core error kind");
    raise(type, error.display());
}

std::string_view to_text(nb::handle value, const char* name) {
    if (!PyUnicode_Check(value.ptr())) raise_type_error(name, "expected str, got " + python_type_name(value));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (utf8 == nullptr) reraise_for_argument(name);  // lone surrogates: UnicodeEncodeError
    return {utf8, static_cast<std::size_t>(size)};
}

std::string_view text_value(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) raise(PyExc_TypeError, "expected str, got " + python_type_name(value));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (utf8 == nullptr) throw nb::python_error();
    return {utf8, static_cast<std::size_t>(size)};
}

namespace {
std::string ascii_lower(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}
}  // namespace

VectorMetric parse_metric(std::string_view name) {
    const std::string folded = ascii_lower(name);
    if (folded == "cosine") return VectorMetric::Cosine;
    if (folded == "dot_product" || folded == "dot-product" || folded == "dotproduct") return VectorMetric::DotProduct;
    raise(PyExc_ValueError, "unsupported metric '" + std::string(name) + "'; expected 'cosine' or 'dot_product'");
}

VectorEncoding parse_encoding(std::string_view name) {
    const std::string folded = ascii_lower(name);
    if (folded == "f32") return VectorEncoding::F32;
    if (folded == "f16") return VectorEncoding::F16;
    if (folded == "bf16") return VectorEncoding::BF16;
    if (folded == "i8" || folded == "i8scalarquantized" || folded == "i8_scalar_quantized") {
        return VectorEncoding::I8ScalarQuantized;
    }
    if (folded == "binary" || folded == "binaryquantized" || folded == "binary_quantized") {
        return VectorEncoding::BinaryQuantized;
    }
    raise(PyExc_ValueError, "unsupported encoding '" + std::string(name) +
                                "'; expected 'f32', 'f16', 'bf16', 'i8', or 'binary'");
}

std::uint64_t to_count(nb::handle value, const char* name) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) reraise_for_argument(name);
    unsigned long long count = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_for_argument(name);
    return count;
}

float to_f32(nb::handle value, const char* name) {
    double wide = item_as_double(value.ptr());
    if (wide == -1.0 && PyErr_Occurred()) reraise_for_argument(name);
    return static_cast<float>(wide);
}

bool to_bool_if_boolean(nb::handle value, bool& out) {
    if (value.ptr() == Py_True || value.ptr() == Py_False) {
        out = value.ptr() == Py_True;
        return true;
    }
    // NumPy's scalar is recognised by name so that NumPy stays optional.
    const char* type = Py_TYPE(value.ptr())->tp_name;
    if (std::strcmp(type, "numpy.bool") != 0 && std::strcmp(type, "numpy.bool_") != 0) return false;
    int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw nb::python_error();
    out = truth != 0;
    return true;
}

bool to_bool(nb::handle value, const char* name) {
    bool result = false;
    if (!to_bool_if_boolean(value, result)) {
        raise_type_error(name, "expected bool, got " + python_type_name(value));
    }
    return result;
}

std::string to_path(nb::handle value, const char* name) {
    PyObject* fspath = PyOS_FSPath(value.ptr());
    if (fspath == nullptr) reraise_for_argument(name);
    nb::object path = nb::steal(fspath);
    if (!PyUnicode_Check(path.ptr())) {
        raise_type_error(name, "expected str or os.PathLike returning str, got " + python_type_name(path));
    }
    PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
    if (encoded == nullptr) reraise_for_argument(name);
    nb::object bytes = nb::steal(encoded);
    return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

std::vector<float> to_embedding(nb::handle value, const char* name) {
    if (PyUnicode_Check(value.ptr())) raise_type_error(name, "expected a sequence of numbers, got str");
    std::vector<float> out;
    if (embedding_from_buffer(value, out)) return out;
    if (!PySequence_Check(value.ptr())) {
        raise_type_error(name, "expected a sequence of numbers, got " + python_type_name(value));
    }
    PyObject* fast = PySequence_Fast(value.ptr(), "expected a sequence of numbers");
    if (fast == nullptr) reraise_for_argument(name);
    nb::object items = nb::steal(fast);
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast);
    PyObject** item = PySequence_Fast_ITEMS(fast);
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        double wide = item_as_double(item[i]);
        if (wide == -1.0 && PyErr_Occurred()) reraise_for_argument(name);
        out[static_cast<std::size_t>(i)] = static_cast<float>(wide);
    }
    return out;
}

bool BorrowFlag::try_acquire_shared() noexcept {
    std::int64_t current = state_.load(std::memory_order_relaxed);
    do {
        if (current < 0) return false;
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
}

void BorrowFlag::release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

bool BorrowFlag::try_acquire_exclusive() noexcept {
    std::int64_t expected = 0;
    return state_.compare_exchange_strong(expected, exclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
}

void BorrowFlag::release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

SharedBorrow::SharedBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag_.try_acquire_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
    if (!flag_.try_acquire_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
}

}  // namespace tessarin::python
