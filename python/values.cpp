// Conversion of metadata values between Python and the core, and the parser of
// the `where` filter language. Python code can run during conversion (`__index__`,
// properties), so containers are snapshotted before they are walked: a callback
// that mutates the caller's dict or list cannot leave us holding freed items.
#include <optional>  // std::optional
#include <string>    // std::string

#include "python/lib.h"

namespace tessarin::python {
namespace {

constexpr const char* metadata_type_message =
    "metadata values must be str, int, float, bool, or TimestampMillis";

[[noreturn]] void raise_filter_error(const std::string& message) {
    raise(exception_class(ExceptionClass::FilterError), message);
}

// The attribute's value, or null when the object has none (a failing lookup
// counts as none).
nb::object timestamp_attribute(nb::handle value) {
    // Built-in scalars can carry no attribute of ours: skip the failing lookup.
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
        type == &PyBool_Type) {
        return {};
    }
    static PyObject* name = PyUnicode_InternFromString("__tessarin_timestamp_millis__");
    if (name == nullptr) throw nb::python_error();
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(value.ptr(), name, &found) < 0) PyErr_Clear();
    return nb::steal(found);
#else
    PyObject* found = PyObject_GetAttr(value.ptr(), name);
    if (found == nullptr) PyErr_Clear();
    return nb::steal(found);
#endif
}

std::int64_t to_i64(PyObject* value) {
    long long result = PyLong_AsLongLong(value);
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

// A strong snapshot of a list's items, immune to mutation by callbacks.
nb::list snapshot_list(nb::handle list) {
    PyObject* copy = PyList_GetSlice(list.ptr(), 0, PyList_GET_SIZE(list.ptr()));
    if (copy == nullptr) throw nb::python_error();
    return nb::steal<nb::list>(copy);
}

// A strong snapshot of a dict's (key, value) pairs in iteration order.
nb::list snapshot_items(nb::handle dict) {
    PyObject* items = PyDict_Items(dict.ptr());
    if (items == nullptr) throw nb::python_error();
    return nb::steal<nb::list>(items);
}

std::string utf8(nb::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    return {data, static_cast<std::size_t>(size)};
}

Filter combine(std::vector<Filter> children) {
    if (children.size() == 1) return std::move(children.front());
    return Filter{filters::And{std::move(children)}};
}

Filter parse_where(nb::handle where, std::size_t depth);

std::vector<Filter> parse_list(nb::handle value, const char* op, std::size_t depth) {
    if (!PyList_Check(value.ptr())) raise_filter_error(std::string(op) + " must be a list");
    if (depth >= max_filter_depth) {
        raise_filter_error("where filter is nested more than " + std::to_string(max_filter_depth) +
                           " levels deep");
    }
    nb::list items = snapshot_list(value);
    std::vector<Filter> children;
    children.reserve(items.size());
    for (nb::handle item : items) children.push_back(parse_where(item, depth + 1));
    return children;
}

void parse_operators(const std::string& field, nb::handle operators, std::vector<Filter>& out) {
    std::vector<Filter> conditions;
    std::optional<MetadataValue> lower, upper;
    nb::list items = snapshot_items(operators);
    for (nb::handle item : items) {
        nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
        nb::handle value = PyTuple_GET_ITEM(item.ptr(), 1);
        if (!PyUnicode_Check(key.ptr())) raise(PyExc_TypeError, "filter operators must be strings");
        const std::string op = utf8(key);
        if (op == "$exists") {
            bool exists = false;
            if (!to_bool_if_boolean(value, exists)) raise_filter_error("$exists value must be a boolean");
            if (!exists) raise_filter_error("$exists: false is not supported by Tessarin V1 filters");
            conditions.push_back(Filter{filters::Exists{field}});
        } else if (op == "$eq") {
            conditions.push_back(Filter{filters::Equals{field, to_metadata_value(value)}});
        } else if (op == "$ne") {
            conditions.push_back(Filter{filters::NotEquals{field, to_metadata_value(value)}});
        } else if (op == "$in") {
            if (!PyList_Check(value.ptr())) raise_filter_error("$in value must be a list");
            nb::list elements = snapshot_list(value);
            std::vector<MetadataValue> values;
            values.reserve(elements.size());
            for (nb::handle element : elements) values.push_back(to_metadata_value(element));
            conditions.push_back(Filter{filters::In{field, std::move(values)}});
        } else if (op == "$gte") {
            lower = to_metadata_value(value);
        } else if (op == "$lte") {
            upper = to_metadata_value(value);
        } else {
            raise_filter_error("unsupported filter operator '" + op + "'");
        }
    }
    // The range goes last whatever the position of its bounds in the dictionary.
    if (lower || upper) conditions.push_back(Filter{filters::Range{field, std::move(lower), std::move(upper)}});
    if (conditions.empty()) raise_filter_error("field filter cannot be empty");
    out.push_back(combine(std::move(conditions)));
}

Filter parse_where(nb::handle where, std::size_t depth) {
    if (!PyDict_Check(where.ptr())) raise(PyExc_TypeError, "where must be a dictionary");
    std::vector<Filter> entries;
    nb::list items = snapshot_items(where);
    for (nb::handle item : items) {
        nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
        nb::handle value = PyTuple_GET_ITEM(item.ptr(), 1);
        if (!PyUnicode_Check(key.ptr())) raise(PyExc_TypeError, "filter keys must be strings");
        std::string name = utf8(key);
        if (name == "$or") {
            entries.push_back(Filter{filters::Or{parse_list(value, "$or", depth)}});
        } else if (name == "$and") {
            entries.push_back(Filter{filters::And{parse_list(value, "$and", depth)}});
        } else if (PyDict_Check(value.ptr())) {
            parse_operators(name, value, entries);
        } else {
            entries.push_back(Filter{filters::Equals{std::move(name), to_metadata_value(value)}});
        }
    }
    if (entries.empty()) raise_filter_error("where filter cannot be empty");
    return combine(std::move(entries));
}

}  // namespace

