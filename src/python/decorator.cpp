// on(server) with the decorator objects it returns and the wrapper objects those return: both
// built-in function objects holding one strong reference (the server, or the decorated function)
// as their __self__, with one fixed name, no docstring and no module.
#include "python/decorator.hpp"

#include <string>

#include "common/fault.hpp"
#include "python/arguments.hpp"
#include "python/com_socket_server.hpp"
#include "python/conversions.hpp"
#include "python/debug_log.hpp"
#include "python/errors.hpp"
#include "python/faults.hpp"
#include "wire/action_key.hpp"

namespace velto::python {

namespace {

PyObject* apply_decorator(PyObject* server, PyObject* args, PyObject* kwargs);
PyObject* call_wrapper(PyObject* function, PyObject* args, PyObject* kwargs);

PyMethodDef decorator_definition = {decorator_generic_name, method(apply_decorator),
                                    METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef wrapper_definition = {decorator_generic_name, method(call_wrapper),
                                  METH_VARARGS | METH_KEYWORDS, nullptr};

// The decorated object's __name__ as text; anything else is a fault naming what went wrong.
std::string decorated_name(PyObject* function) {
    Ref name = steal(PyObject_GetAttrString(function, "__name__"));
    if (!name) {
        raise_fault(concat({"on(): could not read __name__ of the decorated object: ",
                            fetch_pending_exception().display()}));
    }
    if (!PyUnicode_Check(name.get())) {
        raise_fault(concat({"on(): __name__ of the decorated object is not a str: ",
                            conversion_error(name.get(), "PyString").display()}));
    }
    auto text = utf8_text(name.get());
    if (!text) {
        raise_fault(concat({"on(): __name__ of the decorated object is not valid text: ",
                            text.error().display()}));
    }
    return std::move(text).value();
}

// Registration happens here, once per decoration: server.on(id, widget, function), through the
// server's Python method so that it takes the server's exclusive access like any other call.
// Keyword arguments, like further positional ones, are accepted and ignored.
PyObject* apply_decorator(PyObject* server, PyObject* args, PyObject* /*kwargs*/) {
    return object_entry([&]() -> ObjectResult {
        // The interpreter's own IndexError when no positional argument was given.
        PyObject* function = PyTuple_GetItem(args, 0);
        if (function == nullptr) return fail(pending_error());
        const std::string name = decorated_name(function);
        auto parts = wire::parse_action_key(name);
        if (!parts.ok()) {
            raise_fault(concat(
                {"on(): the decorated function's name gives no widget identity: ", parts.error()}));
        }
        VELTO_TRY(Ref id, owned(PyLong_FromLong(parts->id)));
        VELTO_TRY(Ref widget,
                  owned(PyUnicode_FromStringAndSize(
                      parts->widget.data(), static_cast<Py_ssize_t>(parts->widget.size()))));
        VELTO_TRY(Ref method_name, owned(PyUnicode_InternFromString("on")));
        PyObject* call[] = {server, id.get(), widget.get(), function};
        Ref registered = steal(PyObject_VectorcallMethod(method_name.get(), call, 4, nullptr));
        if (!registered) {
            raise_fault(concat({"on(): registering the decorated function with the server failed: ",
                                fetch_pending_exception().display()}));
        }
        return owned(PyCFunction_NewEx(&wrapper_definition, function, nullptr));
    });
}

// Calls the decorated function with exactly the arguments received. Its exceptions come out
// unchanged, except a PanicException, which is recognised as the fault it is.
PyObject* call_wrapper(PyObject* function, PyObject* args, PyObject* kwargs) {
    return object_entry([&]() -> ObjectResult {
        VELTO_CHECK(debug_record("decorated call"));
        PyObject* keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0 ? kwargs : nullptr;
        return owned(PyObject_Call(function, args, keywords));
    });
}

PyObject* on_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr Signature<1> signature{"on()", {"server"}};
    return object_entry([&]() -> ObjectResult {
        VELTO_TRY(auto bound, bind(signature, CallArguments::vectorcall(args, nargsf, kwnames)));
        VELTO_CHECK(
            argument("server", to_object<ComSocketServerState>(bound[0], com_socket_server_class(),
                                                               com_socket_server_name)));
        return owned(PyCFunction_NewEx(&decorator_definition, bound[0].get(), nullptr));
    });
}

PyMethodDef on_definition = {"on", method(on_function), METH_FASTCALL | METH_KEYWORDS,
                             "on(server)\n--\n\n"};

}  // namespace

PyMethodDef* on_function_definition() {
    return &on_definition;
}

}  // namespace velto::python
