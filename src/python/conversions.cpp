// Argument conversions and their error texts.
#include "python/conversions.hpp"

#include <algorithm>
#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <string>
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

// The shortest text that reads back as `value` ("0", "0.5", "3600").
std::string number_text(double value) {
    std::array<char, 32> digits;
    const char* end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    return std::string(digits.data(), static_cast<std::size_t>(end - digits.data()));
}

}  // namespace

Result<double, OperationError> seconds_setting(PyObject* value, std::string_view attribute,
                                               double lower, bool lower_allowed, double upper) {
    // A bool is an int to the interpreter, but True seconds is a slip, not a duration.
    if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
        return fail(type_error(
            concat({attribute, " must be a number of seconds, not ", type_qualname(value)})));
    }
    double seconds = 0;
    if (PyFloat_Check(value)) {
        seconds = PyFloat_AS_DOUBLE(value);
    } else {
        seconds = PyLong_AsDouble(value);
        if (seconds == -1.0 && PyErr_Occurred()) {
            // Beyond a double's range: beyond every bound too, on the side of its sign.
            discard_pending_exception();
            Ref zero = steal(PyLong_FromLong(0));
            if (!zero) return fail(pending_error());
            const int negative = PyObject_RichCompareBool(value, zero.get(), Py_LT);
            if (negative < 0) return fail(pending_error());
            seconds = negative != 0 ? -DBL_MAX : DBL_MAX;
        }
    }
    const bool finite_and_above =
        std::isfinite(seconds) && (lower_allowed ? seconds >= lower : seconds > lower);
    if (finite_and_above && seconds <= upper) return seconds;
    // An inclusive range reads as one ("from 0 to 3600"); an open lower bound beside an upper
    // one that only a huge number reaches reads better told apart.
    std::string rule;
    if (lower_allowed) {
        rule = std::isfinite(upper)
                   ? "finite and from " + number_text(lower) + " to " + number_text(upper)
                   : "finite and at least " + number_text(lower);
    } else {
        rule = finite_and_above ? "at most " + number_text(upper)
                                : "finite and greater than " + number_text(lower);
    }
    std::string shown;
    if (!try_str(value, shown)) shown = "an integer too long to show";
    return fail(value_error(concat({attribute, " must be ", rule, ", not ", shown})));
}

Status<OperationError> each_text_item(Handle iterable, std::string_view expected,
                                      std::string_view item_rule,
                                      const std::function<Status<OperationError>(std::string)>& take) {
    const auto not_iterable = [&] {
        return type_error(concat({expected, ", not ", type_qualname(iterable.get())}));
    };
    // A str (or bytes) is iterable, but its characters are no items: it is one given alone.
    if (PyUnicode_Check(iterable.get()) || PyBytes_Check(iterable.get())) {
        return fail(not_iterable());
    }
    Ref iterator = steal(PyObject_GetIter(iterable.get()));
    if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return fail(pending_error());
        discard_pending_exception();
        return fail(not_iterable());
    }
    while (Ref item = steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            return fail(type_error(concat({item_rule, ", not ", type_qualname(item.get())})));
        }
        VELTO_TRY(std::string text, utf8_text(item.get()));
        VELTO_CHECK(take(std::move(text)));
    }
    if (PyErr_Occurred()) return fail(pending_error());
    return ok_unit;
}

Result<std::optional<net::ClientFilter>, OperationError> to_client_filter(
    Handle value, std::string_view attribute) {
    if (value.get() == Py_None) return std::optional<net::ClientFilter>();
    std::vector<net::ClientNetwork> allowed;
    VELTO_CHECK(each_text_item(
        value,
        concat({attribute, " must be None or an iterable of addresses and networks"}),
        concat({attribute, " entries must be str"}),
        [&](std::string text) -> Status<OperationError> {
            auto network = net::ClientNetwork::parse(text);
            if (!network.ok()) {
                return fail(value_error(concat({attribute, ": ", network.error()})));
            }
            allowed.push_back(std::move(network).value());
            return ok_unit;
        }));
    if (allowed.empty()) {
        return fail(value_error(concat({attribute, " is empty, so no client could ever connect; ",
                                        "None lets any client in"})));
    }
    return std::optional<net::ClientFilter>(net::ClientFilter(std::move(allowed)));
}

Result<WidgetKinds, OperationError> to_widget_kinds(Handle names, std::string_view attribute) {
    WidgetKinds kinds;
    VELTO_CHECK(each_text_item(
        names, concat({attribute, " must be an iterable of widget kind names"}),
        concat({attribute, " must hold widget kind names (str)"}),
        [&](std::string name) -> Status<OperationError> {
            const auto& known = wire::widget_kind_names;
            const auto found = std::find(known.begin(), known.end(), name);
            if (found == known.end()) {
                std::string listed;
                for (std::string_view kind : known) {
                    listed.append(listed.empty() ? "" : ", ").append(kind);
                }
                return fail(value_error(concat(
                    {attribute, ": unknown widget kind '", name, "' (one of ", listed, ")"})));
            }
            kinds.set(static_cast<std::size_t>(found - known.begin()));
            return ok_unit;
        }));
    return kinds;
}

Result<PyObject*, OperationError> to_instance(Handle object, PyTypeObject* type,
                                              std::string_view class_name) {
    if (!PyObject_TypeCheck(object.get(), type)) {
        return fail(conversion_error(object.get(), class_name));
    }
    return object.get();
}

}  // namespace velto::python
