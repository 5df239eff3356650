// Read-only attributes of the value classes: the getter body every one of them shares (receiver
// check, shared access, the read itself, under the fault boundary).
#pragma once

#include "python/python.hpp"

#include <string_view>

#include "python/classes.hpp"
#include "python/conversions.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"
#include "python/object.hpp"

namespace velto::python {

// `read(const Value&)` returns the attribute's new object as an ObjectResult.
template <class Value, class Read>
PyObject* read_attribute(PyObject* self, ClassResult (*type)(), std::string_view class_name,
                         Read&& read) {
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(Object<Value> * object, to_object<Value>(Handle(self), type(), class_name));
        VELTO_TRY(SharedBorrow shared, SharedBorrow::take(object->borrow_state));
        return read(static_cast<const Value&>(object->value));
    });
}

inline ObjectResult new_bool(bool value) {
    return owned(PyBool_FromLong(value ? 1 : 0));
}
inline ObjectResult new_float(double value) {
    return owned(PyFloat_FromDouble(value));
}
inline ObjectResult new_int(long value) {
    return owned(PyLong_FromLong(value));
}
inline ObjectResult new_text(std::string_view text) {
    return owned(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace velto::python
