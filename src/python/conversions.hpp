// Converting between Python objects and the values the module works with: arguments in, with
// the TypeError and OverflowError texts shared by every callable and the rule that re-words a
// failed argument's TypeError for the parameter it was given for; attribute values out, with the
// getter body every read-only attribute shares (receiver check, shared access, the read itself,
// under the fault boundary).
#pragma once

#include "python/python.hpp"

#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "net/client_filter.hpp"
#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"
#include "python/ref.hpp"
#include "wire/values.hpp"

namespace velto::python {

// "'<qualified type name of object>' object cannot be converted to '<target>'" as a TypeError.
OperationError conversion_error(PyObject* object, std::string_view target);

// An argument's conversion failure as the caller sees it: a TypeError (exactly that type)
// becomes "argument '<parameter>': <its text>" keeping its __cause__; anything else passes.
OperationError argument_error(std::string_view parameter, OperationError error);

template <class T>
Result<T, OperationError> argument(std::string_view parameter, Result<T, OperationError> result) {
    if (result.ok()) return result;
    return fail(argument_error(parameter, std::move(result).error()));
}

// Any integer the interpreter converts to a C long (int, bool, __index__), within 0..255.
Result<std::uint8_t, OperationError> to_u8(Handle object);

// True or False only (target "PyBool").
Result<bool, OperationError> to_bool(Handle object);

// A float read directly, else the interpreter's float conversion; rounded to the nearest 32-bit
// float (beyond its range: an infinity).
Result<float, OperationError> to_f32(Handle object);

// A str (or subclass) as UTF-8 (target "PyString"). Lone surrogates fail with the interpreter's
// UnicodeEncodeError.
Result<std::string, OperationError> to_text(Handle object);

// A setting in seconds, `attribute` being its name in the texts: an int or a float (subclasses
// included, bool excluded) else a TypeError ("<attribute> must be a number of seconds, not str");
// finite, above `lower` (or equal to it when `lower_allowed`) and at most `upper`, else a
// ValueError naming the bounds and the value ("... must be finite and from 0 to 3600, not -1").
Result<double, OperationError> seconds_setting(PyObject* value, std::string_view attribute,
                                               double lower, bool lower_allowed, double upper);

// The str items of an iterable given to a setting, each handed to `take` as UTF-8 text; the
// first error `take` returns ends the walk. A str or bytes given whole, or an object that is not
// iterable, is a TypeError "<expected>, not <type>"; an item that is not a str a TypeError
// "<item_rule>, not <type>".
Status<OperationError> each_text_item(Handle iterable, std::string_view expected,
                                      std::string_view item_rule,
                                      const std::function<Status<OperationError>(std::string)>& take);

// A set of widget kinds, by their place in the variant.
using WidgetKinds = std::bitset<wire::widget_kind_count>;

// An iterable of widget kind names ("Joystick", ...): a name that is no kind is a ValueError
// listing the six; each text names `attribute`.
Result<WidgetKinds, OperationError> to_widget_kinds(Handle names, std::string_view attribute);

// The clients to let in: None (any), or an iterable of address and network texts. A bare str, an
// object that is not iterable or an entry that is not a str is a TypeError; an entry that is no
// address or network, or no entry at all, a ValueError; each text names `attribute`.
Result<std::optional<net::ClientFilter>, OperationError> to_client_filter(
    Handle value, std::string_view attribute);

// An instance of `type` or of a subclass of it (target: the class name).
Result<PyObject*, OperationError> to_instance(Handle object, PyTypeObject* type,
                                              std::string_view class_name);

// Rounds a double to the nearest float the way IEEE conversion does, without the undefined
// behaviour of converting out-of-range values in C++.
float narrow_to_f32(double value) noexcept;

// The receiver of a method, or an argument converted to a module class: an instance of the
// class (or a subclass) as its object layout. The receiver uses it as is; arguments wrap it in
// `argument()` for the "argument '...'" prefix.
template <class Value>
Result<Object<Value>*, OperationError> to_object(Handle object, ClassResult type,
                                                 std::string_view class_name) {
    if (!type.ok()) return fail(std::move(type).error());
    auto checked = to_instance(object, type.value(), class_name);
    if (!checked.ok()) return fail(std::move(checked).error());
    return object_cast<Value>(checked.value());
}

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
