// Argument conversions and their error texts.
#include "python/conversions.hpp"

#include <cfloat>
#include <cmath>

#include "python/errors.hpp"
#include "python/faults.hpp"

namespace velto::python {

OperationError conversion_error(PyObject* object, std::string_view target) {
    return type_error(
        concat({"'", type_qualname(object), "' object cannot be converted to '", target, "'"}));
}

OperationError argument_error(std::string_view parameter, OperationError error) {
    if (error.kind() == ExceptionKind::TypeError) {
        return type_error(concat({"argument '", parameter, "': ", error.message()}));
    }
    const HostException* original = error.host_exception();
    if (original == nullptr || !original->is_exactly(PyExc_TypeError)) return error;
    HostException rewrapped = new_exception(
        PyExc_TypeError,
        concat({"argument '", parameter, "': ", exception_text(original->value.get())}));
    if (rewrapped.is_exactly(PyExc_TypeError)) {
        // PyException_GetCause gives a new reference, PyException_SetCause steals one.
        if (PyObject* cause = PyException_GetCause(original->value.get())) {
            PyException_SetCause(rewrapped.value.get(), cause);
        }
    }
    return rewrapped;
}

Result<std::uint8_t, OperationError> to_u8(Handle object) {
    // Through __index__ only, as the interpreter's own integer conversion does from 3.10 on:
    // a float is refused rather than truncated.
    Ref index = steal(PyNumber_Index(object.get()));
    if (!index) return fail(pending_error());
    long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return fail(pending_error());
    if (value < 0 || value > 255) {
        return fail(overflow_error("out of range integral type conversion attempted"));
    }
    return static_cast<std::uint8_t>(value);
}

Result<bool, OperationError> to_bool(Handle object) {
    if (!PyBool_Check(object.get())) return fail(conversion_error(object.get(), "PyBool"));
    return object.get() == Py_True;
}

float narrow_to_f32(double value) noexcept {
    if (std::isnan(value)) return std::nanf("");
    // Halfway between FLT_MAX and the next power of two: from there on, rounding to nearest
    // (ties to even, and FLT_MAX's last bit is odd) gives an infinity.
    constexpr double overflow_threshold = static_cast<double>(FLT_MAX) + 0x1p103;
    const double magnitude = std::fabs(value);
    if (magnitude >= overflow_threshold) return value > 0 ? INFINITY : -INFINITY;
    if (magnitude > static_cast<double>(FLT_MAX)) return value > 0 ? FLT_MAX : -FLT_MAX;
    return static_cast<float>(value);
}

Result<float, OperationError> to_f32(Handle object) {
    double value = 0;
    if (PyFloat_CheckExact(object.get())) {
        value = PyFloat_AS_DOUBLE(object.get());
    } else {
        value = PyFloat_AsDouble(object.get());
        if (value == -1.0 && PyErr_Occurred()) return fail(pending_error());
    }
    return narrow_to_f32(value);
}

Result<std::string, OperationError> to_text(Handle object) {
    if (!PyUnicode_Check(object.get())) return fail(conversion_error(object.get(), "PyString"));
    return utf8_text(object.get());
}

Result<PyObject*, OperationError> to_instance(Handle object, PyTypeObject* type,
                                              std::string_view class_name) {
    if (!PyObject_TypeCheck(object.get(), type)) {
        return fail(conversion_error(object.get(), class_name));
    }
    return object.get();
}

}  // namespace velto::python
