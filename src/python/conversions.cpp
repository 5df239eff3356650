// Argument conversions and their error texts.
#include "python/conversions.hpp"

#include <cfloat>
#include <cmath>
#include <vector>

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

namespace {

// A bound as Python writes the number, without a ".0" for a whole one: "0", "3600", "0.5".
std::string bound_text(double bound) {
    char* written = PyOS_double_to_string(bound, 'r', 0, 0, nullptr);
    if (written == nullptr) {
        discard_pending_exception();
        return std::to_string(bound);
    }
    std::string text(written);
    PyMem_Free(written);
    if (text.ends_with(".0")) text.resize(text.size() - 2);
    return text;
}

// repr() of the value given, for the message that refuses it.
std::string value_text(PyObject* value) {
    Ref written = steal(PyObject_Repr(value));
    std::string text;
    if (written) {
        auto utf8 = utf8_text(written.get());
        if (utf8.ok()) return std::move(utf8).value();
    } else {
        discard_pending_exception();
    }
    return "a number too large to show";  // an int beyond the interpreter's digit limit
}

}  // namespace

Result<double, OperationError> seconds_setting(PyObject* value, std::string_view attribute,
                                               double lower, bool lower_allowed, double upper) {
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        return fail(type_error(
            concat({attribute, " must be a number of seconds, not ", type_qualname(value)})));
    }
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) {
        // An int too large for a double: beyond every bound, on the side of its sign.
        discard_pending_exception();
        Ref zero = steal(PyLong_FromLong(0));
        if (!zero) return fail(pending_error());
        const int negative = PyObject_RichCompareBool(value, zero.get(), Py_LT);
        if (negative < 0) return fail(pending_error());
        seconds = negative ? -DBL_MAX : DBL_MAX;
    }
    const bool above_lower = lower_allowed ? seconds >= lower : seconds > lower;
    if (!std::isfinite(seconds) || !above_lower) {
        return fail(value_error(concat({attribute, " must be finite and ",
                                        lower_allowed ? "at least " : "greater than ",
                                        bound_text(lower), ", not ", value_text(value)})));
    }
    if (seconds > upper) {
        return fail(value_error(concat({attribute, " must be at most ", bound_text(upper),
                                        ", not ", value_text(value)})));
    }
    return seconds;
}

Result<std::optional<net::ClientFilter>, OperationError> to_client_filter(
    Handle value, std::string_view attribute) {
    if (value.get() == Py_None) return std::optional<net::ClientFilter>();
    const auto not_iterable = [&] {
        return type_error(concat({attribute, " must be None or an iterable of addresses and ",
                                  "networks, not ", type_qualname(value.get())}));
    };
    // A str is iterable, but its characters are no addresses: it is one address given alone.
    if (PyUnicode_Check(value.get())) return fail(not_iterable());
    Ref iterator = steal(PyObject_GetIter(value.get()));
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return fail(pending_error());
        discard_pending_exception();
        return fail(not_iterable());
    }
    std::vector<net::ClientNetwork> allowed;
    while (Ref item = steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            return fail(type_error(concat({attribute, " entries must be str, not ",
                                           type_qualname(item.get())})));
        }
        VELTO_TRY(std::string text, utf8_text(item.get()));
        auto network = net::ClientNetwork::parse(text);
        if (!network.ok()) return fail(value_error(concat({attribute, ": ", network.error()})));
        allowed.push_back(std::move(network).value());
    }
    if (PyErr_Occurred()) return fail(pending_error());
    if (allowed.empty()) {
        return fail(value_error(concat({attribute, " is empty, so no client could ever connect; ",
                                        "None lets any client in"})));
    }
    return std::optional<net::ClientFilter>(net::ClientFilter(std::move(allowed)));
}

Result<PyObject*, OperationError> to_instance(Handle object, PyTypeObject* type,
                                              std::string_view class_name) {
    if (!PyObject_TypeCheck(object.get(), type)) {
        return fail(conversion_error(object.get(), class_name));
    }
    return object.get();
}

}  // namespace velto::python