MetadataValue to_metadata_value(nb::handle value) {
    if (nb::object millis = timestamp_attribute(value); millis.is_valid()) {
        return MetadataValue::timestamp_millis(to_i64(millis.ptr()));
    }
    PyObject* object = value.ptr();
    if (Py_TYPE(object) == &PyBool_Type) return MetadataValue::boolean(object == Py_True);
    if (PyUnicode_Check(object)) return MetadataValue::string(utf8(value));
    if (PyLong_Check(object)) return MetadataValue::integer(to_i64(object));
    if (PyFloat_Check(object)) return MetadataValue::floating(PyFloat_AS_DOUBLE(object));
    raise(PyExc_TypeError, metadata_type_message);
}

nb::object metadata_value_to_py(const MetadataValue& value) {
    switch (value.kind()) {
        case MetadataKind::String: {
            const std::string& text = value.as_string();
            return nb::str(text.data(), text.size());
        }
        case MetadataKind::Integer: return nb::int_(value.as_integer());
        case MetadataKind::Float: return nb::float_(value.as_float());
        case MetadataKind::Boolean: return nb::bool_(value.as_boolean());
        case MetadataKind::TimestampMillis: {
            nb::object types = nb::module_::import_("tessarin.types");
            return types.attr("TimestampMillis")(value.as_timestamp_millis());
        }
    }
    raise(PyExc_SystemError, "unknown metadata kind");
}

nb::dict metadata_to_py(const MetadataMap& metadata) {
    nb::dict result;
    for (const auto& [key, value] : metadata) {
        result[nb::str(key.data(), key.size())] = metadata_value_to_py(value);
    }
    return result;
}

MetadataMap parse_metadata(nb::handle value) {
    if (!PyDict_Check(value.ptr())) raise(PyExc_TypeError, "metadata must be a dictionary");
    MetadataMap metadata;
    nb::list items = snapshot_items(value);
    for (nb::handle item : items) {
        nb::handle key = PyTuple_GET_ITEM(item.ptr(), 0);
        if (!PyUnicode_Check(key.ptr())) raise(PyExc_TypeError, "metadata keys must be strings");
        std::string name = utf8(key);
        metadata.insert_or_assign(std::move(name), to_metadata_value(PyTuple_GET_ITEM(item.ptr(), 1)));
    }
    return metadata;
}

MetadataMap optional_metadata(nb::handle dict) {
    PyObject* found = nullptr;
    // A dict subclass's own storage is read, as everywhere else.
    if (PyDict_Check(dict.ptr())) {
        found = PyDict_GetItemWithError(dict.ptr(), nb::str("metadata").ptr());
        if (found == nullptr && PyErr_Occurred()) throw nb::python_error();
    }
    if (found == nullptr) return {};
    return parse_metadata(nb::borrow(found));
}

nb::object required_item(nb::handle dict, const char* key) {
    PyObject* found = PyDict_GetItemWithError(dict.ptr(), nb::str(key).ptr());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        raise(PyExc_KeyError, std::string("missing required key '") + key + "'");
    }
    return nb::borrow(found);
}

Filter parse_filter(nb::handle where) { return parse_where(where, 0); }

std::optional<Filter> parse_optional_filter(nb::handle where) {
    if (!where.is_valid() || where.is_none()) return std::nullopt;
    return parse_filter(where);
}

std::vector<Filter> parse_filter_list(nb::handle value, const char* op) {
    return parse_list(value, op, 0);
}

}  // namespace tessarin::python
